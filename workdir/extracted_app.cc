#include "workdir/extracted_app.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "support/paths.h"
#include "support/syslogger.h"
#include "support/system_error.h"
#include "support/unique_fd.h"
#include "workdir/lock_file.h"

namespace {

constexpr int LAST_ATTEMPT = 100;

// Anyone who can write to a directory without the sticky bit can rename or
// replace our working directory between any two of our steps; no check of
// ours can close that, so such a parent is never used.
bool IsSafeParent(std::string const& candidate) {
  struct stat status;
  if (::stat(candidate.c_str(), &status) != 0) return false;
  if (!S_ISDIR(status.st_mode)) return false;
  bool const othersCanWrite = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  return !othersCanWrite || (status.st_mode & S_ISVTX) != 0;
}

// Whether a probe can use the candidate's lock file: it opens (creating it if
// need be) and either locks or is locked by another run right now.
bool CanUseLockFile(std::string const& lockPath) {
  UniqueFd probe(LockFile::OpenLockPath(lockPath));
  if (!probe) return false;
  if (::flock(probe.get(), LOCK_EX | LOCK_NB) == 0) {
    ::flock(probe.get(), LOCK_UN);
    return true;
  }
  return errno == EWOULDBLOCK;
}

// The directory at dirFd belongs to the effective user; with privateOnly,
// it also grants nothing to group or others. errno tells why not.
bool IsDirectoryOfEffectiveUser(int dirFd, bool privateOnly) {
  struct stat status;
  if (::fstat(dirFd, &status) != 0) return false;
  if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid() ||
      (privateOnly && (status.st_mode & 077) != 0)) {
    errno = EPERM;
    return false;
  }
  return true;
}

// Whether the entry at path itself (not what a link there points to) is a
// directory of the effective user with no group or other permission bits.
bool IsPrivateDirectoryEntry(std::string const& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
         status.st_uid == ::geteuid() && (status.st_mode & 077) == 0;
}

}  // namespace

ExtractedApp::ExtractedApp(bool keepContents, std::set<std::string> skipDirs)
    : execPath(GetExecPath()),
      execName(GetExecName()),
      skipDirs(std::move(skipDirs)),
      keepContents(keepContents) {
  InitDir();
}

std::string ExtractedApp::GetExecName() const { return GetName(execPath); }

std::string ExtractedApp::GetLockFilePath() const {
  return MergePath(parentDir, execName + ".lock");
}

std::deque<std::string> ExtractedApp::GetPossibleParentDirs() const {
  std::deque<std::string> candidates;
  std::string const ownDir = GetDir(execPath);
  if (!ownDir.empty()) candidates.push_back(ownDir);
  candidates.push_back("/var/tmp");
  candidates.push_back("/tmp");
  return candidates;
}

std::string ExtractedApp::SelectParentDir() {
  std::string const lockName = execName + ".lock";
  auto candidates = GetPossibleParentDirs();
  for (; !candidates.empty(); candidates.pop_front()) {
    std::string const& candidate = candidates.front();
    if (!skipDirs.insert(candidate).second) continue;
    if (!IsSafeParent(candidate)) continue;
    if (CanUseLockFile(MergePath(candidate, lockName))) return candidate;
  }
  throw std::runtime_error("Unable to select working directory");
}

std::string ExtractedApp::GetUserName() {
  errno = 0;  // a missing entry need not set it
  passwd const* const entry = ::getpwuid(::geteuid());
  if (entry == nullptr) {
    int const savedErrno = errno;
    std::string const message = "Unable to call getpwuid for uid [" +
                                std::to_string(::getuid()) + "]";
    ThrowSystemError(savedErrno, message.c_str());
  }
  if (entry->pw_name == nullptr) {
    int const savedErrno = errno;
    std::string const message =
        "Error empty user name for uid [" + std::to_string(::getuid()) + "]";
    ThrowSystemError(savedErrno, message.c_str());
  }
  return entry->pw_name;
}

std::string ExtractedApp::CreateWorkingDirName(std::string const& launcherName,
                                               std::string const& userName,
                                               int attempt) {
  std::string name = launcherName + ".data";
  if (userName != "root") {
    name += '_';
    name += userName;
  }
  if (attempt != 0) {
    name += '_';
    name += std::to_string(attempt);
  }
  return name;
}

void ExtractedApp::InitDir() {
  parentDir = SelectParentDir();
  for (int attempt = 0;; ++attempt) {
    try {
      TryAttempt(attempt);
      return;
    } catch (std::exception const&) {
      // The attempt's lock file is already released by now.
      if (dirFd != -1) {
        ::flock(dirFd, LOCK_UN);
        ::close(dirFd);
        dirFd = -1;
      }
      if (attempt == LAST_ATTEMPT) throw;
    }
  }
}

void ExtractedApp::TryAttempt(int attempt) {
  std::string const userName = GetUserName();
  dirPath = MergePath(parentDir,
                      CreateWorkingDirName(execName, userName, attempt));
  LockFile lock(GetLockFilePath());

  bool fresh = true;
  if (::mkdir(dirPath.c_str(), 0700) != 0) {
    if (errno != EEXIST) ThrowSystemError("Failed to create working directory");
    fresh = false;
  }

  // Not close-on-exec: the entry executable inherits the descriptor and with
  // it the shared lock that marks the directory as in use. O_NOFOLLOW and the
  // checks on the descriptor itself mean that whatever we go on to use is the
  // directory we checked, never something a link points to.
  dirFd = ::open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fresh) {
    // Ours since the mkdir; only a swap could change that. Its modes are not
    // judged: file systems without Unix modes (vfat, CIFS) show 0755 here,
    // and they are still usable for a run of our own.
    if (dirFd < 0 || !IsDirectoryOfEffectiveUser(dirFd, false)) {
      ThrowSystemError("Failed to open working directory.");
    }
  } else if (dirFd < 0) {
    int const openErrno = errno;
    if (!IsPrivateDirectoryEntry(dirPath)) {
      ThrowSystemError(openErrno,
                       "Working directory exists but we are not it's owners");
    }
    ThrowSystemError(openErrno, "Failed to open working directory.");
  } else if (!IsDirectoryOfEffectiveUser(dirFd, true)) {
    ThrowSystemError("Working directory exists but we are not it's owners");
  }

  if (::flock(dirFd, fresh ? LOCK_EX : LOCK_SH) != 0) {
    ThrowSystemError("Failed to acquire lock on working directory");
  }

  Log("Extracting contents to " + dirPath);
  try {
    ExtractContents(dirFd, !fresh);
  } catch (std::exception const&) {
    if (fresh) {
      EraseDirContentsSafe(dirFd, dirPath);
      RemoveWorkingDirectory();
    }
    throw;
  }

  if (fresh && ::flock(dirFd, LOCK_SH) != 0) {
    ThrowSystemError("Failed to downgrade lock on working directory");
  }
}
