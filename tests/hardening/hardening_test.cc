#include "hardening_test.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace nestbox::hardening {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(1);

[[noreturn]] void Fail(int savedErrno, std::string const& what) {
  throw std::system_error(savedErrno, std::generic_category(), what);
}

std::string KindOf(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG: return "file";
    case S_IFDIR: return "dir";
    case S_IFLNK: return "link";
    case S_IFIFO: return "fifo";
    case S_IFSOCK: return "socket";
    default: return "other";
  }
}

std::string ReadLink(std::string const& path) {
  char target[4096];
  ssize_t const length = ::readlink(path.c_str(), target, sizeof target);
  if (length < 0) Fail(errno, "readlink " + path);
  return std::string(target, static_cast<size_t>(length));
}

// The parent in the fourth field of /proc/PID/stat, after the command name
// in parentheses (which may itself hold blanks and parentheses).
pid_t ParentOf(std::string const& statText) {
  size_t const close = statText.rfind(')');
  if (close == std::string::npos) return -1;
  char state = 0;
  int parent = -1;
  if (std::sscanf(statText.c_str() + close + 1, " %c %d", &state, &parent) != 2) return -1;
  return parent;
}

bool PollUntil(std::chrono::milliseconds guard, std::function<bool()> const& done) {
  auto const deadline = Clock::now() + guard;
  while (Clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(POLL_INTERVAL);
  }
  return false;
}

sandbox::SpawnOptions AsUser(Account const& user, std::vector<std::string> argv) {
  sandbox::SpawnOptions options;
  options.argv = std::move(argv);
  if (user.uid != 0) options.uid = user.uid;
  return options;
}

}  // namespace

std::string NameOf(Parties const& parties) {
  return std::string(parties.victim.name) + "AttackedBy" + parties.attacker.name;
}

void PrintTo(Parties const& parties, std::ostream* out) { *out << NameOf(parties); }

Snapshot TakeSnapshot(std::string const& path) {
  Snapshot snapshot;
  std::vector<std::string> pending{path};
  while (!pending.empty()) {
    std::string const current = pending.back();
    pending.pop_back();
    struct stat status {};
    if (::lstat(current.c_str(), &status) != 0) {
      if (errno != ENOENT) Fail(errno, "lstat " + current);
      snapshot[current] = "absent";
      continue;
    }
    std::ostringstream description;
    description << KindOf(status.st_mode) << ' ' << std::oct << (status.st_mode & 07777)
                << std::dec << " uid " << status.st_uid << " inode " << status.st_ino
                << " links " << status.st_nlink << " size " << status.st_size;
    if (S_ISREG(status.st_mode)) {
      description << " data#" << std::hash<std::string>{}(sandbox::ReadFile(current));
    } else if (S_ISLNK(status.st_mode)) {
      description << " -> " << ReadLink(current);
    } else if (S_ISDIR(status.st_mode)) {
      for (std::string const& name : sandbox::ListDir(current)) {
        pending.push_back(current + "/" + name);
      }
    }
    snapshot[current] = description.str();
  }
  return snapshot;
}

