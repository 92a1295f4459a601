#include "sandbox/process.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "sandbox/files.h"

namespace nestbox::sandbox {

namespace {

using Clock = std::chrono::steady_clock;

// After the process has ended, how long its pipes may stay open (held by
// something it left behind) before the rest of its group is killed.
constexpr std::chrono::milliseconds DRAIN_GRACE{2000};

enum class Stage : int { PROCESS_GROUP, SIGNALS, STDIO, DIRECTORY, GROUPS, GID, UID, EXEC };

struct ChildFailure {
  Stage stage;
  int error;
};

char const* Describe(Stage stage) {
  switch (stage) {
    case Stage::PROCESS_GROUP: return "setpgid";
    case Stage::SIGNALS: return "set up signals";
    case Stage::STDIO: return "set up standard streams";
    case Stage::DIRECTORY: return "change directory";
    case Stage::GROUPS: return "setgroups";
    case Stage::GID: return "setresgid";
    case Stage::UID: return "setresuid";
    case Stage::EXEC: return "execve";
  }
  return "start";
}

[[noreturn]] void Fail(int savedErrno, std::string const& what) {
  throw std::system_error(savedErrno, std::generic_category(), what);
}

[[noreturn]] void ReportAndExit(int reportFd, Stage stage) {
  ChildFailure const failure{stage, errno};
  // Nothing to do about a failed report: the parent then sees a plain 127.
  [[maybe_unused]] ssize_t const ignored =
      ::write(reportFd, &failure, sizeof failure);
  ::_exit(127);
}

struct ChildPlan {
  char const* file;
  char* const* argv;
  char* const* envp;
  int stdinFd, stdoutFd, stderrFd, reportFd;
  SpawnOptions const* options;
};

// Runs between fork and exec: system calls only, no allocation, and never
// a return into the test (whose gtest output would otherwise appear twice).
[[noreturn]] void RunChild(ChildPlan const& plan) {
  SpawnOptions const& options = *plan.options;
  if (::setpgid(0, 0) != 0) ReportAndExit(plan.reportFd, Stage::PROCESS_GROUP);
  sigset_t none;
  sigemptyset(&none);
  if (::sigprocmask(SIG_SETMASK, &none, nullptr) != 0) {
    ReportAndExit(plan.reportFd, Stage::SIGNALS);
  }
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) {
    ::sigaction(signal, &action, nullptr);  // fails for KILL, STOP: fine
  }
  action.sa_handler = SIG_IGN;
  for (int signal : options.ignoredSignals) {
    if (::sigaction(signal, &action, nullptr) != 0) {
      ReportAndExit(plan.reportFd, Stage::SIGNALS);
    }
  }
  if (::dup2(plan.stdinFd, 0) < 0 || ::dup2(plan.stdoutFd, 1) < 0 ||
      ::dup2(plan.stderrFd, 2) < 0 ||
      ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    ReportAndExit(plan.reportFd, Stage::STDIO);
  }
  ::umask(options.umask);
  if (::chdir(options.workingDirectory.c_str()) != 0) {
    ReportAndExit(plan.reportFd, Stage::DIRECTORY);
  }
  if (options.uid) {
    uid_t const uid = *options.uid;
    gid_t const gid = options.gid.value_or(static_cast<gid_t>(uid));
    if (::setgroups(0, nullptr) != 0) ReportAndExit(plan.reportFd, Stage::GROUPS);
    if (::setresgid(gid, gid, gid) != 0) ReportAndExit(plan.reportFd, Stage::GID);
    if (::setresuid(uid, uid, uid) != 0) ReportAndExit(plan.reportFd, Stage::UID);
  }
  ::execve(plan.file, plan.argv, plan.envp);
  ReportAndExit(plan.reportFd, Stage::EXEC);
}

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

Pipe MakePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) Fail(errno, "pipe2");
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

std::vector<char*> ToPointers(std::vector<std::string> const& strings) {
  std::vector<char*> pointers;
  for (std::string const& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

int MillisecondsUntil(Clock::time_point deadline) {
  auto const left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Appends what the pipe holds; closes it at its end.
void ReadAvailable(UniqueFd& fd, std::string& sink) {
  char buffer[4096];
  ssize_t const n = ::read(fd.get(), buffer, sizeof buffer);
  if (n > 0) {
    sink.append(buffer, static_cast<size_t>(n));
  } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    fd.reset();
  }
}

}  // namespace

std::vector<std::string> CleanEnvironment() {
  return {"LC_ALL=C", "PATH=/usr/bin:/bin"};
}

std::ostream& operator<<(std::ostream& out, Outcome const& outcome) {
  switch (outcome.kind) {
    case Outcome::Kind::EXITED:
      return out << "exited with status " << outcome.value;
    case Outcome::Kind::SIGNALED:
      return out << "killed by signal " << outcome.value << " ("
                 << ::strsignal(outcome.value) << ")";
    case Outcome::Kind::HUNG:
      return out << "hung (killed at the hang guard)";
  }
  return out;
}

Process Process::Spawn(SpawnOptions const& options) {
  if (options.argv.empty()) Fail(EINVAL, "spawn without argv");
  std::string const& file = options.path.empty() ? options.argv[0] : options.path;
  std::vector<char*> const argv = ToPointers(options.argv);
  std::vector<char*> const envp = ToPointers(options.environment);

  UniqueFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!devNull) Fail(errno, "open /dev/null");
  Pipe out = MakePipe();
  Pipe err = MakePipe();
  Pipe report = MakePipe();

  pid_t const pid = ::fork();
  if (pid < 0) Fail(errno, "fork");
  if (pid == 0) {
    RunChild({file.c_str(), argv.data(), envp.data(), devNull.get(),
              out.write.get(), err.write.get(), report.write.get(), &options});
  }
  out.write.reset();
  err.write.reset();
  report.write.reset();

  ChildFailure failure{};
  ssize_t n;
  do {
    n = ::read(report.read.get(), &failure, sizeof failure);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof failure)) {
    ::waitpid(pid, nullptr, 0);
    Fail(failure.error, std::string(Describe(failure.stage)) + " for " + file);
  }

  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!pidfd) {
    int const savedErrno = errno;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    Fail(savedErrno, "pidfd_open");
  }
  return Process(pid, std::move(pidfd), std::move(out.read), std::move(err.read));
}

