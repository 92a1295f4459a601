#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/unique_fd.h"
#include "unit_support.h"
#include "workdir/extracted_app.h"

namespace {

std::string const OPEN_FAILED = "Failed to open working directory (opendir)";

std::string Erase(std::string const& path) {
  return RaisedBy([&] { ExtractedApp::EraseDirContents(path); });
}

// Entry names in the order the directory yields them.
std::vector<std::string> ReadOrder(std::string const& path) {
  std::vector<std::string> names;
  DIR* const stream = ::opendir(path.c_str());
  if (stream == nullptr) return names;
  while (dirent const* entry = ::readdir(stream)) {
    std::string const name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(stream);
  return names;
}

void ChownTree(std::string const& path, uid_t uid) {
  ::lchown(path.c_str(), uid, uid);
  struct stat status;
  if (::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    for (auto const& name : ReadOrder(path)) ChownTree(path + "/" + name, uid);
  }
}

TEST(ErasureTest, EmptyDirectoryStaysAsItWas) {
  TempDir dir;
  std::string const before = SnapshotTree(dir.Path());
  EXPECT_EQ(Erase(dir.Path()), "");
  EXPECT_EQ(SnapshotTree(dir.Path()), before);
}

// Links at any depth are removed as links: what they point to keeps its
// contents.
TEST(ErasureTest, EmptiesATreeDepthFirstWithoutFollowingLinks) {
  TempDir dir;
  TempDir outside;
  MakeDirectory(outside.Join("sub"));
  WriteWholeFile(outside.Join("sub/kept"), "outside");
  WriteWholeFile(outside.Join("file"), "outside");
  std::string const outsideBefore = SnapshotTree(outside.Path());

  MakeDirectory(dir.Join("a"));
  MakeDirectory(dir.Join("a/b"));
  MakeDirectory(dir.Join("a/b/c"));
  MakeDirectory(dir.Join("a/b/empty"));
  WriteWholeFile(dir.Join("top"), "x");
  WriteWholeFile(dir.Join("a/b/c/deep"), "x", 0);
  ASSERT_EQ(::mkfifo(dir.Join("a/fifo").c_str(), 0600), 0);
  MakeSymlink(outside.Path(), dir.Join("link-to-dir"));
  MakeSymlink(outside.Join("sub"), dir.Join("a/b/c/link-to-sub"));
  MakeSymlink(outside.Join("file"), dir.Join("a/link-to-file"));
  MakeSymlink("nowhere", dir.Join("a/b/dangling"));
  if (::geteuid() == 0) MakeDirectory(dir.Join("a/closed"), 0);
  ASSERT_EQ(::chmod(dir.Path().c_str(), 0750), 0);

  int const fdsBefore = CountOpenFds();
  EXPECT_EQ(Erase(dir.Path()), "");
  EXPECT_EQ(CountOpenFds(), fdsBefore);
  EXPECT_TRUE(ReadOrder(dir.Path()).empty());
  EXPECT_EQ(ModeOf(dir.Path()), 0750);
  EXPECT_EQ(SnapshotTree(outside.Path()), outsideBefore);
}

TEST(ErasureTest, PathThatIsNotADirectoryFailsAtOnce) {
  TempDir dir;
  MakeDirectory(dir.Join("real"));
  WriteWholeFile(dir.Join("real/kept"), "x");
  WriteWholeFile(dir.Join("file"), "x");
  MakeSymlink("real", dir.Join("link-to-dir"));
  std::string const before = SnapshotTree(dir.Path());

  // O_DIRECTORY with O_NOFOLLOW turns a link into ENOTDIR.
  struct Case {
    char const* name;
    int errorNumber;
  };
  for (Case const c : {Case{"missing", ENOENT}, Case{"file", ENOTDIR},
                       Case{"link-to-dir", ENOTDIR}, Case{"real/kept/x", ENOTDIR}}) {
    EXPECT_EQ(Erase(dir.Join(c.name)), SystemErrorLine(c.errorNumber, OPEN_FAILED))
        << c.name;
  }
  EXPECT_EQ(SnapshotTree(dir.Path()), before);
}

// As another user, a file in a directory without write permission three
// levels down cannot be removed. The failure names that entry, ends every
// enclosing level, leaves what the walk had not reached and no stream open.
TEST(ErasureTest, EntryThatCannotBeRemovedStopsTheErasure) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  TempDir dir;
  ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
  std::string const top = dir.Join("top");
  MakeDirectory(top, 0755);
  for (char const* name : {"f1", "f2", "f3", "f4"}) {
    WriteWholeFile(top + "/" + name, "x");
  }
  MakeDirectory(top + "/a");
  for (char const* name : {"g1", "g2", "g3"}) {
    WriteWholeFile(top + "/a/" + name, "x");
  }
  MakeDirectory(top + "/a/b");
  MakeDirectory(top + "/a/b/locked");
  WriteWholeFile(top + "/a/b/locked/inner", "x");
  ASSERT_EQ(::chmod((top + "/a/b/locked").c_str(), 0500), 0);
  ChownTree(top, 65534);
  std::vector<std::string> const topOrder = ReadOrder(top);
  std::vector<std::string> const aOrder = ReadOrder(top + "/a");

  SKIP_UNLESS_REACHABLE_BY(65534, top);
  ChildResult const child = RunInChild([&] {
    if (!BecomeUser(65534, 65534)) return std::string("cannot drop");
    int const fdsBefore = CountOpenFds();
    std::string const raised = Erase(top);
    return raised + " | fds left " + std::to_string(CountOpenFds() - fdsBefore);
  });
  EXPECT_EQ(child.output,
            SystemErrorLine(EACCES, "Failed to remove [inner]") + " | fds left 0");
  EXPECT_TRUE(Exists(top + "/a/b/locked/inner"));

  // Entries read before the failing branch are gone, those after it remain.
  struct Level {
    std::string path;
    std::vector<std::string> const& order;
    std::string branch;
  };
  for (Level const& level : {Level{top, topOrder, "a"},
                             Level{top + "/a", aOrder, "b"}}) {
    auto const branch =
        std::find(level.order.begin(), level.order.end(), level.branch);
    ASSERT_NE(branch, level.order.end());
    for (auto it = level.order.begin(); it != level.order.end(); ++it) {
      EXPECT_EQ(Exists(level.path + "/" + *it), it >= branch)
          << level.path << "/" << *it;
    }
  }
}

// A file system mounted inside the tree is not entered; its mount point
// cannot be removed, which stops the erasure.
TEST(ErasureTest, OtherFileSystemInsideIsLeftAlone) {
  TempDir dir;
  MakeDirectory(dir.Join("mnt"));
  ChildResult const child = RunInChild([&] {
    if (::unshare(CLONE_NEWNS) != 0) return "skip: unshare: " + std::string(std::strerror(errno));
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", dir.Join("mnt").c_str(), "tmpfs", 0, "size=64k") != 0) {
      return "skip: mount: " + std::string(std::strerror(errno));
    }
    WriteWholeFile(dir.Join("mnt/inside"), "x");
    int const fdsBefore = CountOpenFds();
    std::string const raised = Erase(dir.Path());
    return raised + " | fds left " +
           std::to_string(CountOpenFds() - fdsBefore) + " | inside " +
           (Exists(dir.Join("mnt/inside")) ? "kept" : "removed");
  });
  if (child.output.starts_with("skip: ")) GTEST_SKIP() << child.output;
  EXPECT_EQ(child.output, SystemErrorLine(EBUSY, "Failed to remove [mnt]") +
                              " | fds left 0 | inside kept");
}

