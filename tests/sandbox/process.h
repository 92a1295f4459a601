#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "support/unique_fd.h"

namespace nestbox::sandbox {

// How long a test waits for anything before it calls the process hung. A
// guard against hangs only, far above what any case needs.
inline constexpr std::chrono::milliseconds HANG_GUARD{60'000};

// LC_ALL=C (system error texts are locale-dependent) and a short PATH.
std::vector<std::string> CleanEnvironment();

struct SpawnOptions {
  std::vector<std::string> argv;  // argv[0] is also the file run...
  std::string path;               // ...unless this is set; no PATH search
  std::vector<std::string> environment = CleanEnvironment();
  // The child drops to this user (and group, by default the same number)
  // with no supplementary groups before the exec.
  std::optional<uid_t> uid;
  std::optional<gid_t> gid;
  std::vector<int> ignoredSignals;  // as nohup does for SIGHUP
  std::string workingDirectory = "/";
  mode_t umask = 022;
};

// How a process ended, or that it had to be killed at the hang guard.
struct Outcome {
  enum class Kind { EXITED, SIGNALED, HUNG };
  Kind kind = Kind::HUNG;
  int value = 0;  // exit status or signal number

  static Outcome Exited(int status) { return {Kind::EXITED, status}; }
  static Outcome Signaled(int signal) { return {Kind::SIGNALED, signal}; }
  static Outcome Hung() { return {Kind::HUNG, 0}; }
  friend bool operator==(Outcome const&, Outcome const&) = default;
};
std::ostream& operator<<(std::ostream& out, Outcome const& outcome);

// A child process with its standard output and error captured through
// pipes and standard input on /dev/null. It leads a process group of its
// own, so that whatever it starts can be killed with it; signals that a
// test sends go to the process alone.
class Process {
 public:
  // Throws std::system_error when the user switch or the exec fails.
  static Process Spawn(SpawnOptions const& options);

  Process(Process&& other) noexcept;
  Process& operator=(Process&&) = delete;
  Process(Process const&) = delete;
  ~Process();  // kills the process group if the process still runs

  pid_t Pid() const { return pid_; }
  void Signal(int signal) const;

  // Reads standard output until it holds the text; false when the output
  // ends or the guard passes first.
  bool WaitForOutput(std::string_view text,
                     std::chrono::milliseconds guard = HANG_GUARD);
  // Waits for the end and collects the rest of the output. A process still
  // running at the guard is killed and reported as hung.
  Outcome Wait(std::chrono::milliseconds guard = HANG_GUARD);

  std::string const& Stdout() const { return stdout_; }
  std::string const& Stderr() const { return stderr_; }

 private:
  Process(pid_t pid, UniqueFd pidfd, UniqueFd out, UniqueFd err);
  // Reads what the pipes hold, waiting up to the deadline for something to
  // happen; true when the process has ended (it is not reaped).
  bool Pump(std::chrono::steady_clock::time_point deadline);
  // Reads both pipes until they end or the deadline passes.
  void Drain(std::chrono::steady_clock::time_point deadline);
  void Reap();

  pid_t pid_;
  UniqueFd pidfd_;
  UniqueFd out_;
  UniqueFd err_;
  std::string stdout_;
  std::string stderr_;
  std::optional<Outcome> outcome_;
};

// Waits until the process sleeps in a wait for a child (wait4 or waitid).
// A parent that stores its child's id right after fork and only then waits
// is known to hold that id from this moment on. False at the guard.
bool WaitUntilWaitingForChild(pid_t pid, std::chrono::milliseconds guard = HANG_GUARD);

}  // namespace nestbox::sandbox
