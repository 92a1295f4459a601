#pragma once

// A private world for one end-to-end case. Entering it moves the calling
// process into a new mount namespace (inside a user namespace that maps it
// to root when it is not root) where /tmp, /var/tmp and /dev are fresh
// tmpfs mounts, /dev holds null, zero, urandom and a datagram socket at
// /dev/log that collects every log entry written inside, and the program
// under test gets a directory on a tmpfs of its own. Processes started
// from then on live in that world; nothing of it reaches the host. Leaving
// it (destruction) returns the process to the namespace it came from.
//
// ctest runs every case in a process of its own, so a case may enter a
// sandbox in SetUp and leave it in TearDown.

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "sandbox/files.h"
#include "sandbox/process.h"
#include "sandbox/syslog_sink.h"
#include "support/unique_fd.h"

namespace nestbox::sandbox {

struct MountOptions {
  bool noexec = false;
  mode_t mode = 01777;
  uid_t owner = 0;
  gid_t group = 0;
  std::size_t sizeBytes = 0;  // 0: the tmpfs default
};

// A host file to copy in. It is opened before anything is mounted, since
// the build tree may itself lie under /tmp.
struct HostFile {
  std::string source;  // host path
  std::string target;  // path inside the sandbox
  mode_t mode = 0755;
  // Bind-mounted from a copy elsewhere instead of copied into the target's
  // file system, where it would take space (of a deliberately tiny mount).
  bool bindFromStage = false;
};

struct SandboxOptions {
  MountOptions tmp;     // /tmp
  MountOptions varTmp;  // /var/tmp
  // The directory for the program under test; created inside the fresh
  // /tmp or /var/tmp when it lies there, and given its own tmpfs. Empty:
  // no such directory.
  std::string appDir = "/tmp/apps";
  MountOptions appDirMount{.mode = 0755};
  std::vector<HostFile> install;
};

class Sandbox {
 public:
  // Null, with the reason in *skipReason, when this system cannot make the
  // namespaces; any later failure throws, since it is a fault of the setup.
  static std::unique_ptr<Sandbox> Enter(SandboxOptions const& options,
                                        std::string* skipReason);
  Sandbox(Sandbox const&) = delete;
  Sandbox& operator=(Sandbox const&) = delete;
  ~Sandbox();

  // False in a user namespace that maps only the caller: then no process
  // can run as another user, and cases that need one must skip.
  bool CanSwitchUsers() const { return canSwitchUsers_; }
  static char const* NoUserSwitchReason();

  SyslogSink& Log() { return *log_; }

  // Copies the file behind the descriptor (read from offset 0) to a new
  // file at the target. Into a noexec directory (or when asked) the copy
  // goes onto an exec-able mount of its own and is bind-mounted at the
  // target, so that it still runs while nothing else in that directory can.
  void Install(int sourceFd, std::string const& target, mode_t mode,
               bool bindFromStage = false);
  // A further tmpfs, for example a tiny one that runs out of space.
  void Mount(std::string const& path, MountOptions const& options);

 private:
  Sandbox() = default;
  void SetUpDev(std::vector<UniqueFd> const& devices);
  void ReapOrphans();

  bool canSwitchUsers_ = false;
  UniqueFd homeNamespace_;
  UniqueFd homeDirectory_;
  std::unique_ptr<SyslogSink> log_;
  int staged_ = 0;
};

}  // namespace nestbox::sandbox