// By descriptor the erasure empties the directory that was opened, wherever
// its path leads by now, and leaves the caller's descriptor open.
TEST(ErasureTest, ByDescriptorEmptiesTheOpenedDirectory) {
  TempDir dir;
  std::string const original = dir.Join("work");
  MakeDirectory(original);
  MakeDirectory(original + "/sub");
  WriteWholeFile(original + "/sub/file", "x");
  UniqueFd workFd(::open(original.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(workFd);
  ASSERT_EQ(::rename(original.c_str(), dir.Join("moved").c_str()), 0);
  MakeDirectory(original);
  WriteWholeFile(original + "/bystander", "x");

  EXPECT_EQ(RaisedBy([&] {
              ExtractedApp::EraseDirContents(workFd.get(), original);
            }),
            "");
  EXPECT_TRUE(ReadOrder(dir.Join("moved")).empty());
  EXPECT_TRUE(Exists(original + "/bystander"));
  struct stat status;
  EXPECT_EQ(::fstat(workFd.get(), &status), 0);
}

TEST(ErasureTest, SafeVariantReportsNothingToTheCaller) {
  TempDir dir;
  EXPECT_EQ(RaisedBy([&] {
              ExtractedApp::EraseDirContentsSafe(dir.Join("missing"));
            }),
            "");
  MakeDirectory(dir.Join("work"));
  WriteWholeFile(dir.Join("work/file"), "x");
  EXPECT_EQ(
      RaisedBy([&] { ExtractedApp::EraseDirContentsSafe(dir.Join("work")); }),
      "");
  EXPECT_TRUE(ReadOrder(dir.Join("work")).empty());
}

}  // namespace
