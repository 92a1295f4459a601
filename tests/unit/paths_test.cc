#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "support/paths.h"
#include "unit_support.h"

namespace {

TEST(PathsTest, SplitsAndJoinsWithoutNormalising) {
  struct Case {
    char const* call;
    std::string actual;
    char const* expected;
  };
  Case const cases[] = {
      {"GetName /opt/app/run", GetName("/opt/app/run"), "run"},
      {"GetName run", GetName("run"), "run"},
      {"GetName /opt/app/", GetName("/opt/app/"), ""},
      {"GetName /opt/app/..", GetName("/opt/app/.."), ".."},
      {"GetName (empty)", GetName(""), ""},
      {"GetDir /opt/app/run", GetDir("/opt/app/run"), "/opt/app"},
      {"GetDir /run", GetDir("/run"), ""},
      {"GetDir run", GetDir("run"), ""},
      {"GetDir /opt//run", GetDir("/opt//run"), "/opt/"},
      {"MergePath /tmp x", MergePath("/tmp", "x"), "/tmp/x"},
      {"MergePath /tmp/ x", MergePath("/tmp/", "x"), "/tmp/x"},
      {"MergePath (empty) x", MergePath("", "x"), "/x"},
      {"MergePath /tmp /x", MergePath("/tmp", "/x"), "/tmp//x"},
      {"MergePath a (empty)", MergePath("a", ""), "a/"},
      {"MergePath / x", MergePath("/", "x"), "/x"},
      {"MergePath a// b", MergePath("a//", "b"), "a//b"},
  };
  for (Case const& c : cases) EXPECT_EQ(c.actual, c.expected) << c.call;
}

class FileSystemHelpersTest : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(FileSystemHelpersTest, FileExistsFollowsLinksAndRaisesOnlyForRealErrors) {
  WriteWholeFile(dir.Join("file"), "x");
  MakeDirectory(dir.Join("dir"));
  ASSERT_EQ(::mkfifo(dir.Join("fifo").c_str(), 0600), 0);
  MakeSymlink("file", dir.Join("link-to-file"));
  MakeSymlink("missing", dir.Join("dangling"));
  MakeSymlink("loop-b", dir.Join("loop-a"));
  MakeSymlink("loop-a", dir.Join("loop-b"));

  struct Case {
    char const* name;
    bool exists;
  };
  for (Case const c : {Case{"file", true}, Case{"dir", true},
                       Case{"fifo", true}, Case{"link-to-file", true},
                       Case{"dangling", false}, Case{"missing", false},
                       Case{"dir/missing", false}}) {
    bool answer = !c.exists;
    EXPECT_EQ(RaisedBy([&] { answer = FileExists(dir.Join(c.name)); }), "")
        << c.name;
    EXPECT_EQ(answer, c.exists) << c.name;
  }

  struct Failure {
    std::string path;
    int errorNumber;
  };
  for (Failure const& f :
       {Failure{dir.Join("file/below"), ENOTDIR},
        Failure{dir.Join("loop-a"), ELOOP},
        Failure{dir.Join(std::string(300, 'n')), ENAMETOOLONG}}) {
    EXPECT_EQ(RaisedBy([&] { FileExists(f.path); }),
              SystemErrorLine(f.errorNumber,
                              "Failed to check whether file exists"))
        << f.path;
  }
}

TEST_F(FileSystemHelpersTest, FileExistsRaisesWhenADirectoryCannotBeSearched) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
  MakeDirectory(dir.Join("closed"), 0700);
  WriteWholeFile(dir.Join("closed/file"), "x");
  ChildResult const child = RunInChild([&] {
    if (!BecomeUser(65534, 65534)) return std::string("cannot drop");
    return RaisedBy([&] { FileExists(dir.Join("closed/file")); });
  });
  EXPECT_EQ(child.output,
            SystemErrorLine(EACCES, "Failed to check whether file exists"));
}

TEST_F(FileSystemHelpersTest, OwnershipMeansEffectiveUserAndNoGroupOrOtherBits) {
  struct Case {
    char const* name;
    bool isDirectory;
    int mode;
    bool owned;
  };
  Case const cases[] = {
      {"file-0600", false, 0600, true},   {"file-0400", false, 0400, true},
      {"file-0000", false, 0000, true},   {"file-4700", false, 04700, true},
      {"file-0640", false, 0640, false},  {"file-0604", false, 0604, false},
      {"file-0610", false, 0610, false},  {"file-0601", false, 0601, false},
      {"dir-0700", true, 0700, true},     {"dir-1700", true, 01700, true},
      {"dir-0701", true, 0701, false},    {"dir-0770", true, 0770, false},
  };
  for (Case const& c : cases) {
    if (c.isDirectory) {
      MakeDirectory(dir.Join(c.name), c.mode);
    } else {
      WriteWholeFile(dir.Join(c.name), "", c.mode);
    }
    ASSERT_EQ(ModeOf(dir.Join(c.name)), c.mode) << c.name;
    EXPECT_EQ(CurrentUserIsOwnerOfFile(dir.Join(c.name)), c.owned) << c.name;
  }
  EXPECT_FALSE(CurrentUserIsOwnerOfFile(dir.Join("missing")));
  // A link is judged by its target; the link's own 0777 does not count.
  MakeSymlink("file-0600", dir.Join("link-to-private"));
  MakeSymlink("file-0640", dir.Join("link-to-shared"));
  EXPECT_TRUE(CurrentUserIsOwnerOfFile(dir.Join("link-to-private")));
  EXPECT_FALSE(CurrentUserIsOwnerOfFile(dir.Join("link-to-shared")));
}

