#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "support/paths.h"
#include "support/unique_fd.h"
#include "unit_support.h"
#include "workdir/extracted_app.h"

namespace {

std::string const INVALID = RuntimeErrorLine("Invalid contents buffer");

std::string Pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    data[i] = static_cast<char>((i * 31 + i / 4096 + 7) % 251);
  }
  return data;
}

UniqueFd OpenDirectory(std::string const& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

std::string Extract(StreamBuilder const& stream, std::string const& dirPath,
                    bool verifyOnly) {
  UniqueFd dirFd = OpenDirectory(dirPath);
  if (!dirFd) return "cannot open " + dirPath;
  return RaisedBy([&] {
    ExtractedApp::ExtractContents(stream.Reader(), dirFd.get(), verifyOnly);
  });
}

// umask 0 unless a case says otherwise, so the modes left behind are exactly
// what extraction asked for.
class ExtractionTest : public ::testing::Test {
 protected:
  void SetUp() override { oldMask = ::umask(0); }
  void TearDown() override { ::umask(oldMask); }

  std::string Write(StreamBuilder const& stream) {
    return Extract(stream, dir.Path(), false);
  }
  std::string Verify(StreamBuilder const& stream) {
    return Extract(stream, dir.Path(), true);
  }

  TempDir dir;
  mode_t oldMask = 0;
};

TEST_F(ExtractionTest, TopLevelRecordAloneTouchesNothing) {
  ASSERT_EQ(::chmod(dir.Path().c_str(), 0777), 0);
  std::string const before = SnapshotTree(dir.Path());
  StreamBuilder stream;
  stream.Directory(".", 0755);
  EXPECT_EQ(Write(stream), "");
  EXPECT_EQ(SnapshotTree(dir.Path()), before);
  // The working directory itself is not checked against the record either.
  EXPECT_EQ(Verify(stream), "");
}

TEST_F(ExtractionTest, OnlyTheOwnersBitsOfAStoredModeTakeEffect) {
  struct Case {
    std::uint32_t stored;
    mode_t mask;
    int expected;
  };
  Case const cases[] = {
      {0755, 0, 0700},  {0644, 0, 0600},    {04755, 0, 0700},
      {02770, 0, 0700}, {01777, 0, 0700},   {0500, 0, 0500},
      {0, 0, 0},        {0755, 0277, 0500}, {0644, 0077, 0600},
  };
  int index = 0;
  for (Case const& c : cases) {
    std::string const name = std::to_string(index++);
    SCOPED_TRACE("stored " + std::to_string(c.stored) + " case " + name);
    StreamBuilder stream;
    stream.Directory(".").Directory("d" + name, c.stored).File(".", "f" + name,
                                                               "x", c.stored);
    ::umask(c.mask);
    EXPECT_EQ(Write(stream), "");
    EXPECT_EQ(ModeOf(dir.Join("d" + name)), c.expected);
    EXPECT_EQ(ModeOf(dir.Join("f" + name)), c.expected);
  }
}

TEST_F(ExtractionTest, WritesNestedEntriesWithTheirExactBytes) {
  std::string const big = Pattern((3u << 20) + 5);
  StreamBuilder stream;
  stream.Directory(".")
      .Directory("lib")
      .Directory("lib/deep")
      .File(".", "run", "#!/bin/sh\n", 0755)
      .File("lib", "empty", "")
      .File("lib/deep", "one-mib", Pattern(1u << 20))
      .File("lib/deep", "one-mib-plus", Pattern((1u << 20) + 1))
      .File(".", "big", big, 0644);
  ASSERT_EQ(Write(stream), "");
  EXPECT_EQ(ReadWholeFile(dir.Join("run")), "#!/bin/sh\n");
  EXPECT_EQ(ModeOf(dir.Join("run")), 0700);
  EXPECT_TRUE(Exists(dir.Join("lib/empty")));
  EXPECT_EQ(ReadWholeFile(dir.Join("lib/empty")), "");
  EXPECT_EQ(ReadWholeFile(dir.Join("lib/deep/one-mib")), Pattern(1u << 20));
  EXPECT_EQ(ReadWholeFile(dir.Join("lib/deep/one-mib-plus")),
            Pattern((1u << 20) + 1));
  EXPECT_EQ(ReadWholeFile(dir.Join("big")), big);
  EXPECT_EQ(ModeOf(dir.Join("lib/deep")), 0700);

  // What was written verifies; a second write over it replaces the files.
  EXPECT_EQ(Verify(stream), "");
  WriteWholeFile(dir.Join("run"), std::string(100, 'z'), 0700);
  EXPECT_EQ(Write(stream), "");
  EXPECT_EQ(ReadWholeFile(dir.Join("run")), "#!/bin/sh\n");
}

TEST_F(ExtractionTest, ExistingEntryCountsAsACreatedDirectory) {
  MakeDirectory(dir.Join("kept"), 0755);
  WriteWholeFile(dir.Join("plain"), "data");
  StreamBuilder stream;
  stream.Directory("kept", 0700).Directory("plain");
  EXPECT_EQ(Write(stream), "");
  EXPECT_EQ(ModeOf(dir.Join("kept")), 0755);

  stream.File("plain", "f", "x");
  EXPECT_EQ(Write(stream), SystemErrorLine(ENOTDIR, "Failed to open file"));
  EXPECT_EQ(ReadWholeFile(dir.Join("plain")), "data");
}

TEST_F(ExtractionTest, NestedDirectoryNeedsItsParentsRecord) {
  StreamBuilder stream;
  stream.Directory(".").Directory("a/b");
  EXPECT_EQ(Write(stream),
            SystemErrorLine(ENOENT, "Failed to create directory: 'a/b'"));
  EXPECT_EQ(SnapshotTree(dir.Path()).find("a"), std::string::npos);
}

// "Failed to create directory: '" is 29 characters and the closing quote one
// more, so a name of 993 characters makes the longest message that fits.
TEST_F(ExtractionTest, DirectoryMessageIsCutTo1023Characters) {
  for (std::size_t nameLength : {992u, 993u, 994u, 3000u}) {
    SCOPED_TRACE(nameLength);
    std::string const name = "missing/" + std::string(nameLength - 8, 'a');
    std::string const full = "Failed to create directory: '" + name + "'";
    StreamBuilder stream;
    stream.Directory(name);
    EXPECT_EQ(Write(stream), SystemErrorLine(ENOENT, full.substr(0, 1023)));
  }
}

TEST_F(ExtractionTest, StreamCutInsideARecordKeepsWhatWasWritten) {
  StreamBuilder whole;
  whole.Directory(".").Directory("d").File("d", "f", "abc");
  struct Case {
    char const* what;
    StreamBuilder stream;
  };
  Case cases[] = {
      {"data runs past the end", whole},
      {"only a name", whole},
      {"mode cut short", whole},
  };
  cases[0].stream.FileHeader(".", "g", 10).Raw("short");
  cases[1].stream.String("g");
  cases[2].stream.String("g").Flag(1).Raw("\xed\x01");
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir target;
    EXPECT_EQ(Extract(c.stream, target.Path(), false), INVALID);
    EXPECT_EQ(ReadWholeFile(target.Join("d/f")), "abc");
    EXPECT_FALSE(Exists(target.Join("g")));
    EXPECT_EQ(Extract(c.stream, target.Path(), true), INVALID);
  }
}

