#include "workdir/lock_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <utility>

#include "support/syslogger.h"
#include "support/system_error.h"
#include "support/unique_fd.h"

int LockFile::OpenLockPath(std::string const& path) {
  // Private to its owner: anyone who could open the file, even for reading,
  // could flock it and hold every run of ours waiting for ever. For the same
  // reason a file of another owner is not ours to wait on, root included.
  UniqueFd file(::open(path.c_str(),
                       O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                       0600));
  if (!file) return -1;
  struct stat status;
  if (::fstat(file.get(), &status) != 0) return -1;
  if (!S_ISREG(status.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  if (status.st_uid != ::geteuid()) {
    errno = EACCES;
    return -1;
  }
  return file.release();
}

LockFile::LockFile(std::string lockPath) : path(std::move(lockPath)) {
  for (;;) {
    UniqueFd file(OpenLockPath(path));
    if (!file) ThrowSystemError("Failed to create lock file");
    if (::flock(file.get(), LOCK_EX) != 0) {
      ThrowSystemError("Failed to flock lock file");
    }
    struct stat locked;
    if (::fstat(file.get(), &locked) != 0) {
      ThrowSystemError("Failed to fstat on lock file");
    }
    struct stat named;
    if (::lstat(path.c_str(), &named) != 0) {
      if (errno == ENOENT) continue;  // its holder removed it; open anew
      ThrowSystemError("Failed to stat on lock file");
    }
    if (locked.st_dev == named.st_dev && locked.st_ino == named.st_ino) {
      Log("acquired lock " + path);
      fd = file.release();
      return;
    }
    // Another run removed the file we locked and made a new one: try again.
  }
}

LockFile::~LockFile() {
  try {
    Log("releasing lock " + path);
  } catch (std::exception const&) {
    // Out of memory for the text: the release itself matters more.
  }
  // The name goes first: a waiter that then gets the lock on the nameless
  // file sees that it no longer matches the path and starts over.
  ::unlink(path.c_str());
  if (fd != -1) {
    ::flock(fd, LOCK_UN);
    ::close(fd);
    fd = -1;
  }
}
