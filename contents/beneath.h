#pragma once

#include <string>

// Opens a path relative to a directory descriptor with openat2, refusing any
// symbolic link on the way (the last component included) and any step out of
// the directory. Returns the descriptor, or -1 with errno set.
int OpenBeneath(int dirFd, std::string const& relativePath, int flags,
                unsigned mode = 0);
