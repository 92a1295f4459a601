#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace nestbox::sandbox {

// What a test usually asks about a path: its kind, permission bits and owner.
struct FileInfo {
  mode_t type = 0;         // S_IFREG, S_IFDIR, ...
  mode_t permissions = 0;  // the low twelve bits (suid, sgid, sticky, rwx)
  uid_t owner = 0;
  gid_t group = 0;
  off_t size = 0;
  dev_t device = 0;
  ino_t inode = 0;

  bool IsDirectory() const;
  bool IsRegular() const;
};

// lstat of the path; nullopt when nothing is there. Other failures throw.
std::optional<FileInfo> Inspect(std::string const& path);
bool Exists(std::string const& path);

// Names in a directory, sorted, without "." and "..". Throws when the
// directory cannot be read.
std::vector<std::string> ListDir(std::string const& path);

std::string ReadFile(std::string const& path);
// Creates or truncates; the mode is set exactly, whatever the umask.
void WriteFile(std::string const& path, std::string const& content,
               mode_t mode = 0644);
// Creates every missing directory of the path with the mode (umask aside).
void MakeDirs(std::string const& path, mode_t mode = 0755);

}  // namespace nestbox::sandbox