TEST_F(FileSystemHelpersTest, OwnershipIsJudgedByTheEffectiveUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
  WriteWholeFile(dir.Join("roots"), "", 0600);
  WriteWholeFile(dir.Join("nobodys"), "", 0600);
  ASSERT_EQ(::chown(dir.Join("nobodys").c_str(), 65534, 65534), 0);

  struct Case {
    uid_t real, effective;
    char const* expected;  // answers for roots, nobodys
  };
  SKIP_UNLESS_REACHABLE_BY(65534, dir.Path());
  for (Case const c : {Case{0, 65534, "roots=0 nobodys=1"},
                       Case{65534, 0, "roots=1 nobodys=0"}}) {
    ChildResult const child = RunInChild([&] {
      if (!BecomeUser(c.real, c.effective, 65534)) {
        return std::string("cannot drop");
      }
      return "roots=" +
             std::to_string(CurrentUserIsOwnerOfFile(dir.Join("roots"))) +
             " nobodys=" +
             std::to_string(CurrentUserIsOwnerOfFile(dir.Join("nobodys")));
    });
    EXPECT_EQ(child.output, c.expected)
        << "real " << c.real << " effective " << c.effective;
  }
}

TEST_F(FileSystemHelpersTest, FileSizeIsSixtyFourBitAndZeroWhenUnknown) {
  WriteWholeFile(dir.Join("empty"), "");
  WriteWholeFile(dir.Join("five"), "12345");
  MakeSymlink("five", dir.Join("link-to-five"));
  // Sparse: five GiB of size without five GiB of blocks.
  WriteWholeFile(dir.Join("big"), "");
  ASSERT_EQ(::truncate(dir.Join("big").c_str(), 5LL << 30), 0);

  struct Case {
    char const* name;
    std::uint64_t size;
  };
  for (Case const c : {Case{"empty", 0}, Case{"missing", 0}, Case{"five", 5},
                       Case{"link-to-five", 5},
                       Case{"big", std::uint64_t{5} << 30},
                       Case{"five/below", 0}}) {
    EXPECT_EQ(GetFileSize(dir.Join(c.name)), c.size) << c.name;
  }
}

// The d_type of the entry decides when it is known; only DT_UNKNOWN makes
// IsDir look at the path, without following a link.
TEST_F(FileSystemHelpersTest, IsDirNeverCallsALinkADirectory) {
  MakeDirectory(dir.Join("dir"));
  WriteWholeFile(dir.Join("file"), "");
  MakeSymlink("dir", dir.Join("link-to-dir"));

  struct Case {
    char const* name;
    unsigned char type;
    bool expected;
  };
  Case const cases[] = {
      {"dir", DT_DIR, true},          {"dir", DT_UNKNOWN, true},
      {"file", DT_REG, false},        {"file", DT_UNKNOWN, false},
      {"link-to-dir", DT_LNK, false}, {"link-to-dir", DT_UNKNOWN, false},
      {"missing", DT_UNKNOWN, false},
      // A known type is trusted over the path.
      {"file", DT_DIR, true},         {"dir", DT_REG, false},
  };
  for (Case const& c : cases) {
    dirent entry{};
    entry.d_type = c.type;
    std::strncpy(entry.d_name, c.name, sizeof entry.d_name - 1);
    EXPECT_EQ(IsDir(dir.Join(c.name), entry), c.expected)
        << c.name << " d_type " << static_cast<int>(c.type);
  }
}

// A copy of a probe executable, started from paths of chosen lengths,
// reports what GetExecPath() gives it.
class ExecPathTest : public ::testing::Test {
 protected:
  // A path of exactly length bytes under base, with the directories above it
  // created.
  static std::string PathOfLength(TempDir const& base, std::size_t length) {
    std::string prefix = base.Path();
    while (length - prefix.size() - 1 > 250) {
      prefix += "/" + std::string(200, 'd');
      MakeDirectory(prefix, 0755);
    }
    return prefix + "/" + std::string(length - prefix.size() - 1, 'p');
  }

  std::string RunProbeAt(std::string const& path) {
    std::filesystem::copy_file(NESTBOX_EXEC_PATH_PROBE, path);
    ::chmod(path.c_str(), 0700);
    int fds[2];
    if (::pipe(fds) != 0) return "pipe failed";
    pid_t const pid = ::fork();
    if (pid == 0) {
      ::dup2(fds[1], STDOUT_FILENO);
      ::close(fds[0]);
      ::close(fds[1]);
      char* const argv[] = {const_cast<char*>(path.c_str()), nullptr};
      ::execv(path.c_str(), argv);
      ::_exit(127);
    }
    ::close(fds[1]);
    std::string output;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
      output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return output;
  }
};

TEST_F(ExecPathTest, ReturnsTheWholePathOrRefusesOneThatDoesNotFit) {
  TempDir base;
  std::string const fits = PathOfLength(base, MAX_PATH_LENGTH - 1);
  ASSERT_EQ(fits.size(), 2047u);
  EXPECT_EQ(RunProbeAt(fits), "path " + fits);

  std::string const tooLong =
      SystemErrorLine(ENAMETOOLONG, "Cannot get executable path");
  for (std::size_t length : {MAX_PATH_LENGTH, MAX_PATH_LENGTH + 1, 3000ul}) {
    TempDir own;
    std::string const path = PathOfLength(own, length);
    ASSERT_EQ(path.size(), length);
    EXPECT_EQ(RunProbeAt(path), "raised " + tooLong) << length;
  }
}

}  // namespace
