#pragma once

#include <string>
#include <string_view>

#include "support/unique_fd.h"

// A file written under a hidden temporary name in the directory of its final
// path, and renamed over the final path by Commit. Until then nothing exists
// under the final name; a PendingFile that is never committed removes its
// temporary, so a failure leaves nothing half-written behind.
class PendingFile {
 public:
  explicit PendingFile(std::string finalPath);
  PendingFile(PendingFile const&) = delete;
  PendingFile& operator=(PendingFile const&) = delete;
  ~PendingFile();

  int fd() const { return fd_.get(); }
  std::string const& finalPath() const { return finalPath_; }
  void Write(std::string_view bytes);
  // Gives the file the mode of a newly created file (0666 less the umask),
  // closes it and renames it into place.
  void Commit();

 private:
  std::string finalPath_;
  std::string tempPath_;
  UniqueFd fd_;
  bool committed_ = false;
};

// A private directory made beside `besidePath` for intermediate files, with
// everything in it removed (it holds plain files only) when it goes.
class ScratchDir {
 public:
  explicit ScratchDir(std::string const& besidePath);
  ScratchDir(ScratchDir const&) = delete;
  ScratchDir& operator=(ScratchDir const&) = delete;
  ~ScratchDir();

  std::string const& path() const { return path_; }

 private:
  std::string path_;
};

// The directory part of a path ("." when it has none); the path itself made
// absolute against the current directory when it is relative.
std::string DirectoryOf(std::string const& path);
std::string AbsolutePath(std::string const& path);
