#include "launcher_test.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "support/unique_fd.h"

namespace nestbox::e2e {

namespace {

Tree HostTree(std::string const& dir) {
  Tree tree;
  for (auto const& item : std::filesystem::recursive_directory_iterator(dir)) {
    struct stat st {};
    if (::stat(item.path().c_str(), &st) != 0) {
      throw std::system_error(errno, std::generic_category(), item.path().string());
    }
    std::string const relative = std::filesystem::relative(item.path(), dir).string();
    tree[relative] = {static_cast<mode_t>(st.st_mode & S_IFMT),
                      static_cast<mode_t>(st.st_mode & 07777), st.st_uid,
                      S_ISDIR(st.st_mode) ? 0 : st.st_size};
  }
  return tree;
}

}  // namespace

void PrintTo(User const& user, std::ostream* out) { *out << user.name; }

void PrintTo(TreeEntry const& entry, std::ostream* out) {
  *out << (entry.type == S_IFDIR ? "dir " : "file ") << std::oct << entry.permissions
       << std::dec << " uid " << entry.owner << " size " << entry.size;
}

void LauncherTest::SetUp() {
  user_ = RunAs();
  layout_ = CaseLayout();
  launcher_ = layout_.launcherDir + "/" + LAUNCHER_NAME;
  // Read now: the build tree may lie under /tmp, which the sandbox hides.
  packedApp_ = HostTree(PROBE_APP_DIR);

  uid_t const owner = user_.uid.value_or(0);
  sandbox::SandboxOptions options;
  options.tmp.noexec = layout_.noexecCandidates;
  options.varTmp.noexec = layout_.noexecCandidates;
  if (layout_.launcherDir == "/tmp" || layout_.launcherDir == "/var/tmp") {
    options.appDir.clear();
  } else {
    options.appDir = layout_.launcherDir;
    options.appDirMount = {.noexec = layout_.noexecCandidates, .mode = 0755,
                           .sizeBytes = layout_.launcherDirBytes};
  }
  options.install.push_back({.source = PROBE_DELIVERABLE, .target = launcher_, .mode = 0755,
                             .bindFromStage = layout_.launcherDirBytes != 0});

  std::string reason;
  sandbox_ = sandbox::Sandbox::Enter(options, &reason);
  if (!sandbox_) GTEST_SKIP() << reason;
  if (user_.uid && !sandbox_->CanSwitchUsers()) {
    GTEST_SKIP() << sandbox::Sandbox::NoUserSwitchReason();
  }
  // The launcher's own directory is its first choice only where its user
  // can create the lock file.
  if (!options.appDir.empty() && ::chown(options.appDir.c_str(), owner, owner) != 0) {
    throw std::system_error(errno, std::generic_category(), "chown " + options.appDir);
  }
}

Process LauncherTest::Start(Invocation const& run) {
  sandbox::SpawnOptions options;
  options.argv.push_back(launcher_);
  options.argv.insert(options.argv.end(), run.args.begin(), run.args.end());
  options.environment.insert(options.environment.end(), run.environment.begin(),
                             run.environment.end());
  options.uid = user_.uid;
  options.ignoredSignals = run.ignoredSignals;
  Process process = Process::Spawn(options);
  launchers_.push_back(process.Pid());
  return process;
}

Process LauncherTest::RunToEnd(Invocation const& run) {
  Process process = Start(run);
  process.Wait();
  return process;
}

std::string LauncherTest::LockFile(std::string const& parent) const {
  return parent + "/" + LAUNCHER_NAME + ".lock";
}

std::string LauncherTest::WorkDir(std::string const& parent, int attempt) const {
  std::string dir = parent + "/" + LAUNCHER_NAME + ".data" + user_.dataSuffix;
  if (attempt != 0) {
    dir += '_';
    dir += std::to_string(attempt);
  }
  return dir;
}

std::vector<std::string> LauncherTest::LauncherLog(pid_t launcher) {
  std::vector<std::string> lines;
  for (sandbox::LogEntry const& entry : sandbox_->Log().Entries()) {
    bool const ours =
        std::find(launchers_.begin(), launchers_.end(), entry.pid) != launchers_.end();
    EXPECT_TRUE(ours) << "an entry from no launcher of this case: " << entry.frame;
    EXPECT_EQ(entry.ident, "kolvonestbox") << entry.frame;
    EXPECT_EQ(entry.facility, LOG_USER >> 3) << entry.frame;
    EXPECT_TRUE(entry.priority == LOG_INFO || entry.priority == LOG_ERR) << entry.frame;
    if (entry.pid != launcher) continue;
    lines.push_back((entry.priority == LOG_ERR ? "err: " : "info: ") + entry.text);
  }
  return lines;
}

Tree LauncherTest::ExpectedExtraction() const {
  Tree tree;
  for (auto [path, entry] : packedApp_) {
    // Only the owner's bits are kept; the sandbox runs with umask 022.
    entry.permissions = entry.type == S_IFDIR ? 0700 : entry.permissions & 0700;
    entry.owner = user_.uid.value_or(0);
    tree[path] = entry;
  }
  return tree;
}

Tree LauncherTest::TreeAt(std::string const& dir) {
  Tree tree;
  std::vector<std::string> pending{""};
  while (!pending.empty()) {
    std::string const relative = pending.back();
    pending.pop_back();
    for (std::string const& name : sandbox::ListDir(dir + "/" + relative)) {
      std::string const path = relative.empty() ? name : relative + "/" + name;
      sandbox::FileInfo const info = *sandbox::Inspect(dir + "/" + path);
      tree[path] = {info.type, info.permissions, info.owner,
                    info.IsDirectory() ? 0 : info.size};
      if (info.IsDirectory()) pending.push_back(path);
    }
  }
  return tree;
}

bool CanLock(std::string const& dir, int operation) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) throw std::system_error(errno, std::generic_category(), "open " + dir);
  if (::flock(fd.get(), operation | LOCK_NB) == 0) return true;
  if (errno == EWOULDBLOCK) return false;
  throw std::system_error(errno, std::generic_category(), "flock " + dir);
}

}  // namespace nestbox::e2e
