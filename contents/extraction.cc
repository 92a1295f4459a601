#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

#include "contents/beneath.h"
#include "contents/contents_reader.h"
#include "contents/embedded_contents.h"
#include "support/system_error.h"
#include "support/unique_fd.h"
#include "workdir/extracted_app.h"

namespace {

// Only the owner's bits of a stored mode take effect: extracted entries stay
// private to the user, which is what verification of a reused directory
// demands.
constexpr std::uint32_t OWNER_BITS = 0700;

// Each write is at most this large, and the pages of the image that it copies
// from are mapped just before it (MapSourcePages). With the pages mapped,
// writes of 1 MiB, 4 MiB or a whole file all run at the copy limit (bench/);
// without, 1 MiB was the best size tried and a whole multi-megabyte file
// takes twice as long, so 1 MiB also keeps kernels that cannot map ahead fast.
constexpr std::uint64_t WRITE_CHUNK = std::uint64_t{1} << 20;

// Below this a piece is mapped by the copy's first fault anyway, and the extra
// call would cost more than it saves.
constexpr std::uint64_t MAP_AHEAD_MIN = std::uint64_t{64} << 10;

bool IsTopLevel(std::string const& name) { return name == "."; }

void CreateDirectory(int dirFd, std::string const& name, mode_t mode) {
  // Each record makes one level. The parent is opened beneath the working
  // directory without following links, then the last component is made in it.
  std::string path = BeneathPath(name);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  auto const slash = path.rfind('/');
  UniqueFd parent;
  int parentFd = dirFd;
  std::string leaf = path;
  int savedErrno = 0;
  if (slash != std::string::npos) {
    parent.reset(OpenBeneath(dirFd, path.substr(0, slash),
                             O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!parent) savedErrno = errno;
    parentFd = parent.get();
    leaf = path.substr(slash + 1);
  }
  if (savedErrno == 0) {
    if (::mkdirat(parentFd, leaf.c_str(), mode) == 0 || errno == EEXIST) return;
    savedErrno = errno;
  }
  char message[1024];
  std::snprintf(message, sizeof message, "Failed to create directory: '%s'",
                name.c_str());
  ThrowSystemError(savedErrno, message);
}

// A write from pages of the image that are not mapped yet copies until it
// faults, maps a small window and goes on in ever smaller steps, down to one
// page. Mapped beforehand in one call, the same pages are copied in large
// steps. Only speed depends on it, so a refusal (a kernel before 5.14) is
// ignored, and errno stays as it was for the write that follows.
void MapSourcePages(char const* data, std::uint64_t size) {
  static std::uintptr_t const pageMask =
      static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE)) - 1;
  auto const begin = reinterpret_cast<std::uintptr_t>(data) & ~pageMask;
  auto const end =
      (reinterpret_cast<std::uintptr_t>(data) + size + pageMask) & ~pageMask;
  int const savedErrno = errno;
  ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_READ);
  errno = savedErrno;
}

void WriteFile(int dirFd, std::string const& path, char const* data,
               std::uint64_t size, mode_t mode) {
  UniqueFd file(OpenBeneath(dirFd, path,
                            O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                            mode));
  if (!file) ThrowSystemError("Failed to open file");
  for (std::uint64_t written = 0; written < size;) {
    auto const chunk = std::min(size - written, WRITE_CHUNK);
    if (chunk >= MAP_AHEAD_MIN) MapSourcePages(data + written, chunk);
    ssize_t const result = ::write(file.get(), data + written, chunk);
    if (result <= 0) {
      // A write of 0 has no errno of its own; report the one it leaves.
      int const savedErrno = errno;
      file.reset();
      ThrowSystemError(savedErrno, "Failed to write to file");
    }
    written += static_cast<std::uint64_t>(result);
  }
  if (::close(file.release()) != 0) ThrowSystemError("Failed to close file");
}

// The entry at path beneath the working directory, without following links:
// exists, has the expected type, belongs to the effective user, carries no
// group or other permission bits and, for a file, has one name only (a hard
// link could make the run trust a file that lives elsewhere).
bool IsPrivateEntryOfType(int dirFd, std::string const& path, mode_t type,
                          struct stat& status) {
  UniqueFd entry(OpenBeneath(dirFd, path, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!entry) return false;
  if (::fstat(entry.get(), &status) != 0) return false;
  if ((status.st_mode & S_IFMT) != type) {
    errno = type == S_IFDIR ? ENOTDIR : EINVAL;
    return false;
  }
  if (status.st_uid != ::geteuid() || (status.st_mode & 077) != 0 ||
      (type == S_IFREG && status.st_nlink != 1)) {
    errno = EPERM;
    return false;
  }
  return true;
}

}  // namespace

void ExtractedApp::ExtractContents(int dirFd, bool verifyOnly) {
  ExtractContents(ContentsReader(_data_start, _data_tail), dirFd, verifyOnly);
}

void ExtractedApp::ExtractContents(ContentsReader reader, int dirFd,
                                   bool verifyOnly) {
  while (!reader.IsEnd()) {
    std::string const name = reader.ReadString();
    if (reader.ReadBool()) {
      auto const mode = static_cast<mode_t>(reader.ReadUInt32() & OWNER_BITS);
      if (IsTopLevel(name)) continue;
      if (verifyOnly) {
        struct stat status;
        if (!IsPrivateEntryOfType(dirFd, name, S_IFDIR, status)) {
          ThrowSystemError("We are not owners of the directory");
        }
      } else {
        CreateDirectory(dirFd, name, mode);
      }
      continue;
    }

    std::string const parent = reader.ReadString();
    std::uint64_t const size = reader.ReadUInt64();
    auto const mode = static_cast<mode_t>(reader.ReadUInt32() & OWNER_BITS);
    char const* const data = reader.ReadBinary(size);
    std::string const path = IsTopLevel(parent) ? name : parent + "/" + name;
    if (verifyOnly) {
      struct stat status;
      if (!IsPrivateEntryOfType(dirFd, path, S_IFREG, status)) {
        ThrowSystemError("We are not owners of the file");
      }
      if (static_cast<std::uint64_t>(status.st_size) != size) {
        ThrowSystemError(EINVAL, "Unexpected file size");
      }
    } else {
      WriteFile(dirFd, path, data, size, mode);
    }
  }
}