void HardeningTest::SetUp() {
  parties_ = CaseParties();
  layout_ = CaseLayout();
  launcher_ = std::string(APP_DIR) + "/" + layout_.launcherName;

  // Opened now: the build tree may lie under /tmp, which the sandbox hides.
  char const* const deliverable = layout_.deliverable == Deliverable::PROBE
                                      ? PROBE_DELIVERABLE
                                      : OPENSSL_PROBE_DELIVERABLE;
  deliverable_.reset(::open(deliverable, O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(deliverable_) << deliverable << ": " << std::strerror(errno);
  neighbourLibrary_.reset(::open(NEIGHBOUR_LIBRARY, O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(neighbourLibrary_) << NEIGHBOUR_LIBRARY << ": " << std::strerror(errno);

  sandbox::SandboxOptions options;
  options.tmp.mode = layout_.tmpMode;
  options.varTmp.mode = layout_.varTmpMode;
  options.appDir = APP_DIR;
  uid_t const dirOwner = layout_.launcherDirMode ? Victim().uid : 0;
  options.appDirMount = {.mode = layout_.launcherDirMode.value_or(0755),
                         .owner = dirOwner, .group = dirOwner};
  std::string reason;
  sandbox_ = sandbox::Sandbox::Enter(options, &reason);
  if (!sandbox_) GTEST_SKIP() << reason;
  if (!sandbox_->CanSwitchUsers()) {
    GTEST_SKIP() << "the attacks need a victim and a neighbour of different uids: "
                 << sandbox::Sandbox::NoUserSwitchReason();
  }
  sandbox_->Install(deliverable_.get(), launcher_, 0755);
  if (!layout_.launcherDirMode) {
    if (::mount(nullptr, APP_DIR, nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID, nullptr) != 0) {
      Fail(errno, std::string("remount read-only ") + APP_DIR);
    }
  }
}

std::string HardeningTest::LockFile(std::string const& parent) const {
  return parent + "/" + layout_.launcherName + ".lock";
}

std::string HardeningTest::WorkDir(std::string const& parent, int attempt) const {
  std::string dir = parent + "/" + layout_.launcherName + ".data" + Victim().dataSuffix;
  if (attempt != 0) dir += "_" + std::to_string(attempt);
  return dir;
}

Process HardeningTest::Start(Invocation const& run) {
  std::vector<std::string> argv;
  if (!run.strace.empty()) {
    argv = {"/usr/bin/strace", "-f", "-qq", "-o", TRACE_FILE};
    argv.insert(argv.end(), run.strace.begin(), run.strace.end());
    argv.push_back("--");
  }
  argv.push_back(launcher_);
  sandbox::SpawnOptions options = AsUser(Victim(), argv);
  options.environment.insert(options.environment.end(), run.environment.begin(),
                             run.environment.end());
  return Process::Spawn(options);
}

Process HardeningTest::RunToEnd(Invocation const& run) {
  Process process = Start(run);
  process.Wait();
  return process;
}

pid_t HardeningTest::TracedLauncher(Process const& strace) {
  // strace starts short-lived children of its own to test the kernel; the
  // launcher is the child that runs the launcher's file.
  std::string const command = launcher_ + '\0';
  pid_t launcher = -1;
  PollUntil(sandbox::HANG_GUARD, [&] {
    for (pid_t child : ChildrenOf(strace.Pid())) {
      try {
        if (sandbox::ReadFile("/proc/" + std::to_string(child) + "/cmdline")
                .starts_with(command)) {
          launcher = child;
          return true;
        }
      } catch (std::system_error const&) {
        // gone meanwhile
      }
    }
    return false;
  });
  if (launcher < 0) throw std::runtime_error("strace started no launcher");
  return launcher;
}

void HardeningTest::Shell(Account const& user, std::string const& script) {
  Process shell = Process::Spawn(AsUser(user, {"/bin/sh", "-ec", script}));
  Outcome const outcome = shell.Wait();
  if (outcome != Outcome::Exited(0)) {
    std::ostringstream message;
    message << user.name << "'s script " << outcome << ": " << script << "\n" << shell.Stderr();
    throw std::runtime_error(message.str());
  }
}

Process HardeningTest::StartShell(Account const& user, std::string const& script) {
  Process shell = Process::Spawn(AsUser(user, {"/bin/sh", "-ec", script}));
  if (!shell.WaitForOutput("ready\n")) {
    throw std::runtime_error(std::string(user.name) + "'s script never got ready: " + script +
                             "\n" + shell.Stderr());
  }
  return shell;
}

void HardeningTest::MakeHome() {
  Shell(Victim(), "umask 077\n"
                  "mkdir -p " + std::string(SSH_DIR) + "\n"
                  "printf 'ssh-ed25519 AAAAC3NzaC1lZDI1NTE5 canary@victim\\n' > " +
                  AUTHORIZED_KEYS + "\n"
                  "printf 'PRIVATE KEY canary\\n' > " + SSH_DIR + "/id_ed25519\n");
}

std::string HardeningTest::KeptExtractionInHome() {
  std::string const bin = std::string(HOME) + "/bin";
  Shell(Victim(), "mkdir -m 0755 " + bin);
  std::string const copy = bin + "/" + layout_.launcherName;
  sandbox_->Install(deliverable_.get(), copy, 0755);
  if (::lchown(copy.c_str(), Victim().uid, Victim().uid) != 0) Fail(errno, "lchown " + copy);

  sandbox::SpawnOptions options = AsUser(Victim(), {copy});
  options.environment.push_back("NESTBOX_UNTAR=1");
  Process extract = Process::Spawn(options);
  if (extract.Wait() != Outcome::Exited(0)) {
    throw std::runtime_error("the extract-only run in the home failed: " + extract.Stderr());
  }
  std::string const kept = WorkDir(bin);
  if (!sandbox::Exists(Entry(kept))) throw std::runtime_error("no kept extraction at " + kept);
  return kept;
}

void HardeningTest::MakeNeighbourTree() {
  std::string const tree = NEIGHBOUR_TREE;
  Shell(Attacker(), "mkdir -m 0755 -p " + tree + "/share/probe\n"
                    "printf '#!/bin/sh\\n: > " + NEIGHBOUR_MARK + "\\n' > " + tree + "/probe\n"
                    "chmod 0755 " + tree + "/probe\n"
                    "printf 'neighbour note\\n' > " + tree + "/share/probe/note.txt\n");
  std::string const library = tree + "/libprobe_marker.so";
  sandbox_->Install(neighbourLibrary_.get(), library, 0755);
  if (::lchown(library.c_str(), Attacker().uid, Attacker().uid) != 0) {
    Fail(errno, "lchown " + library);
  }
}

size_t HardeningTest::LogMark() { return sandbox_->Log().Entries().size(); }

std::vector<std::string> HardeningTest::LogSince(size_t mark) {
  std::vector<std::string> lines;
  std::vector<sandbox::LogEntry> const entries = sandbox_->Log().Entries();
  for (size_t i = mark; i < entries.size(); ++i) {
    sandbox::LogEntry const& entry = entries[i];
    EXPECT_EQ(entry.ident, "kolvonestbox") << entry.frame;
    EXPECT_EQ(entry.facility, LOG_USER >> 3) << entry.frame;
    lines.push_back((entry.priority == LOG_ERR ? "err: " : "info: ") + entry.text);
  }
  return lines;
}

::testing::Matcher<std::vector<std::string> const&> LogIs(
    std::vector<std::string> const& exact, std::vector<std::string> const& prefixes) {
  std::vector<::testing::Matcher<std::string const&>> lines;
  for (std::string const& line : exact) lines.push_back(::testing::Eq(line));
  for (std::string const& prefix : prefixes) lines.push_back(::testing::StartsWith(prefix));
  return ::testing::ElementsAreArray(lines);
}

std::optional<std::string> ProbeValue(std::string const& output, std::string const& key) {
  std::string const prefix = "probe." + key + "=";
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with(prefix)) return line.substr(prefix.size());
  }
  return std::nullopt;
}

std::string Quoted(std::string const& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::vector<pid_t> ChildrenOf(pid_t parent) {
  std::vector<pid_t> children;
  for (std::string const& name : sandbox::ListDir("/proc")) {
    char* end = nullptr;
    long const pid = std::strtol(name.c_str(), &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    try {
      if (ParentOf(sandbox::ReadFile("/proc/" + name + "/stat")) == parent) {
        children.push_back(static_cast<pid_t>(pid));
      }
    } catch (std::system_error const&) {
      // gone meanwhile
    }
  }
  return children;
}

pid_t WaitForChildOf(pid_t parent, std::chrono::milliseconds guard) {
  pid_t child = -1;
  PollUntil(guard, [&] {
    std::vector<pid_t> const children = ChildrenOf(parent);
    if (children.empty()) return false;
    child = children.front();
    return true;
  });
  return child;
}

bool WaitForSyscall(pid_t pid, long number, std::chrono::milliseconds guard) {
  std::string const path = "/proc/" + std::to_string(pid) + "/syscall";
  return PollUntil(guard, [&] {
    try {
      // The number of the system call the process is in, or "running".
      std::string const text = sandbox::ReadFile(path);
      return !text.starts_with("running") && std::strtol(text.c_str(), nullptr, 10) == number;
    } catch (std::system_error const&) {
      return false;  // not there yet, or gone
    }
  });
}

bool WaitForTrace(std::string_view text, std::chrono::milliseconds guard) {
  return PollUntil(guard, [&] {
    try {
      return sandbox::ReadFile(TRACE_FILE).find(text) != std::string::npos;
    } catch (std::system_error const&) {
      return false;
    }
  });
}

UniqueFd HoldLockFile(std::string const& path, uid_t owner) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0755));
  if (!fd) Fail(errno, "open " + path);
  if (::fchown(fd.get(), owner, owner) != 0) Fail(errno, "fchown " + path);
  if (::fchmod(fd.get(), 0755) != 0) Fail(errno, "fchmod " + path);
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) Fail(errno, "flock " + path);
  return fd;
}

}  // namespace nestbox::hardening
