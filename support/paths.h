#pragma once

#include <dirent.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Path and file-system helpers. Paths are never normalised: repeated
// slashes, "." and ".." pass through untouched.

// Size of the buffer that the launcher's own path is read into.
inline constexpr std::size_t MAX_PATH_LENGTH = 2048;

// stat (links followed): true on success, false on ENOENT; any other
// failure raises "Failed to check whether file exists".
bool FileExists(std::string const& path);

// True when stat succeeds, the owner is the effective user and none of the
// group or other permission bits (077) is set. Never raises.
bool CurrentUserIsOwnerOfFile(std::string const& path);

// st_size, or 0 when stat fails. Never raises.
std::uint64_t GetFileSize(std::string const& path);

// Target of /proc/self/exe. Raises "Cannot get executable path" when the
// link cannot be read or the path does not fit in MAX_PATH_LENGTH - 1 bytes.
std::string GetExecPath();

// The part after the last '/'; the whole path when there is none.
std::string GetName(std::string const& path);

// The part before the last '/'; empty when there is none.
std::string GetDir(std::string const& path);

// first + "/" + second, without doubling a '/' that first already ends with.
std::string MergePath(std::string const& first, std::string const& second);

// Whether a directory entry is a directory: d_type when known, else lstat
// of the path. A symbolic link is never a directory. Never raises.
bool IsDir(std::string const& path, dirent const& entry);
