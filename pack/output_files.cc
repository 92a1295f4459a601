#include "pack/output_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

#include "pack/pack_error.h"

namespace {

std::string BaseNameOf(std::string const& path) {
  std::size_t const slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string TemporaryTemplate(std::string const& besidePath, char const* tag) {
  return DirectoryOf(besidePath) + "/." + BaseNameOf(besidePath) + tag + "XXXXXX";
}

mode_t NewFileMode() {
  mode_t const mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

std::string DirectoryOf(std::string const& path) {
  std::size_t const slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string AbsolutePath(std::string const& path) {
  if (!path.empty() && path[0] == '/') return path;
  std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
  if (!cwd) {
    int const savedErrno = errno;
    ThrowPackErrno(".", "cannot get the current directory", savedErrno);
  }
  return std::string(cwd.get()) + "/" + path;
}

PendingFile::PendingFile(std::string finalPath) : finalPath_(std::move(finalPath)) {
  std::string name = TemporaryTemplate(finalPath_, ".tmp-");
  fd_.reset(::mkostemp(name.data(), O_CLOEXEC));
  if (!fd_) {
    int const savedErrno = errno;
    ThrowPackErrno(finalPath_, "cannot create", savedErrno);
  }
  tempPath_ = std::move(name);
}

PendingFile::~PendingFile() {
  if (!committed_) {
    int const savedErrno = errno;
    fd_.reset();
    ::unlink(tempPath_.c_str());
    errno = savedErrno;
  }
}

void PendingFile::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t const written = ::write(fd_.get(), bytes.data(), bytes.size());
    if (written < 0) {
      int const savedErrno = errno;
      if (savedErrno == EINTR) continue;
      ThrowPackErrno(finalPath_, "cannot write", savedErrno);
    }
    if (written == 0) ThrowPackError(finalPath_, "cannot write: no progress");
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

void PendingFile::Commit() {
  if (::fchmod(fd_.get(), NewFileMode()) != 0) {
    int const savedErrno = errno;
    ThrowPackErrno(finalPath_, "cannot set mode", savedErrno);
  }
  // close reports errors of delayed writes (e.g. on NFS), so it is checked
  // here rather than left to the owner.
  if (::close(fd_.release()) != 0) {
    int const savedErrno = errno;
    ThrowPackErrno(finalPath_, "cannot write", savedErrno);
  }
  if (::rename(tempPath_.c_str(), finalPath_.c_str()) != 0) {
    int const savedErrno = errno;
    ThrowPackErrno(finalPath_, "cannot create", savedErrno);
  }
  committed_ = true;
}

ScratchDir::ScratchDir(std::string const& besidePath) {
  std::string name = TemporaryTemplate(besidePath, ".pack-");
  if (::mkdtemp(name.data()) == nullptr) {
    int const savedErrno = errno;
    ThrowPackErrno(besidePath, "cannot create a temporary directory for", savedErrno);
  }
  path_ = std::move(name);
}

ScratchDir::~ScratchDir() {
  int const savedErrno = errno;
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path_.c_str())) {
    DirStream owner(dir);
    while (dirent const* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(std::move(name));
    }
  }
  for (std::string const& name : names) ::unlink((path_ + "/" + name).c_str());
  ::rmdir(path_.c_str());
  errno = savedErrno;
}
