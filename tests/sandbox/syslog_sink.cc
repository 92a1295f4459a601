#include "sandbox/syslog_sink.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <system_error>

namespace nestbox::sandbox {

namespace {

// "Mmm dd hh:mm:ss" and the blank after it.
constexpr size_t TIMESTAMP_LENGTH = 16;

bool LooksLikeTimestamp(std::string_view s) {
  return s.size() >= TIMESTAMP_LENGTH && s[3] == ' ' && s[6] == ' ' &&
         s[9] == ':' && s[12] == ':' && s[15] == ' ';
}

template <typename T>
bool ParseDecimal(std::string_view digits, T* value) {
  if (digits.empty()) return false;
  auto const [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), *value);
  return error == std::errc() && end == digits.data() + digits.size();
}

}  // namespace

std::optional<LogEntry> ParseLogFrame(std::string_view frame) {
  if (frame.empty() || frame.front() != '<') return std::nullopt;
  size_t const close = frame.find('>');
  int pri = 0;
  if (close == std::string_view::npos ||
      !ParseDecimal(frame.substr(1, close - 1), &pri)) {
    return std::nullopt;
  }
  std::string_view rest = frame.substr(close + 1);
  if (!LooksLikeTimestamp(rest)) return std::nullopt;
  rest.remove_prefix(TIMESTAMP_LENGTH);

  size_t const colon = rest.find(": ");
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view header = rest.substr(0, colon);

  LogEntry entry;
  entry.facility = pri >> 3;
  entry.priority = pri & 7;
  entry.text = std::string(rest.substr(colon + 2));
  entry.frame = std::string(frame);
  size_t const open = header.find('[');
  if (open != std::string_view::npos && header.back() == ']') {
    if (!ParseDecimal(header.substr(open + 1, header.size() - open - 2),
                      &entry.pid)) {
      return std::nullopt;
    }
    header = header.substr(0, open);
  }
  entry.ident = std::string(header);
  return entry;
}

SyslogSink::SyslogSink(std::string const& path)
    : socket_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)),
      wake_(::eventfd(0, EFD_CLOEXEC)) {
  if (!socket_) throw std::system_error(errno, std::generic_category(), "socket");
  if (!wake_) throw std::system_error(errno, std::generic_category(), "eventfd");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    throw std::system_error(ENAMETOOLONG, std::generic_category(), path);
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (::bind(socket_.get(), reinterpret_cast<sockaddr const*>(&address),
             sizeof address) != 0) {
    throw std::system_error(errno, std::generic_category(), "bind " + path);
  }
  // Every user that a test switches to must be able to log.
  if (::chmod(path.c_str(), 0666) != 0) {
    throw std::system_error(errno, std::generic_category(), "chmod " + path);
  }
  reader_ = std::thread([this] { ReadLoop(); });
}

SyslogSink::~SyslogSink() {
  uint64_t const one = 1;
  // A failed write would leave the reader polling: nothing else can stop
  // it, so a broken eventfd is a fault worth crashing on.
  if (::write(wake_.get(), &one, sizeof one) != sizeof one) std::terminate();
  reader_.join();
}

void SyslogSink::ReceiveQueued() {
  // Frames are at most a few kilobytes (a 2 KiB path plus a message).
  char buffer[65536];
  while (true) {
    ssize_t const n = ::recv(socket_.get(), buffer, sizeof buffer, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // EAGAIN: the queue is empty
    }
    std::string_view const frame(buffer, static_cast<size_t>(n));
    if (auto entry = ParseLogFrame(frame)) {
      entries_.push_back(std::move(*entry));
    } else {
      LogEntry unparsed;
      unparsed.text = std::string(frame);
      unparsed.frame = unparsed.text;
      entries_.push_back(std::move(unparsed));
    }
  }
}

void SyslogSink::ReadLoop() {
  pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
  while (true) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      std::terminate();
    }
    if (fds[1].revents != 0) return;
    std::lock_guard lock(mutex_);
    ReceiveQueued();
    arrived_.notify_all();
  }
}

std::vector<LogEntry> SyslogSink::Entries() {
  std::lock_guard lock(mutex_);
  // A process that has ended has queued all its frames already; taking
  // them here keeps them from racing the reader thread.
  ReceiveQueued();
  return entries_;
}

std::vector<LogEntry> SyslogSink::EntriesOf(pid_t pid) {
  std::vector<LogEntry> selected;
  for (LogEntry& entry : Entries()) {
    if (entry.pid == pid) selected.push_back(std::move(entry));
  }
  return selected;
}

bool SyslogSink::WaitFor(std::function<bool(LogEntry const&)> const& predicate,
                         std::chrono::milliseconds guard) {
  std::unique_lock lock(mutex_);
  return arrived_.wait_for(lock, guard, [&] {
    ReceiveQueued();
    for (LogEntry const& entry : entries_) {
      if (predicate(entry)) return true;
    }
    return false;
  });
}

}  // namespace nestbox::sandbox
