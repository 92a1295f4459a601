#include "pack/stream_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "pack/pack_error.h"
#include "support/unique_fd.h"

namespace {

constexpr std::size_t BUFFER_SIZE = 1 << 20;

// Directory record: name, flag, mode.
constexpr std::uint64_t DIRECTORY_OVERHEAD = 4 + 1 + 4;
// File record: name, flag, parent, size, mode.
constexpr std::uint64_t FILE_OVERHEAD = 4 + 1 + 4 + 8 + 4;

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return std::numeric_limits<std::uint64_t>::max();
  return sum;
}

class BufferedOutput {
 public:
  BufferedOutput(int fd, std::string const& path) : fd_(fd), path_(path) {
    buffer_.reserve(BUFFER_SIZE);
  }

  void PutUInt(std::uint64_t value, int byteCount) {
    for (int i = 0; i < byteCount; ++i) {
      Put(static_cast<char>((value >> (8 * i)) & 0xff));
    }
  }

  void PutString(std::string const& bytes) {
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
      throw PackError("a name is too long for the contents stream");
    }
    PutUInt(bytes.size(), 4);
    for (char const c : bytes) Put(c);
  }

  // Room for up to `wanted` bytes at the end of the buffer; Commit says how
  // many of them were filled.
  char* Reserve(std::size_t& wanted) {
    if (buffer_.size() == BUFFER_SIZE) Flush();
    wanted = std::min(wanted, BUFFER_SIZE - buffer_.size());
    std::size_t const used = buffer_.size();
    buffer_.resize(used + wanted);
    return buffer_.data() + used;
  }
  void Commit(std::size_t reserved, std::size_t filled) {
    buffer_.resize(buffer_.size() - reserved + filled);
  }

  void Flush() {
    std::size_t done = 0;
    while (done < buffer_.size()) {
      ssize_t const written = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
      if (written < 0) {
        int const savedErrno = errno;
        if (savedErrno == EINTR) continue;
        ThrowPackErrno(path_, "cannot write", savedErrno);
      }
      if (written == 0) ThrowPackError(path_, "cannot write: no progress");
      done += static_cast<std::size_t>(written);
    }
    buffer_.clear();
  }

 private:
  void Put(char c) {
    if (buffer_.size() == BUFFER_SIZE) Flush();
    buffer_.push_back(c);
  }

  int fd_;
  std::string const& path_;
  std::vector<char> buffer_;
};

void CopyFileData(AppEntry const& file, BufferedOutput& output) {
  UniqueFd input(::open(file.sourcePath.c_str(),
                        O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!input) {
    int const savedErrno = errno;
    ThrowPackErrno(file.sourcePath, "cannot open", savedErrno);
  }
  struct stat status {};
  if (::fstat(input.get(), &status) != 0) {
    int const savedErrno = errno;
    ThrowPackErrno(file.sourcePath, "cannot examine", savedErrno);
  }
  if (!S_ISREG(status.st_mode) || static_cast<std::uint64_t>(status.st_size) != file.size) {
    ThrowPackError(file.sourcePath, "changed while being packed");
  }
  std::uint64_t left = file.size;
  while (left > 0) {
    std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(left, BUFFER_SIZE));
    char* const target = output.Reserve(room);
    ssize_t const got = ::read(input.get(), target, room);
    if (got < 0) {
      int const savedErrno = errno;
      output.Commit(room, 0);
      if (savedErrno == EINTR) continue;
      ThrowPackErrno(file.sourcePath, "cannot read", savedErrno);
    }
    output.Commit(room, static_cast<std::size_t>(got));
    if (got == 0) ThrowPackError(file.sourcePath, "changed while being packed");
    left -= static_cast<std::uint64_t>(got);
  }
  // Nor may it have grown since it was measured.
  char extra = 0;
  ssize_t got = 0;
  do {
    got = ::read(input.get(), &extra, 1);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    int const savedErrno = errno;
    ThrowPackErrno(file.sourcePath, "cannot read", savedErrno);
  }
  if (got > 0) ThrowPackError(file.sourcePath, "changed while being packed");
}

}  // namespace

std::uint64_t StreamSize(std::vector<AppEntry> const& entries) {
  std::uint64_t total = 0;
  for (AppEntry const& entry : entries) {
    std::uint64_t record = entry.isDirectory ? DIRECTORY_OVERHEAD : FILE_OVERHEAD;
    record = SaturatingAdd(record, entry.name.size());
    if (!entry.isDirectory) {
      record = SaturatingAdd(record, entry.parent.size());
      record = SaturatingAdd(record, entry.size);
    }
    total = SaturatingAdd(total, record);
  }
  return total;
}

void WriteStream(std::vector<AppEntry> const& entries, int outputFd,
                 std::string const& outputPath) {
  BufferedOutput output(outputFd, outputPath);
  for (AppEntry const& entry : entries) {
    output.PutString(entry.name);
    output.PutUInt(entry.isDirectory ? 1 : 0, 1);
    if (entry.isDirectory) {
      output.PutUInt(entry.mode, 4);
      continue;
    }
    output.PutString(entry.parent);
    output.PutUInt(entry.size, 8);
    output.PutUInt(entry.mode, 4);
    CopyFileData(entry, output);
  }
  output.Flush();
}
