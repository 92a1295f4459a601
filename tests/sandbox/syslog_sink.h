#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/unique_fd.h"

namespace nestbox::sandbox {

// One frame as the C library's syslog sends it to /dev/log:
// "<PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT" (no "[PID]" without LOG_PID).
struct LogEntry {
  int facility = -1;  // LOG_USER is 1 (not shifted)
  int priority = -1;  // LOG_ERR 3, LOG_INFO 6
  std::string ident;
  pid_t pid = -1;     // -1 when the frame carries none
  std::string text;
  std::string frame;  // the datagram as received
};

// Nullopt for anything that is not such a frame.
std::optional<LogEntry> ParseLogFrame(std::string_view frame);

// A datagram socket bound at a path that collects every frame sent to it.
// A thread reads it all the time: the kernel queues only a handful of
// datagrams per socket (net.unix.max_dgram_qlen), and a sender that finds
// the queue full blocks, so a test that read only after a process ended
// could hang that process.
class SyslogSink {
 public:
  explicit SyslogSink(std::string const& path);
  SyslogSink(SyslogSink const&) = delete;
  SyslogSink& operator=(SyslogSink const&) = delete;
  ~SyslogSink();

  // Every frame received so far, in arrival order; frames that do not
  // parse appear with priority -1 and the frame as text. Whatever a
  // process that has already ended sent is included.
  std::vector<LogEntry> Entries();
  // The entries whose pid is the given one.
  std::vector<LogEntry> EntriesOf(pid_t pid);
  // Waits until some entry satisfies the predicate; false at the guard.
  bool WaitFor(std::function<bool(LogEntry const&)> const& predicate,
               std::chrono::milliseconds guard);

 private:
  void ReceiveQueued();  // with mutex_ held
  void ReadLoop();

  UniqueFd socket_;
  UniqueFd wake_;  // eventfd that stops the reader
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<LogEntry> entries_;
  std::thread reader_;
};

}  // namespace nestbox::sandbox
