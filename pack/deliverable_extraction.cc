#include "pack/deliverable_extraction.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <string_view>

#include "contents/contents_reader.h"
#include "pack/deliverable_contents.h"
#include "pack/deliverable_listing.h"
#include "pack/pack_error.h"
#include "support/unique_fd.h"
#include "workdir/extracted_app.h"

namespace {

// The directory that receives the contents, open, and whether it was made
// for them.
struct Target {
  UniqueFd fd;
  bool created = false;
};

bool IsEmptyDirectory(int dirFd, std::string const& dirPath) {
  // A description of its own: reading it leaves dirFd's position alone.
  UniqueFd own(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* const rawStream = own ? ::fdopendir(own.get()) : nullptr;
  if (rawStream == nullptr) {
    int const savedErrno = errno;
    ThrowPackErrno(dirPath, "cannot read", savedErrno);
  }
  own.release();  // the stream owns it now
  DirStream const stream(rawStream);
  for (;;) {
    errno = 0;
    dirent const* const entry = ::readdir(stream.get());
    if (entry == nullptr) {
      if (errno != 0) {
        int const savedErrno = errno;
        ThrowPackErrno(dirPath, "cannot read", savedErrno);
      }
      return true;
    }
    std::string_view const name = entry->d_name;
    if (name != "." && name != "..") return false;
  }
}

Target OpenTarget(std::string const& dirPath) {
  Target target;
  if (::mkdir(dirPath.c_str(), 0700) == 0) {
    target.created = true;
  } else if (errno != EEXIST) {
    int const savedErrno = errno;
    ThrowPackErrno(dirPath, "cannot create", savedErrno);
  }
  target.fd.reset(::open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!target.fd) {
    int const savedErrno = errno;
    if (savedErrno == ENOTDIR) ThrowPackError(dirPath, "exists and is not a directory");
    ThrowPackErrno(dirPath, "cannot open", savedErrno);
  }
  if (!target.created && !IsEmptyDirectory(target.fd.get(), dirPath)) {
    ThrowPackError(dirPath, "exists and is not empty");
  }
  return target;
}

// Takes back what a failed walk wrote. Best effort: the walk's own error is
// the one to report.
void Undo(Target& target, std::string const& dirPath) {
  try {
    ExtractedApp::EraseDirContents(target.fd.get(), dirPath);
  } catch (std::exception const&) {
    return;
  }
  target.fd.reset();
  if (target.created) ::rmdir(dirPath.c_str());
}

}  // namespace

void ExtractDeliverable(std::string const& path, std::string const& targetDir) {
  DeliverableContents const contents(path);
  std::string_view const stream = contents.stream();
  // Refuses a stream that does not parse before anything is written.
  ListStream(stream, contents.entryName(), path);

  Target target = OpenTarget(targetDir);
  try {
    ExtractedApp::ExtractContents(ContentsReader(stream.data(), stream.data() + stream.size()),
                                  target.fd.get(), false);
  } catch (std::exception const& error) {
    Undo(target, targetDir);
    ThrowPackError(targetDir, error.what());
  }
}
