#include "sandbox/sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace nestbox::sandbox {

namespace {

// Files staged here stay exec-able when their target directory is not.
constexpr char STAGE_DIR[] = "/dev/.stage";
constexpr char const* DEVICES[] = {"null", "zero", "urandom"};

// Set once this process has made its own user namespace. A process cannot
// go back to the host's user namespace, so every later sandbox nests in it.
bool g_inOwnUserNamespace = false;

[[noreturn]] void Fail(int savedErrno, std::string const& what) {
  throw std::system_error(savedErrno, std::generic_category(), what);
}

void WriteProcFile(char const* path, std::string const& content) {
  UniqueFd fd(::open(path, O_WRONLY | O_CLOEXEC));
  if (!fd) Fail(errno, std::string("open ") + path);
  if (::write(fd.get(), content.data(), content.size()) !=
      static_cast<ssize_t>(content.size())) {
    Fail(errno, std::string("write ") + path);
  }
}

// Maps the caller to root in a new user namespace, with a new mount
// namespace that it owns (the mounts of the host cannot be changed from
// there, but copies of them can).
bool EnterUserNamespace(std::string* skipReason) {
  uid_t const uid = ::geteuid();
  gid_t const gid = ::getegid();
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
    *skipReason = std::string("cannot create a user namespace: ") + std::strerror(errno);
    return false;
  }
  g_inOwnUserNamespace = true;
  WriteProcFile("/proc/self/setgroups", "deny");
  WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
  WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    Fail(errno, "make / private");
  }
  return true;
}

UniqueFd OpenCurrentMountNamespace() {
  UniqueFd fd(::open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC));
  if (!fd) Fail(errno, "open /proc/self/ns/mnt");
  return fd;
}

std::string Octal(mode_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%o", static_cast<unsigned>(mode));
  return text;
}

bool LiesInFreshMount(std::string const& path) {
  return path.starts_with("/tmp/") || path.starts_with("/var/tmp/");
}

void CopyInto(int sourceFd, std::string const& target, mode_t mode) {
  UniqueFd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (!out) Fail(errno, "create " + target);
  char buffer[65536];
  off_t offset = 0;
  while (true) {
    ssize_t const n = ::pread(sourceFd, buffer, sizeof buffer, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(errno, "read the source of " + target);
    }
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t const w = ::write(out.get(), buffer + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        Fail(errno, "write " + target);
      }
      done += w;
    }
    offset += n;
  }
  if (::fchmod(out.get(), mode) != 0) Fail(errno, "fchmod " + target);
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

}  // namespace

char const* Sandbox::NoUserSwitchReason() {
  return "the sandbox is a user namespace that maps only the caller; "
         "running as other users needs root";
}

std::unique_ptr<Sandbox> Sandbox::Enter(SandboxOptions const& options,
                                        std::string* skipReason) {
  std::vector<UniqueFd> sources;
  for (HostFile const& file : options.install) {
    sources.emplace_back(::open(file.source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!sources.back()) Fail(errno, "open " + file.source);
  }

  std::unique_ptr<Sandbox> sandbox(new Sandbox);
  if (!g_inOwnUserNamespace && ::geteuid() != 0 && !EnterUserNamespace(skipReason)) {
    return nullptr;
  }
  sandbox->homeNamespace_ = OpenCurrentMountNamespace();
  sandbox->homeDirectory_.reset(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (::unshare(CLONE_NEWNS) != 0) {
    int const savedErrno = errno;
    // Root without the capability, as in some containers: a user
    // namespace may still be allowed.
    if (g_inOwnUserNamespace || savedErrno != EPERM) {
      *skipReason = std::string("cannot create a mount namespace: ") + std::strerror(savedErrno);
      return nullptr;
    }
    if (!EnterUserNamespace(skipReason)) return nullptr;
    sandbox->homeNamespace_ = OpenCurrentMountNamespace();
    if (::unshare(CLONE_NEWNS) != 0) Fail(errno, "unshare a mount namespace");
  }
  sandbox->canSwitchUsers_ = !g_inOwnUserNamespace;

  // From here on, a throw destroys the sandbox, which leaves the namespace.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    Fail(errno, "make / private");
  }
  // Whatever a case leaves behind becomes our child, to be collected.
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) Fail(errno, "become a subreaper");
  // Bind sources must be mounts of this namespace: opened before it was
  // made, they would name the host's copies, which mount refuses.
  std::vector<UniqueFd> devices;
  for (char const* name : DEVICES) {
    std::string const path = std::string("/dev/") + name;
    devices.emplace_back(::open(path.c_str(), O_PATH | O_CLOEXEC));
    if (!devices.back()) Fail(errno, "open " + path);
  }
  sandbox->Mount("/tmp", options.tmp);
  sandbox->Mount("/var/tmp", options.varTmp);
  sandbox->SetUpDev(devices);
  sandbox->log_ = std::make_unique<SyslogSink>("/dev/log");
  // Directories are made only inside the fresh mounts, never on the host.
  if (!options.appDir.empty()) {
    if (LiesInFreshMount(options.appDir)) MakeDirs(options.appDir, 0755);
    sandbox->Mount(options.appDir, options.appDirMount);
  }
  if (::chdir("/") != 0) Fail(errno, "chdir /");
  for (size_t i = 0; i < sources.size(); ++i) {
    HostFile const& file = options.install[i];
    sandbox->Install(sources[i].get(), file.target, file.mode, file.bindFromStage);
  }
  return sandbox;
}

