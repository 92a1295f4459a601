#include "contents/beneath.h"

#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

int OpenBeneath(int dirFd, std::string const& relativePath, int flags,
                unsigned mode) {
  open_how how{};
  how.flags = static_cast<unsigned long long>(flags);
  how.mode = mode;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS |
                RESOLVE_NO_XDEV;
  return static_cast<int>(
      ::syscall(SYS_openat2, dirFd, relativePath.c_str(), &how, sizeof how));
}
