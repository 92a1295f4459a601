#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

#include "support/paths.h"
#include "support/syslogger.h"
#include "support/system_error.h"
#include "workdir/extracted_app.h"
#include "workdir/lock_file.h"

namespace {

// Whether the entry at path is still the directory open at dirFd.
bool PathNamesOpenDirectory(std::string const& path, int dirFd) {
  struct stat named;
  struct stat held;
  if (::lstat(path.c_str(), &named) != 0) return false;
  if (::fstat(dirFd, &held) != 0) return false;
  return named.st_dev == held.st_dev && named.st_ino == held.st_ino;
}

}  // namespace

void ExtractedApp::Cleanup() {
  if (parentDir.empty() || dirFd == -1) return;
  LockFile lock(GetLockFilePath());

  // Under the lock file no run can take up the directory; a failed exclusive
  // try means another run still holds its shared lock on it.
  ::flock(dirFd, LOCK_UN);
  if (::flock(dirFd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) {
      ThrowSystemError("Failed to lock working directory for exclusive access");
    }
    keepContents = true;
  }
  ::flock(dirFd, LOCK_UN);

  if (!keepContents) {
    Log("Erasing contents at " + dirPath);
    EraseDirContents(dirFd, dirPath);
    RemoveWorkingDirectory();
  }

  ::close(dirFd);
  dirFd = -1;
}

void ExtractedApp::RemoveWorkingDirectory() const {
  // A directory swapped in under our name is not ours to remove.
  if (!PathNamesOpenDirectory(dirPath, dirFd)) {
    ThrowSystemError(ESTALE, "Failed to remove working directory");
  }
  if (::rmdir(dirPath.c_str()) != 0) {
    ThrowSystemError("Failed to remove working directory");
  }
}

ExtractedApp::~ExtractedApp() {
  try {
    Cleanup();
  } catch (std::exception const& error) {
    g_logger.LogError(error);
  }
  // A release that failed leaves the descriptor open for another try; there
  // is none after this one.
  if (dirFd != -1) ::close(dirFd);
}
