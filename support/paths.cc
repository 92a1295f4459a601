#include "support/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "support/system_error.h"

bool FileExists(std::string const& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) == 0) return true;
  if (errno == ENOENT) return false;
  ThrowSystemError("Failed to check whether file exists");
}

bool CurrentUserIsOwnerOfFile(std::string const& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) return false;
  return status.st_uid == ::geteuid() && (status.st_mode & 077) == 0;
}

std::uint64_t GetFileSize(std::string const& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) return 0;
  return static_cast<std::uint64_t>(status.st_size);
}

std::string GetExecPath() {
  // One byte more than the longest path we accept tells a path that fits
  // from one that readlink cut short: a cut path would name the wrong lock
  // file and working directory.
  char buffer[MAX_PATH_LENGTH] = {};
  ssize_t const length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  if (length < 0) ThrowSystemError("Cannot get executable path");
  if (static_cast<std::size_t>(length) >= MAX_PATH_LENGTH) {
    ThrowSystemError(ENAMETOOLONG, "Cannot get executable path");
  }
  return std::string(buffer, static_cast<std::size_t>(length));
}

std::string GetName(std::string const& path) {
  auto const slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string GetDir(std::string const& path) {
  auto const slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string MergePath(std::string const& first, std::string const& second) {
  std::string merged = first;
  if (merged.empty() || merged.back() != '/') merged += '/';
  merged += second;
  return merged;
}

bool IsDir(std::string const& path, dirent const& entry) {
  if (entry.d_type != DT_UNKNOWN) return entry.d_type == DT_DIR;
  struct stat status;
  if (::lstat(path.c_str(), &status) != 0) return false;
  return S_ISDIR(status.st_mode);
}
