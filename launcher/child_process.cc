#include "launcher/child_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

volatile std::sig_atomic_t _childPid = -1;

extern "C" void term(int signalNumber) {
  int const savedErrno = errno;  // the interrupted code may be reading it
  pid_t const child = _childPid;
  if (child > 0) ::kill(child, signalNumber);
  errno = savedErrno;
}

void InstallForwardingHandlers() {
  struct sigaction action {};
  action.sa_handler = term;
  for (int const signalNumber : {SIGTERM, SIGHUP, SIGINT}) {
    ::sigaction(signalNumber, &action, nullptr);
  }
}

pid_t ForkChild() {
  // The child can exec, and its caller signal us, before fork returns in the
  // parent; with the forwarded signals held back until _childPid names the
  // child, a signal that reaches us in that moment is forwarded instead of
  // lost. The child restores the mask too, so the entry executable starts
  // with it unchanged; a signal sent to the child itself before its exec is
  // taken by term there, which forwards nothing (_childPid is 0).
  sigset_t forwarded;
  sigset_t previous;
  sigemptyset(&forwarded);
  for (int const signalNumber : {SIGTERM, SIGHUP, SIGINT}) {
    sigaddset(&forwarded, signalNumber);
  }
  ::sigprocmask(SIG_BLOCK, &forwarded, &previous);
  pid_t const child = ::fork();
  int const forkErrno = errno;
  _childPid = child;
  ::sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (child < 0) {
    throw std::system_error(forkErrno, std::generic_category(),
                            "Failed to fork child process");
  }
  return child;
}

int WaitForChild() {
  int status = 0;
  while (::waitpid(_childPid, &status, 0) < 0) {
    if (errno != EINTR) {
      int const waitErrno = errno;
      // The id may name someone else's process from now on.
      _childPid = -1;
      throw std::system_error(waitErrno, std::generic_category(),
                              "Failed to wait for child process to finish");
    }
  }
  _childPid = -1;
  if (!WIFEXITED(status)) throw std::runtime_error("Unable to start executable");
  return WEXITSTATUS(status);
}