// Paths are resolved beneath the working directory without following any
// symbolic link: nothing outside it is written, whatever was planted inside.
TEST_F(ExtractionTest, NeverWritesThroughALinkOrOutOfTheDirectory) {
  TempDir outside;
  WriteWholeFile(outside.Join("target"), "keep");
  std::string const outsideName = GetName(outside.Path());
  std::string const outsideBefore = SnapshotTree(outside.Path());

  struct Case {
    char const* what;
    std::function<void(TempDir const&)> plant;
    StreamBuilder stream;
    std::string expected;
  };
  Case cases[] = {
      {"file is a link to a file",
       [&](TempDir const& d) { MakeSymlink(outside.Join("target"), d.Join("f")); },
       {}, SystemErrorLine(ELOOP, "Failed to open file")},
      {"file is a dangling link",
       [&](TempDir const& d) { MakeSymlink(outside.Join("new"), d.Join("f")); },
       {}, SystemErrorLine(ELOOP, "Failed to open file")},
      {"parent directory is a link",
       [&](TempDir const& d) { MakeSymlink(outside.Path(), d.Join("d")); },
       {}, SystemErrorLine(ELOOP, "Failed to open file")},
      {"nested directory under a link",
       [&](TempDir const& d) { MakeSymlink(outside.Path(), d.Join("d")); },
       {}, SystemErrorLine(ELOOP, "Failed to create directory: 'd/e'")},
      {"file name climbs out", [](TempDir const&) {}, {},
       SystemErrorLine(EXDEV, "Failed to open file")},
      {"directory name climbs out", [](TempDir const&) {}, {},
       SystemErrorLine(EXDEV, "Failed to create directory: '../" +
                                  outsideName + "/e'")},
  };
  cases[0].stream.File(".", "f", "new");
  cases[1].stream.File(".", "f", "new");
  cases[2].stream.Directory("d").File("d", "new", "x");
  cases[3].stream.Directory("d").Directory("d/e");
  cases[4].stream.File(".", "../" + outsideName + "/new", "x");
  cases[5].stream.Directory("../" + outsideName + "/e");

  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir target;
    c.plant(target);
    EXPECT_EQ(Extract(c.stream, target.Path(), false), c.expected);
    EXPECT_EQ(SnapshotTree(outside.Path()), outsideBefore);
  }
}

