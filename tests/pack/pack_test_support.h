#pragma once

// Helpers for the tests of nestbox-pack: a private scratch directory under
// the build tree for each test, small file-system fixtures, and runs of real
// processes (the tool itself, readelf, the compiler) with their output
// captured.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace packtest {

// A fresh, empty directory for the running test, under this build tree
// (never the host's /tmp); removed again when the object goes. Its path
// holds the test's name.
class ScratchDir {
 public:
  ScratchDir();
  ScratchDir(ScratchDir const&) = delete;
  ScratchDir& operator=(ScratchDir const&) = delete;
  ~ScratchDir();

  std::string const& path() const { return path_; }
  std::string operator/(std::string const& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Removes a tree without following symbolic links, making directories
// writable first so that even a 0500 directory can be emptied.
void RemoveTree(std::string const& path);

// Creates or truncates a file, then sets exactly this mode.
void WriteFile(std::string const& path, std::string const& content, mode_t mode = 0644);
// Creates a directory, then sets exactly this mode.
void MakeDir(std::string const& path, mode_t mode = 0755);
std::string ReadFile(std::string const& path);
// A tree with every kind of record and mode a stream carries: nested
// directories, group, other and set-user-ID bits, empty and large files,
// names with control bytes, blanks, backslashes and bytes above 127, and a
// symbolic link (carried as the file it points to).
void MakeVariedTree(std::string const& app);
// Names in a directory, sorted, without "." and "..".
std::vector<std::string> ListDir(std::string const& path);

struct RunResult {
  int status = -1;  // exit status; 128 + signal number for a signal
  std::string out;
  std::string err;
};

struct RunOptions {
  std::string workingDirectory;          // empty: the test's own
  std::vector<std::string> environment;  // added to LC_ALL=C and PATH
  std::optional<uid_t> uid;              // run as this user (and group)
};

// Runs argv[0] (a path, or a name searched along PATH) and waits for it.
RunResult RunProgram(std::vector<std::string> const& argv, RunOptions const& options = {});

// Runs nestbox-pack with these arguments.
RunResult RunPack(std::vector<std::string> const& arguments, RunOptions const& options = {});

std::vector<std::string> Lines(std::string const& text);

}  // namespace packtest
