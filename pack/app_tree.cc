#include "pack/app_tree.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "pack/pack_error.h"
#include "support/unique_fd.h"

namespace {

constexpr std::uint32_t PERMISSION_BITS = 07777;

char const* KindOf(mode_t mode) {
  if (S_ISFIFO(mode)) return "a fifo";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "not a regular file, directory or symbolic link";
}

// Names in a directory in bytewise order; std::string compares through
// char_traits<char>, which orders bytes as unsigned values.
std::vector<std::string> SortedNames(std::string const& dirPath) {
  DirStream dir(::opendir(dirPath.c_str()));
  if (dir.get() == nullptr) {
    ThrowPackErrno(dirPath, "cannot open directory", errno);
  }
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    dirent const* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) ThrowPackErrno(dirPath, "cannot read directory", errno);
      break;
    }
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

class Walker {
 public:
  explicit Walker(std::string appDir) : appDir_(std::move(appDir)) {}

  std::vector<AppEntry> Walk() {
    struct stat status {};
    if (::stat(appDir_.c_str(), &status) != 0) {
      int const savedErrno = errno;
      if (savedErrno == ENOENT) ThrowPackError(appDir_, "application directory does not exist");
      ThrowPackErrno(appDir_, "cannot examine application directory", savedErrno);
    }
    if (!S_ISDIR(status.st_mode)) {
      ThrowPackError(appDir_, "application directory is not a directory");
    }
    AppEntry top;
    top.isDirectory = true;
    top.name = ".";
    top.mode = status.st_mode & PERMISSION_BITS;
    top.sourcePath = appDir_;
    entries_.push_back(std::move(top));
    WalkDirectory(".", appDir_);
    return std::move(entries_);
  }

 private:
  // relativeDir is "." or a directory's name as stored in the stream.
  void WalkDirectory(std::string const& relativeDir, std::string const& dirPath) {
    for (std::string const& name : SortedNames(dirPath)) {
      std::string const relative =
          relativeDir == "." ? name : relativeDir + "/" + name;
      std::string const path = dirPath + "/" + name;
      struct stat status {};
      if (::lstat(path.c_str(), &status) != 0) {
        int const savedErrno = errno;
        ThrowPackErrno(path, "cannot examine", savedErrno);
      }
      if (S_ISDIR(status.st_mode)) {
        AppEntry dir;
        dir.isDirectory = true;
        dir.name = relative;
        dir.mode = status.st_mode & PERMISSION_BITS;
        dir.sourcePath = path;
        entries_.push_back(std::move(dir));
        WalkDirectory(relative, path);
        continue;
      }
      AppEntry file;
      file.name = name;
      file.parent = relativeDir;
      file.sourcePath = path;
      if (S_ISLNK(status.st_mode)) {
        FollowLink(path, status, file.linkTarget);
      } else if (!S_ISREG(status.st_mode)) {
        ThrowPackError(path, std::string("cannot be carried: it is ") +
                                 KindOf(status.st_mode));
      }
      file.mode = status.st_mode & PERMISSION_BITS;
      file.size = static_cast<std::uint64_t>(status.st_size);
      entries_.push_back(std::move(file));
    }
  }

  // Replaces the link's own status with its target's; only a regular file
  // may stand behind it.
  static void FollowLink(std::string const& path, struct stat& status,
                         std::string& canonicalTarget) {
    if (::stat(path.c_str(), &status) != 0) {
      int const savedErrno = errno;
      if (savedErrno == ENOENT || savedErrno == ELOOP || savedErrno == ENOTDIR) {
        ThrowPackError(path, "dangling symbolic link");
      }
      ThrowPackErrno(path, "cannot follow symbolic link", savedErrno);
    }
    if (S_ISDIR(status.st_mode)) {
      ThrowPackError(path, "symbolic link to a directory cannot be carried");
    }
    if (!S_ISREG(status.st_mode)) {
      ThrowPackError(path, std::string("symbolic link to ") + KindOf(status.st_mode) +
                               " cannot be carried");
    }
    std::unique_ptr<char, decltype(&std::free)> resolved(
        ::realpath(path.c_str(), nullptr), &std::free);
    if (resolved) canonicalTarget = resolved.get();
  }

  std::string appDir_;
  std::vector<AppEntry> entries_;
};

}  // namespace

std::string RelativePath(AppEntry const& entry) {
  if (entry.isDirectory || entry.parent == ".") return entry.name;
  return entry.parent + "/" + entry.name;
}

std::vector<AppEntry> WalkAppTree(std::string const& appDir) {
  return Walker(appDir).Walk();
}