// Every name is joined below the working directory as stored: an empty name
// or parent, or one that starts with '/', still names an entry inside it
// ("work" + "/" + "/x" is "work//x"), so none of them is refused.
TEST_F(ExtractionTest, UnusualNamesStayBelowTheDirectory) {
  struct Case {
    char const* what;
    StreamBuilder stream;
    char const* created;  // relative to the directory; "" for none
  };
  Case cases[] = {
      {"empty directory name", {}, ""},
      {"directory with a leading slash", {}, "x"},
      {"file with an empty parent", {}, "f"},
      {"file in a parent with a leading slash", {}, "x/f"},
      {"file in a parent with a trailing slash", {}, "x/f"},
  };
  cases[0].stream.Directory("");
  cases[1].stream.Directory("/x");
  cases[2].stream.File("", "f", "1");
  cases[3].stream.Directory("x").File("/x", "f", "1");
  cases[4].stream.Directory("x").File("x/", "f", "1");
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir target;
    EXPECT_EQ(Extract(c.stream, target.Path(), false), "");
    if (*c.created != '\0') {
      EXPECT_TRUE(Exists(target.Join(c.created)));
    }
    EXPECT_EQ(Extract(c.stream, target.Path(), true), "");
  }
}

// RLIMIT_FSIZE makes the kernel write only part of a request and refuse the
// next one with EFBIG (SIGXFSZ ignored): the walk must ask again for the rest
// and report the refusal, closing the file first.
TEST_F(ExtractionTest, ShortWriteIsContinuedAndAFailedWriteReported) {
  StreamBuilder stream;
  stream.Directory(".").File(".", "f", Pattern(3000));
  std::string const path = dir.Join("f");
  UniqueFd const dirFd = OpenDirectory(dir.Path());
  ASSERT_TRUE(dirFd);
  ChildResult const child = RunInChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = 1000;
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return std::string("rlimit");
    int const fdsBefore = CountOpenFds();
    std::string const raised = RaisedBy([&] {
      ExtractedApp::ExtractContents(stream.Reader(), dirFd.get(), false);
    });
    return raised + " | fds left " +
           std::to_string(CountOpenFds() - fdsBefore) + " | size " +
           std::to_string(GetFileSize(path));
  });
  EXPECT_EQ(child.output, SystemErrorLine(EFBIG, "Failed to write to file") +
                              " | fds left 0 | size 1000");
  EXPECT_EQ(ReadWholeFile(path), Pattern(1000));
}

// Verification of a directory that an earlier run filled. Each case changes
// one thing in a freshly written tree; verifying must report it (or accept
// it) and change nothing.
struct TamperCase {
  char const* name;
  // Returns a reason to skip, or "" when the change was made.
  std::function<std::string(TempDir const&)> tamper;
  std::function<std::string()> expected;
};

void PrintTo(TamperCase const& tamperCase, std::ostream* out) {
  *out << tamperCase.name;
}

std::string NotOwnersOfFile(int errorNumber) {
  return SystemErrorLine(errorNumber, "We are not owners of the file");
}
std::string NotOwnersOfDirectory(int errorNumber) {
  return SystemErrorLine(errorNumber, "We are not owners of the directory");
}
std::string UnexpectedSize() {
  return SystemErrorLine(EINVAL, "Unexpected file size");
}

std::string Chown(std::string const& path) {
  if (::lchown(path.c_str(), 65534, 65534) != 0) {
    return "cannot give a file to another user (needs root)";
  }
  return "";
}

std::string Done() { return ""; }

