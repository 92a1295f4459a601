#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <system_error>

#include "fips/prepare_openssl.h"
#include "support/syslogger.h"
#include "support/unique_fd.h"

namespace {

void LogFailure(char const* what, std::string const& path, int savedErrno) {
  std::string const text = std::string(what) + " '" + path + "'";
  g_logger.LogError(std::system_error(savedErrno, std::generic_category(), text));
}

// The whole file, or false with errno set.
bool ReadAll(int fd, std::string& contents) {
  char buffer[16384];
  for (;;) {
    ssize_t const count = ::read(fd, buffer, sizeof buffer);
    if (count == 0) return true;
    if (count < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    contents.append(buffer, static_cast<std::size_t>(count));
  }
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t const count = ::write(fd, data.data(), data.size());
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      if (count == 0) errno = EIO;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

std::string ReplaceLines(std::string_view text, std::string_view lineToFind,
                         std::string_view newLine) {
  std::string result;
  result.reserve(text.size() + 1);
  while (!text.empty()) {
    auto const end = text.find('\n');
    std::string_view const line = text.substr(0, end);
    result += line == lineToFind ? newLine : line;
    result += '\n';
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return result;
}

}  // namespace

void ReplaceInFile(std::string const& path, std::string const& lineToFind,
                   std::string const& newLine) {
  std::string original;
  {
    UniqueFd source(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!source || !ReadAll(source.get(), original)) {
      LogFailure("Failed to read", path, errno);
      return;
    }
  }

  // A stale copy goes first and the new one is created exclusively, so a
  // link planted under the copy's name is never written through.
  std::string const copyPath = path + ".tmp";
  if (::unlink(copyPath.c_str()) != 0 && errno != ENOENT) {
    LogFailure("Failed to remove stale", copyPath, errno);
    return;
  }
  UniqueFd copy(::open(copyPath.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       0666));
  if (!copy) {
    LogFailure("Failed to create", copyPath, errno);
    return;
  }
  if (!WriteAll(copy.get(), ReplaceLines(original, lineToFind, newLine)) ||
      ::close(copy.release()) != 0) {
    int const savedErrno = errno;
    copy.reset();
    ::unlink(copyPath.c_str());
    LogFailure("Failed to write", copyPath, savedErrno);
    return;
  }
  // Renaming over the original replaces it in one step: there is never a
  // moment without a complete configuration file.
  if (::rename(copyPath.c_str(), path.c_str()) != 0) {
    int const savedErrno = errno;
    ::unlink(copyPath.c_str());
    LogFailure("Failed to replace", path, savedErrno);
  }
}