Process::Process(pid_t pid, UniqueFd pidfd, UniqueFd out, UniqueFd err)
    : pid_(pid), pidfd_(std::move(pidfd)), out_(std::move(out)), err_(std::move(err)) {}

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      pidfd_(std::move(other.pidfd_)),
      out_(std::move(other.out_)),
      err_(std::move(other.err_)),
      stdout_(std::move(other.stdout_)),
      stderr_(std::move(other.stderr_)),
      outcome_(std::move(other.outcome_)) {}

Process::~Process() {
  if (pid_ <= 0 || outcome_) return;
  // Someone else (the sandbox collecting orphans) may have reaped it: then
  // the number may already belong to another process, which must survive.
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return;
  }
  ::killpg(pid_, SIGKILL);
  try {
    Reap();
  } catch (std::exception const&) {
    // Nothing left to do for a child that cannot be waited for.
  }
}

void Process::Signal(int signal) const {
  if (::kill(pid_, signal) != 0) Fail(errno, "kill " + std::to_string(pid_));
}

bool Process::Pump(Clock::time_point deadline) {
  pollfd fds[3];
  nfds_t count = 0;
  fds[count++] = {pidfd_.get(), POLLIN, 0};
  int const outSlot = out_ ? static_cast<int>(count) : -1;
  if (out_) fds[count++] = {out_.get(), POLLIN, 0};
  int const errSlot = err_ ? static_cast<int>(count) : -1;
  if (err_) fds[count++] = {err_.get(), POLLIN, 0};
  if (::poll(fds, count, MillisecondsUntil(deadline)) < 0) {
    if (errno == EINTR) return false;
    Fail(errno, "poll");
  }
  if (outSlot >= 0 && fds[outSlot].revents != 0) ReadAvailable(out_, stdout_);
  if (errSlot >= 0 && fds[errSlot].revents != 0) ReadAvailable(err_, stderr_);
  return fds[0].revents != 0;
}

bool Process::WaitForOutput(std::string_view text, std::chrono::milliseconds guard) {
  auto const deadline = Clock::now() + guard;
  while (stdout_.find(text) == std::string::npos) {
    if (!out_ || Clock::now() >= deadline) return false;
    if (Pump(deadline)) {
      // Ended: whatever it wrote is in the pipe already.
      Drain(Clock::now());
      return stdout_.find(text) != std::string::npos;
    }
  }
  return true;
}

Outcome Process::Wait(std::chrono::milliseconds guard) {
  if (outcome_) return *outcome_;
  auto const deadline = Clock::now() + guard;
  bool ended = false;
  while (!ended && Clock::now() < deadline) ended = Pump(deadline);
  if (!ended) {
    ::killpg(pid_, SIGKILL);
    outcome_ = Outcome::Hung();
  }
  // The pipes end when the last holder closes them.
  Drain(Clock::now() + DRAIN_GRACE);
  // Still open: something of its group outlived it. Until the reap the
  // group's number cannot be reused, so killing it is safe.
  if (out_ || err_) ::killpg(pid_, SIGKILL);
  Reap();
  return *outcome_;
}

void Process::Drain(Clock::time_point deadline) {
  while (out_ || err_) {
    pollfd fds[2];
    nfds_t count = 0;
    if (out_) fds[count++] = {out_.get(), POLLIN, 0};
    if (err_) fds[count++] = {err_.get(), POLLIN, 0};
    int const ready = ::poll(fds, count, MillisecondsUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return;
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (out_ && fds[i].fd == out_.get()) {
        ReadAvailable(out_, stdout_);
      } else if (err_ && fds[i].fd == err_.get()) {
        ReadAvailable(err_, stderr_);
      }
    }
  }
}

void Process::Reap() {
  int status = 0;
  pid_t result;
  do {
    result = ::waitpid(pid_, &status, 0);
  } while (result < 0 && errno == EINTR);
  if (result < 0) Fail(errno, "waitpid " + std::to_string(pid_));
  if (!outcome_) {
    outcome_ = WIFEXITED(status) ? Outcome::Exited(WEXITSTATUS(status))
                                 : Outcome::Signaled(WTERMSIG(status));
  }
  out_.reset();
  err_.reset();
  pidfd_.reset();
}

bool WaitUntilWaitingForChild(pid_t pid, std::chrono::milliseconds guard) {
  auto const deadline = Clock::now() + guard;
  std::string const path = "/proc/" + std::to_string(pid) + "/syscall";
  while (Clock::now() < deadline) {
    // The first field is the number of the system call the process is
    // blocked in, or "running".
    long const number = std::strtol(ReadFile(path).c_str(), nullptr, 10);
    if (number == SYS_wait4 || number == SYS_waitid) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

}  // namespace nestbox::sandbox
