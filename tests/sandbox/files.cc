#include "sandbox/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "support/unique_fd.h"

namespace nestbox::sandbox {

namespace {

[[noreturn]] void Fail(int savedErrno, std::string const& what) {
  throw std::system_error(savedErrno, std::generic_category(), what);
}

}  // namespace

bool FileInfo::IsDirectory() const { return type == S_IFDIR; }
bool FileInfo::IsRegular() const { return type == S_IFREG; }

std::optional<FileInfo> Inspect(std::string const& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    int const savedErrno = errno;
    if (savedErrno == ENOENT || savedErrno == ENOTDIR) return std::nullopt;
    Fail(savedErrno, "lstat " + path);
  }
  FileInfo info;
  info.type = st.st_mode & S_IFMT;
  info.permissions = st.st_mode & 07777;
  info.owner = st.st_uid;
  info.group = st.st_gid;
  info.size = st.st_size;
  info.device = st.st_dev;
  info.inode = st.st_ino;
  return info;
}

bool Exists(std::string const& path) { return Inspect(path).has_value(); }

std::vector<std::string> ListDir(std::string const& path) {
  DirStream dir(::opendir(path.c_str()));
  if (dir.get() == nullptr) Fail(errno, "opendir " + path);
  std::vector<std::string> names;
  while (true) {
    errno = 0;
    dirent const* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) Fail(errno, "readdir " + path);
      break;
    }
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadFile(std::string const& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) Fail(errno, "open " + path);
  std::string content;
  char buffer[8192];
  while (true) {
    ssize_t const n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(errno, "read " + path);
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  return content;
}

void WriteFile(std::string const& path, std::string const& content,
               mode_t mode) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                     mode));
  if (!fd) Fail(errno, "open " + path);
  size_t written = 0;
  while (written < content.size()) {
    ssize_t const n = ::write(fd.get(), content.data() + written,
                              content.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(errno, "write " + path);
    }
    written += static_cast<size_t>(n);
  }
  if (::fchmod(fd.get(), mode) != 0) Fail(errno, "fchmod " + path);
}

void MakeDirs(std::string const& path, mode_t mode) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string const prefix = path.substr(0, slash);
    if (::mkdir(prefix.c_str(), mode) == 0) {
      if (::chmod(prefix.c_str(), mode) != 0) Fail(errno, "chmod " + prefix);
    } else if (errno != EEXIST) {
      Fail(errno, "mkdir " + prefix);
    }
    if (slash == std::string::npos) break;
  }
}

}  // namespace nestbox::sandbox
