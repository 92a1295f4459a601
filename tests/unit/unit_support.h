#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

#include "contents/contents_reader.h"

// Helpers shared by the unit tests. Nothing here uses GoogleTest, so forked
// children and the exec-path probe can use it without printing test output.

// A private directory under the build tree, named after the running test and
// removed with everything in it (modes restored first) at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(TempDir const&) = delete;
  TempDir& operator=(TempDir const&) = delete;

  std::string const& Path() const { return path_; }
  std::string Join(std::string const& relative) const {
    return path_ + "/" + relative;
  }

 private:
  std::string path_;
};

// Appends contents records in the stream's byte format.
class StreamBuilder {
 public:
  StreamBuilder& Directory(std::string const& name, std::uint32_t mode = 0755);
  StreamBuilder& File(std::string const& parent, std::string const& name,
                      std::string const& data, std::uint32_t mode = 0755);
  // A file record whose size field says declaredSize but whose data is only
  // what follows: for streams cut off inside a record.
  StreamBuilder& FileHeader(std::string const& parent, std::string const& name,
                            std::uint64_t declaredSize,
                            std::uint32_t mode = 0755);

  StreamBuilder& String(std::string const& text);
  StreamBuilder& Flag(unsigned char value);
  StreamBuilder& UInt32(std::uint32_t value);
  StreamBuilder& UInt64(std::uint64_t value);
  StreamBuilder& Raw(std::string const& bytes);

  std::string const& Bytes() const { return bytes_; }
  ContentsReader Reader() const {
    return ContentsReader(bytes_.data(), bytes_.data() + bytes_.size());
  }

 private:
  std::string bytes_;
};

// What a call raised, as one comparable line: "" when it returned, else
// "system_error <category> <code>: <what>", "runtime_error: <what>" for
// exactly std::runtime_error, or "other <type>: <what>".
std::string RaisedBy(std::function<void()> const& call);
std::string SystemErrorLine(int errorNumber, std::string const& message);
std::string RuntimeErrorLine(std::string const& message);

// lstat-based probes; -1 / "" when the entry is missing.
int ModeOf(std::string const& path);
bool Exists(std::string const& path);
std::string ReadWholeFile(std::string const& path);
void WriteWholeFile(std::string const& path, std::string const& data,
                    int mode = 0600);
void MakeDirectory(std::string const& path, int mode = 0700);
void MakeSymlink(std::string const& target, std::string const& path);

// Every entry beneath root (links not followed) with its type, mode, owner,
// size and, for files, contents: equal snapshots mean nothing changed.
std::string SnapshotTree(std::string const& root);

int CountOpenFds();
// Descriptors of this process that name a removed file.
int CountDeletedFds();

// Drops every identity of this process to uid/gid (for forked children).
bool BecomeUser(uid_t uid, gid_t gid);
bool BecomeUser(uid_t realUid, uid_t effectiveUid, gid_t gid);
// Whether uid can reach path at all: the build tree may lie below a folder
// that only its owner can enter, and then no other user can act in it.
bool CanReach(uid_t uid, std::string const& path);
#define SKIP_UNLESS_REACHABLE_BY(uid, path)                                  \
  if (!CanReach(uid, path))                                                 \
  GTEST_SKIP() << "uid " << (uid) << " cannot reach " << (path)             \
               << ": the build tree lies below a folder private to its owner"

struct ChildResult {
  int status = -1;     // waitpid status
  std::string output;  // what the child returned
};

// Runs body in a forked child that ends with _exit and prints nothing of its
// own; body's result comes back through a pipe. An exception leaving body is
// reported as "uncaught: <RaisedBy line>". alarm() guards against a hang.
ChildResult RunInChild(std::function<std::string()> const& body);

// Waits until pid is blocked in flock on the file that path names now, by
// watching /proc/locks. False when that does not happen within a generous
// guard time (a hang guard, not a timing assertion).
bool WaitForBlockedFlock(pid_t pid, std::string const& path);