TamperCase const TAMPER_CASES[] = {
    {"Untouched", [](TempDir const&) { return Done(); }, [] { return ""; }},
    {"SameSizeOtherBytes",
     [](TempDir const& d) {
       WriteWholeFile(d.Join("top"), "54321");
       return Done();
     },
     [] { return ""; }},
    {"WorkingDirectoryShared",
     [](TempDir const& d) {
       ::chmod(d.Path().c_str(), 0777);
       return Done();
     },
     [] { return ""; }},
    {"FileGroupReadable",
     [](TempDir const& d) {
       ::chmod(d.Join("top").c_str(), 0640);
       return Done();
     },
     [] { return NotOwnersOfFile(EPERM); }},
    {"FileOthersExecutable",
     [](TempDir const& d) {
       ::chmod(d.Join("d/e/deep").c_str(), 0601);
       return Done();
     },
     [] { return NotOwnersOfFile(EPERM); }},
    {"FileMissing",
     [](TempDir const& d) {
       ::unlink(d.Join("top").c_str());
       return Done();
     },
     [] { return NotOwnersOfFile(ENOENT); }},
    {"FileOfAnotherUser",
     [](TempDir const& d) { return Chown(d.Join("top")); },
     [] { return NotOwnersOfFile(EPERM); }},
    {"FileWithASecondName",
     [](TempDir const& d) {
       ::link(d.Join("top").c_str(), d.Join("d/alias").c_str());
       return Done();
     },
     [] { return NotOwnersOfFile(EPERM); }},
    {"FileIsADirectory",
     [](TempDir const& d) {
       ::unlink(d.Join("top").c_str());
       MakeDirectory(d.Join("top"));
       return Done();
     },
     [] { return NotOwnersOfFile(EINVAL); }},
    {"FileIsALinkToAPrivateCopy",
     [](TempDir const& d) {
       WriteWholeFile(d.Join("copy"), "12345");
       ::unlink(d.Join("top").c_str());
       MakeSymlink("copy", d.Join("top"));
       return Done();
     },
     [] { return NotOwnersOfFile(EINVAL); }},
    {"FileOneByteLonger",
     [](TempDir const& d) {
       WriteWholeFile(d.Join("top"), "123456");
       return Done();
     },
     [] { return UnexpectedSize(); }},
    {"FileOneByteShorter",
     [](TempDir const& d) {
       WriteWholeFile(d.Join("top"), "1234");
       return Done();
     },
     [] { return UnexpectedSize(); }},
    {"EmptyFileGrew",
     [](TempDir const& d) {
       WriteWholeFile(d.Join("empty"), "x");
       return Done();
     },
     [] { return UnexpectedSize(); }},
    {"DirectoryMissing",
     [](TempDir const& d) {
       ::unlink(d.Join("d/e/deep").c_str());
       ::rmdir(d.Join("d/e").c_str());
       return Done();
     },
     [] { return NotOwnersOfDirectory(ENOENT); }},
    {"DirectoryGroupSearchable",
     [](TempDir const& d) {
       ::chmod(d.Join("d").c_str(), 0710);
       return Done();
     },
     [] { return NotOwnersOfDirectory(EPERM); }},
    {"DirectoryOfAnotherUser",
     [](TempDir const& d) { return Chown(d.Join("d")); },
     [] { return NotOwnersOfDirectory(EPERM); }},
    {"DirectoryIsAFile",
     [](TempDir const& d) {
       ::unlink(d.Join("d/e/deep").c_str());
       ::rmdir(d.Join("d/e").c_str());
       WriteWholeFile(d.Join("d/e"), "");
       return Done();
     },
     [] { return NotOwnersOfDirectory(ENOTDIR); }},
    {"DirectoryIsALinkToAPrivateCopy",
     [](TempDir const& d) {
       ::rename(d.Join("d").c_str(), d.Join("d-copy").c_str());
       MakeSymlink("d-copy", d.Join("d"));
       return Done();
     },
     [] { return NotOwnersOfDirectory(ENOTDIR); }},
};

class VerificationTest : public ::testing::TestWithParam<TamperCase> {
 protected:
  void SetUp() override { oldMask = ::umask(0); }
  void TearDown() override { ::umask(oldMask); }

  static StreamBuilder Reference() {
    StreamBuilder stream;
    stream.Directory(".")
        .Directory("d")
        .Directory("d/e")
        .File(".", "top", "12345")
        .File("d/e", "deep", "abc", 0644)
        .File(".", "empty", "");
    return stream;
  }

  TempDir dir;
  mode_t oldMask = 0;
};

TEST_P(VerificationTest, ReportsTheChangeAndChangesNothing) {
  ASSERT_EQ(Extract(Reference(), dir.Path(), false), "");
  std::string const skip = GetParam().tamper(dir);
  if (!skip.empty()) GTEST_SKIP() << skip;
  std::string const before = SnapshotTree(dir.Path());
  EXPECT_EQ(Extract(Reference(), dir.Path(), true), GetParam().expected());
  EXPECT_EQ(SnapshotTree(dir.Path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Tampered, VerificationTest, ::testing::ValuesIn(TAMPER_CASES),
    [](::testing::TestParamInfo<TamperCase> const& info) {
      return std::string(info.param.name);
    });

}  // namespace
