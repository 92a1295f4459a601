#pragma once

#include <dirent.h>

#include <cerrno>
#include <utility>

#include <unistd.h>

// Owns one file descriptor. Closing never raises and keeps errno, so an
// owner can go out of scope between a failed call and the raise of its errno.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueFd(UniqueFd const&) = delete;
  UniqueFd& operator=(UniqueFd const&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

  int release() { return std::exchange(fd_, -1); }

  void reset(int fd = -1) {
    int const old = std::exchange(fd_, fd);
    if (old >= 0) {
      int const savedErrno = errno;
      ::close(old);  // never retried: the descriptor is gone either way
      errno = savedErrno;
    }
  }

 private:
  int fd_ = -1;
};

// Owns one directory stream (and the descriptor under it).
class DirStream {
 public:
  explicit DirStream(DIR* stream) : stream_(stream) {}
  DirStream(DirStream const&) = delete;
  DirStream& operator=(DirStream const&) = delete;
  ~DirStream() {
    if (stream_ != nullptr) {
      int const savedErrno = errno;
      ::closedir(stream_);
      errno = savedErrno;
    }
  }

  DIR* get() const { return stream_; }

 private:
  DIR* stream_;
};
