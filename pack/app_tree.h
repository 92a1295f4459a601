#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One directory or file of an application, as it goes into the contents
// stream.
struct AppEntry {
  bool isDirectory = false;
  // Directory: its path relative to the application directory, "." for the
  // application directory itself. File: its name inside its parent.
  std::string name;
  // Files only: "." at the top level, else the parent directory's name.
  std::string parent;
  // Permission bits (07777) as stored on disk; a symbolic link's target's.
  std::uint32_t mode = 0;
  // Files only: the number of bytes that will be carried.
  std::uint64_t size = 0;
  // Where the tool reads it: the application directory, "/", relative path.
  std::string sourcePath;
  // Symbolic links only: the canonical path of the file they point to.
  std::string linkTarget;
};

// The path of an entry relative to the application directory: its name for
// a directory or a top-level file, else parent + "/" + name.
std::string RelativePath(AppEntry const& entry);

// Walks appDir and returns the entries in stream order: "." first, every
// directory before anything inside it, the entries of a directory in
// bytewise order of their names (depth first). Regular files are carried;
// a symbolic link to a regular file is carried as that file. Raises a
// PackError naming the path for a missing or non-directory appDir, an
// unreadable directory, a fifo, socket or device file, a dangling
// symbolic link or one that points to a directory.
std::vector<AppEntry> WalkAppTree(std::string const& appDir);
