#pragma once

// Helpers of the FIPS preparation tests. Nothing here uses GoogleTest, so
// that forked children can use it without printing test output.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nestbox::fips_test {

// Environment variables that steer the OpenSSL stand-in (openssl_stand_in.c).
inline constexpr char STAND_IN_RECORD[] = "OPENSSL_STAND_IN_RECORD";
inline constexpr char STAND_IN_READY[] = "OPENSSL_STAND_IN_READY";
inline constexpr char STAND_IN_WAIT[] = "OPENSSL_STAND_IN_WAIT";
inline constexpr char STAND_IN_DIE[] = "OPENSSL_STAND_IN_DIE";
inline constexpr char STAND_IN_EXIT[] = "OPENSSL_STAND_IN_EXIT";

// The section that the stand-in answers for a module with these bytes.
std::string StandInSection(std::string_view moduleBytes);

// What the stand-in recorded of each of its calls: the lines between "call"
// and "end". Empty when the record file does not exist.
std::vector<std::vector<std::string>> StandInCalls(std::string const& recordPath);

// The record of one call with exactly the launcher's arguments for the tool,
// standard output on the configuration file, LD_LIBRARY_PATH as given (none:
// unset), no launcher variables, and the given descriptor targets inherited.
std::vector<std::string> ExpectedStandInCall(std::string const& workDir,
                                             std::optional<std::string> const& libraryPath,
                                             std::vector<std::string> const& inherited);

// A private directory under the build tree, named t.XXXXXX, mode 0755 (so
// that other users can reach into it), removed with everything in it at
// destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(ScratchDir const&) = delete;
  ScratchDir& operator=(ScratchDir const&) = delete;

  std::string const& Path() const { return path_; }
  std::string Join(std::string const& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Every entry beneath root (links not followed) with its type, mode, owner,
// inode, size, and a file's bytes or a link's target: equal snapshots mean
// that nothing was changed, replaced, added or removed.
std::string Snapshot(std::string const& root);

std::string ReadHostFile(std::string const& path);
// Creates or truncates; the mode is set exactly, whatever the umask.
void WriteHostFile(std::string const& path, std::string_view data, mode_t mode = 0600);
void CopyHostFile(std::string const& from, std::string const& to, mode_t mode);

struct ChildResult {
  int status = -1;     // as waitpid reports it
  std::string output;  // what the body returned
};

// Runs body in a forked child that ends with _exit, printing nothing of its
// own; its result comes back through a pipe. An exception that leaves body
// is returned as "uncaught: <what>". alarm() guards against a hang.
ChildResult RunInChild(std::function<std::string()> const& body);

// Forks a child that runs body and ends with _exit(0); for children that
// the test must watch while they run. Wait for it with WaitForChild.
pid_t StartChild(std::function<void()> const& body);
// The child's waitpid status; kills it first when it outlives a hang guard.
int WaitForChild(pid_t pid);

// Waits until pid sleeps in a flock on the file that path names, by
// watching /proc/locks. False at the hang guard.
bool WaitForBlockedFlock(pid_t pid, std::string const& path);

// The processes that hold (not wait for) a flock on the file that path
// names, as /proc/locks tells; empty when there is none or no such file.
std::vector<pid_t> FlockHolders(std::string const& path);

// Waits until path exists; false at the hang guard.
bool WaitForFile(std::string const& path);

// Drops every identity of this process to the uid and the same gid, with
// no supplementary groups.
bool BecomeUser(uid_t uid);
// Whether uid can reach path at all: the build tree may lie below a folder
// that only its owner can enter, and then no other user can act in it.
bool CanReach(uid_t uid, std::string const& path);

}  // namespace nestbox::fips_test
