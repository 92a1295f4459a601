#pragma once

#include <string>

// Opens a path relative to a directory descriptor with openat2, refusing any
// symbolic link on the way (the last component included) and any step out of
// the directory. Returns the descriptor, or -1 with errno set.
//
// Names from the contents stream are joined to the working directory with a
// slash, so leading slashes and an empty name still mean places inside it;
// they are read that way here (an empty path is the directory itself).
int OpenBeneath(int dirFd, std::string const& relativePath, int flags,
                unsigned mode = 0);

// relativePath without its leading slashes; "." when nothing is left.
std::string BeneathPath(std::string const& relativePath);
