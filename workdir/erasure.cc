#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <string>
#include <utility>

#include "contents/beneath.h"
#include "support/paths.h"
#include "support/syslogger.h"
#include "support/system_error.h"
#include "support/unique_fd.h"
#include "workdir/extracted_app.h"

namespace {

constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Walks by descriptor: every directory is opened relative to its parent with
// O_NOFOLLOW, so a symbolic link planted or swapped in anywhere is removed as
// a link and never followed, and the walk cannot be led out of the tree.
void EraseOpenDirectory(UniqueFd directory, std::string const& dirPath,
                        dev_t device) {
  DIR* const rawStream = ::fdopendir(directory.get());
  if (rawStream == nullptr) {
    ThrowSystemError("Failed to open working directory (opendir)");
  }
  DirStream stream(rawStream);
  directory.release();  // the stream owns it now
  for (;;) {
    errno = 0;
    dirent const* const entry = ::readdir(stream.get());
    if (entry == nullptr) {
      if (errno != 0) ThrowSystemError("Failed to read directory contents");
      return;
    }
    std::string const name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string const path = MergePath(dirPath, name);

    bool const isDirectory = IsDir(path, *entry);
    if (isDirectory) {
      // Resolved beneath the directory without crossing a mount point, so
      // that a bind mount of another tree (same device) is not entered.
      UniqueFd child(OpenBeneath(dirfd(stream.get()), name, DIRECTORY_FLAGS));
      struct stat status;
      if (!child && (errno == ENOTDIR || errno == ELOOP)) {
        // No longer a directory since it was read: removed as what it is.
      } else if (!child && errno == EXDEV) {
        // A mount point: left alone; removing it below fails and stops the
        // erasure.
      } else if (!child || ::fstat(child.get(), &status) != 0) {
        ThrowSystemError("Failed to open working directory (opendir)");
      } else if (status.st_dev == device) {
        // Another file system mounted inside is left alone; removing its
        // mount point below then fails and stops the erasure.
        EraseOpenDirectory(std::move(child), path, device);
      }
    }

    int const flags = isDirectory ? AT_REMOVEDIR : 0;
    if (::unlinkat(dirfd(stream.get()), name.c_str(), flags) != 0) {
      int savedErrno = errno;
      // The entry changed type since it was read: remove it as what it is.
      if (savedErrno == EISDIR || savedErrno == ENOTDIR) {
        if (::unlinkat(dirfd(stream.get()), name.c_str(),
                       flags ^ AT_REMOVEDIR) == 0) {
          continue;
        }
        savedErrno = errno;
      }
      std::string const message = "Failed to remove [" + name + "]";
      ThrowSystemError(savedErrno, message.c_str());
    }
  }
}

template <typename Erasure>
void LogFailureOf(Erasure const& erase) {
  try {
    erase();
  } catch (std::exception const& error) {
    g_logger.LogError(error);
  }
}

// The top of an erasure: the walk stays on the file system of this directory.
void EraseTopDirectory(UniqueFd directory, std::string const& path) {
  struct stat status;
  if (!directory || ::fstat(directory.get(), &status) != 0) {
    ThrowSystemError("Failed to open working directory (opendir)");
  }
  EraseOpenDirectory(std::move(directory), path, status.st_dev);
}

}  // namespace

void ExtractedApp::EraseDirContents(std::string const& path) {
  EraseTopDirectory(UniqueFd(::open(path.c_str(), DIRECTORY_FLAGS)), path);
}

void ExtractedApp::EraseDirContents(int dirFd, std::string const& path) {
  // A description of its own, so that the walk's reading position and the
  // closing of its stream leave dirFd as it was.
  EraseTopDirectory(UniqueFd(::openat(dirFd, ".", DIRECTORY_FLAGS)), path);
}

void ExtractedApp::EraseDirContentsSafe(std::string const& path) {
  LogFailureOf([&] { EraseDirContents(path); });
}

void ExtractedApp::EraseDirContentsSafe(int dirFd, std::string const& path) {
  LogFailureOf([&] { EraseDirContents(dirFd, path); });
}
