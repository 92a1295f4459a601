#pragma once

#include <sys/types.h>

#include <csignal>

// The one child process that the launcher runs at a time (the entry
// executable, or the OpenSSL tool before it) and the forwarding of
// termination signals to it.

// The running child's id; -1 while none runs, 0 inside the child until its
// exec. Written by the main flow only, read by the signal handler.
extern volatile std::sig_atomic_t _childPid;

// Sends the received signal on to the running child, if any.
extern "C" void term(int signalNumber);

// Installs term for SIGTERM, SIGHUP and SIGINT, without SA_RESTART so that a
// blocking wait returns with EINTR; it stays installed for good.
void InstallForwardingHandlers();

// Forks and records the child in _childPid; raises "Failed to fork child
// process". Returns 0 in the child, which must end with _exit.
pid_t ForkChild();

// Waits for the child in _childPid across forwarded signals. Returns its exit
// status; raises "Unable to start executable" when a signal ended it.
int WaitForChild();