Sandbox::~Sandbox() {
  log_.reset();  // joins the reader thread: setns wants a single thread
  ReapOrphans();
  if (homeNamespace_ && ::setns(homeNamespace_.get(), CLONE_NEWNS) != 0) {
    // Going on would run the next case in this one's leftovers.
    std::fprintf(stderr, "sandbox: cannot leave the mount namespace: %s\n",
                 std::strerror(errno));
    std::abort();
  }
  if (homeDirectory_) {
    [[maybe_unused]] int const ignored = ::fchdir(homeDirectory_.get());
  }
}

void Sandbox::Mount(std::string const& path, MountOptions const& options) {
  std::string data = "mode=" + Octal(options.mode) +
                     ",uid=" + std::to_string(options.owner) +
                     ",gid=" + std::to_string(options.group);
  if (options.sizeBytes != 0) data += ",size=" + std::to_string(options.sizeBytes);
  unsigned long const flags = MS_NOSUID | (options.noexec ? MS_NOEXEC : 0);
  if (::mount("tmpfs", path.c_str(), "tmpfs", flags, data.c_str()) != 0) {
    Fail(errno, "mount tmpfs at " + path + " (" + data + ")");
  }
}

void Sandbox::SetUpDev(std::vector<UniqueFd> const& devices) {
  Mount("/dev", MountOptions{.mode = 0755});
  for (size_t i = 0; i < devices.size(); ++i) {
    std::string const target = std::string("/dev/") + DEVICES[i];
    std::string const source = "/proc/self/fd/" + std::to_string(devices[i].get());
    WriteFile(target, "", 0666);
    if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      Fail(errno, "bind " + target);
    }
  }
  char const* const links[][2] = {{"/proc/self/fd", "/dev/fd"},
                                  {"/proc/self/fd/0", "/dev/stdin"},
                                  {"/proc/self/fd/1", "/dev/stdout"},
                                  {"/proc/self/fd/2", "/dev/stderr"}};
  for (auto const& link : links) {
    if (::symlink(link[0], link[1]) != 0) Fail(errno, std::string("symlink ") + link[1]);
  }
  if (::mkdir(STAGE_DIR, 0755) != 0) Fail(errno, std::string("mkdir ") + STAGE_DIR);
}

void Sandbox::Install(int sourceFd, std::string const& target, mode_t mode,
                      bool bindFromStage) {
  std::string const dir = target.substr(0, target.rfind('/') + 1);
  struct statvfs vfs {};
  if (::statvfs(dir.c_str(), &vfs) != 0) Fail(errno, "statvfs " + dir);
  if (!bindFromStage && (vfs.f_flag & ST_NOEXEC) == 0) {
    CopyInto(sourceFd, target, mode);
    return;
  }
  std::string const staged = std::string(STAGE_DIR) + "/" + std::to_string(++staged_);
  CopyInto(sourceFd, staged, mode);
  WriteFile(target, "", mode);
  if (::mount(staged.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    Fail(errno, "bind " + staged + " at " + target);
  }
}

void Sandbox::ReapOrphans() {
  pid_t const self = ::getpid();
  std::vector<pid_t> children;
  DirStream proc(::opendir("/proc"));
  if (proc.get() == nullptr) return;
  while (dirent const* entry = ::readdir(proc.get())) {
    char* end = nullptr;
    long const pid = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    std::string stat;
    try {
      stat = ReadFile("/proc/" + std::string(entry->d_name) + "/stat");
    } catch (std::system_error const&) {
      continue;  // gone meanwhile
    }
    if (ParentOf(stat) == self) children.push_back(static_cast<pid_t>(pid));
  }
  for (pid_t child : children) ::kill(child, SIGKILL);
  for (pid_t child : children) ::waitpid(child, nullptr, 0);
}

}  // namespace nestbox::sandbox
