#pragma once

#include <string>

// An exclusive flock between processes on the file at a path, held from the
// end of construction to destruction. Serialises placement and release of
// working directories in one parent directory among all runs of a launcher.
// Release removes the file before unlocking; acquisition copes with that by
// checking that the locked file is still the one the path names.
class LockFile {
 public:
  // Waits for the lock; raises on failure without leaving a descriptor open.
  explicit LockFile(std::string path);
  ~LockFile();
  LockFile(LockFile const&) = delete;
  LockFile& operator=(LockFile const&) = delete;

  // Opens a lock file path the way every user of it must: never through a
  // symbolic link, never blocking on a fifo; only a regular file of the
  // effective user counts, and a new one is created with mode 0600.
  // Returns the descriptor, or -1 with errno set.
  static int OpenLockPath(std::string const& path);

 private:
  std::string path;
  int fd = -1;
};
