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
  std::string const path = BeneathPath(relativePath);
  return static_cast<int>(
      ::syscall(SYS_openat2, dirFd, path.c_str(), &how, sizeof how));
}

std::string BeneathPath(std::string const& relativePath) {
  auto const start = relativePath.find_first_not_of('/');
  if (start == std::string::npos) return ".";
  return relativePath.substr(start);
}
