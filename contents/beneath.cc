#include "contents/beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "support/unique_fd.h"

namespace {

// Kernels before 5.6 have no openat2, and some seccomp profiles refuse it;
// then the same rules are kept by hand, one component at a time.
std::atomic<bool> g_noOpenat2{false};

int OpenBeneathByComponents(int dirFd, std::string const& path, int flags,
                            unsigned mode) {
  UniqueFd current;
  int at = dirFd;
  std::size_t start = 0;
  for (;;) {
    auto const slash = path.find('/', start);
    std::string const component = path.substr(start, slash - start);
    bool const last = slash == std::string::npos;
    if (component == "..") {
      errno = EXDEV;
      return -1;
    }
    if (last) {
      char const* const name = component.empty() ? "." : component.c_str();
      int const fd = ::openat(at, name, flags | O_NOFOLLOW, mode);
      if (fd < 0 && errno == ENOTDIR) {
        // O_DIRECTORY on a link: openat2 says ELOOP.
        struct stat status;
        bool const isLink = ::fstatat(at, name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                            S_ISLNK(status.st_mode);
        errno = isLink ? ELOOP : ENOTDIR;
      }
      return fd;
    }
    if (!component.empty() && component != ".") {
      // Opened as whatever it is, so that a link reads as ELOOP, the answer
      // openat2 gives, rather than as "not a directory".
      current.reset(::openat(at, component.c_str(),
                             O_PATH | O_NOFOLLOW | O_CLOEXEC));
      struct stat status;
      if (!current || ::fstat(current.get(), &status) != 0) return -1;
      if (!S_ISDIR(status.st_mode)) {
        errno = S_ISLNK(status.st_mode) ? ELOOP : ENOTDIR;
        return -1;
      }
      at = current.get();
    }
    start = slash + 1;
  }
}

}  // namespace

int OpenBeneath(int dirFd, std::string const& relativePath, int flags,
                unsigned mode) {
  std::string const path = BeneathPath(relativePath);
  if (!g_noOpenat2.load(std::memory_order_relaxed)) {
    open_how how{};
    how.flags = static_cast<unsigned long long>(flags);
    how.mode = mode;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS |
                  RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
    int const fd = static_cast<int>(
        ::syscall(SYS_openat2, dirFd, path.c_str(), &how, sizeof how));
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return fd;
    // EPERM can also be a real answer (O_NOATIME, a sealed file); only a
    // refusal of the call itself switches to the fallback for good.
    if (errno == EPERM) {
      open_how probe{};
      probe.flags = O_PATH | O_CLOEXEC;
      UniqueFd self(static_cast<int>(
          ::syscall(SYS_openat2, dirFd, ".", &probe, sizeof probe)));
      if (self) {
        errno = EPERM;
        return -1;
      }
    }
    g_noOpenat2.store(true, std::memory_order_relaxed);
  }
  return OpenBeneathByComponents(dirFd, path, flags, mode);
}

std::string BeneathPath(std::string const& relativePath) {
  auto const start = relativePath.find_first_not_of('/');
  if (start == std::string::npos) return ".";
  return relativePath.substr(start);
}
