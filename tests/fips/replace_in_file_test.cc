// The rewrite of the OpenSSL configuration: exact bytes, the mode of the
// new file, what it does with whatever lies at the copy's name, and that no
// failure ever loses or changes the configuration.

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "fips/prepare_openssl.h"
#include "fips_test_support.h"
#include "sandbox/sandbox.h"
#include "support/unique_fd.h"

namespace nestbox::fips_test {
namespace {

using namespace std::string_literals;

constexpr char COMMENTED[] = "# fips = fips_sect";
constexpr char ENABLED[] = "fips = fips_sect";

void Check(int result, std::string const& what) {
  if (result != 0) throw std::system_error(errno, std::generic_category(), what);
}

// A text of about `size` bytes in lines of 64, none of which matches.
std::string Filler(std::size_t size) {
  std::string text;
  for (int i = 0; text.size() < size; ++i) {
    std::string line = "key" + std::to_string(i) + " = ";
    line.resize(63, 'v');
    text += line + "\n";
  }
  return text;
}

std::string Repeat(std::string const& block, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += block;
  return text;
}

struct Rewrite {
  char const* name;
  std::string input;
  std::string expected;
  std::string find = COMMENTED;
  std::string replacement = ENABLED;
};
void PrintTo(Rewrite const& c, std::ostream* out) { *out << c.name; }

class RewriteTest : public ::testing::TestWithParam<Rewrite> {};

TEST_P(RewriteTest, WritesEveryLineWithMatchesReplaced) {
  Rewrite const& c = GetParam();
  ScratchDir dir;
  std::string const config = dir.Join("openssl.cnf");
  WriteHostFile(config, c.input);

  ReplaceInFile(config, c.find, c.replacement);

  EXPECT_EQ(ReadHostFile(config), c.expected);
  EXPECT_EQ(Snapshot(dir.Path()).find("openssl.cnf.tmp"), std::string::npos)
      << Snapshot(dir.Path());
}

// Blocks that do not line up with any read size, so that matching lines and
// line ends fall across the reads of a large file.
std::string const FILLER = Filler(7000);
std::string const LONG_LINE(100000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Cases, RewriteTest,
    ::testing::Values(
        Rewrite{"TheLineAlone", "# fips = fips_sect\n", "fips = fips_sect\n"},
        Rewrite{"LineAmongOthers",
                "[provider_sect]\ndefault = default_sect\n# fips = fips_sect\n\n[x]\n",
                "[provider_sect]\ndefault = default_sect\nfips = fips_sect\n\n[x]\n"},
        Rewrite{"EveryMatchingLine",
                "# fips = fips_sect\na\n# fips = fips_sect\n# fips = fips_sect\nb\n",
                "fips = fips_sect\na\nfips = fips_sect\nfips = fips_sect\nb\n"},
        Rewrite{"MatchAsLastLineWithoutNewline", "a\n# fips = fips_sect",
                "a\nfips = fips_sect\n"},
        Rewrite{"FinalNewlineAdded", "a = 1\nb = 2", "a = 1\nb = 2\n"},
        Rewrite{"NearMissesUntouched",
                "#fips = fips_sect\n"
                "# fips = fips_sect \n"
                "# fips = fips_sect\r\n"
                " # fips = fips_sect\n"
                "\t# fips = fips_sect\n"
                "#  fips = fips_sect\n"
                "## fips = fips_sect\n"
                "# fips = fips_sect2\n"
                "# fips = fips_sec\n"
                "# FIPS = FIPS_SECT\n"
                "fips = fips_sect\n",
                "#fips = fips_sect\n"
                "# fips = fips_sect \n"
                "# fips = fips_sect\r\n"
                " # fips = fips_sect\n"
                "\t# fips = fips_sect\n"
                "#  fips = fips_sect\n"
                "## fips = fips_sect\n"
                "# fips = fips_sect2\n"
                "# fips = fips_sec\n"
                "# FIPS = FIPS_SECT\n"
                "fips = fips_sect\n"},
        Rewrite{"CarriageReturnOnTheLastLine", "# fips = fips_sect\r",
                "# fips = fips_sect\r\n"},
        Rewrite{"EmptyFileStaysEmpty", "", ""},
        Rewrite{"LoneNewline", "\n", "\n"},
        Rewrite{"BlankLinesKept", "\n\n# fips = fips_sect\n\n", "\n\nfips = fips_sect\n\n"},
        Rewrite{"NulBytesKept",
                "a\0b\n# fips = fips_sect\0\n# fips = fips_sect\n"s,
                "a\0b\n# fips = fips_sect\0\nfips = fips_sect\n"s},
        Rewrite{"LargeFile", Repeat(FILLER + "# fips = fips_sect\n", 150),
                Repeat(FILLER + "fips = fips_sect\n", 150)},
        Rewrite{"LineLongerThanAnyBuffer", LONG_LINE + "\n# fips = fips_sect",
                LONG_LINE + "\nfips = fips_sect\n"},
        Rewrite{"OtherLineReplacedByAnEmptyOne", "a\nb\nc\nb", "a\n\nc\n\n", "b", ""},
        Rewrite{"EmptyLinesReplaced", "a\n\nb\n\n", "a\n--\nb\n--\n", "", "--"}),
    [](auto const& info) { return std::string(info.param.name); });

struct CreationMask {
  char const* name;
  mode_t umask;
  mode_t expectedMode;
};
void PrintTo(CreationMask const& c, std::ostream* out) { *out << c.name; }

class ModeTest : public ::testing::TestWithParam<CreationMask> {};

// The rewritten file is a new one: it takes the mode that a plain create
// gives, not the one that the extraction gave the original.
TEST_P(ModeTest, TheNewFileHasTheCreationModeLessTheUmask) {
  CreationMask const& c = GetParam();
  ScratchDir dir;
  std::string const config = dir.Join("openssl.cnf");
  WriteHostFile(config, "# fips = fips_sect\n", 0600);

  ChildResult const child = RunInChild([&] {
    ::umask(c.umask);
    ReplaceInFile(config, COMMENTED, ENABLED);
    struct stat status;
    if (::stat(config.c_str(), &status) != 0) return std::string("stat failed");
    char mode[16];
    std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(status.st_mode & 07777));
    return std::string(mode);
  });

  ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.status;
  char expected[16];
  std::snprintf(expected, sizeof expected, "%o", static_cast<unsigned>(c.expectedMode));
  EXPECT_EQ(child.output, expected);
  EXPECT_EQ(ReadHostFile(config), "fips = fips_sect\n");
}

INSTANTIATE_TEST_SUITE_P(Cases, ModeTest,
                         ::testing::Values(CreationMask{"Usual022", 022, 0644},
                                           CreationMask{"Private077", 077, 0600},
                                           CreationMask{"Group027", 027, 0640},
                                           CreationMask{"None", 0, 0666}),
                         [](auto const& info) { return std::string(info.param.name); });

// A reader that has the file open, and a second name of it, keep the old
// configuration: the new one arrived by a rename, not by writing in place.
TEST(ReplaceInFileTest, TheOriginalIsReplacedByRenamingACompleteCopy) {
  ScratchDir dir;
  std::string const config = dir.Join("openssl.cnf");
  std::string const original = "a = 1\n# fips = fips_sect\nb = 2\n";
  WriteHostFile(config, original);
  Check(::link(config.c_str(), dir.Join("second-name").c_str()), "link");
  UniqueFd reader(::open(config.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(reader);
  struct stat before;
  Check(::stat(config.c_str(), &before), "stat");

  ReplaceInFile(config, COMMENTED, ENABLED);

  struct stat after;
  Check(::stat(config.c_str(), &after), "stat");
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_nlink, 1u);
  EXPECT_EQ(ReadHostFile(config), "a = 1\nfips = fips_sect\nb = 2\n");
  EXPECT_EQ(ReadHostFile(dir.Join("second-name")), original);
  char buffer[256];
  ssize_t const n = ::pread(reader.get(), buffer, sizeof buffer, 0);
  EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0), original);
}

struct Planted {
  char const* name;
  // Puts something at the copy's name; `elsewhere` is a directory whose
  // contents must survive untouched.
  std::function<void(std::string const& copy, std::string const& elsewhere)> plant;
};
void PrintTo(Planted const& c, std::ostream* out) { *out << c.name; }

class PlantedCopyTest : public ::testing::TestWithParam<Planted> {};

// Whatever an earlier run or someone else left at the copy's name goes
// first; nothing is ever written through it.
TEST_P(PlantedCopyTest, IsRemovedAndNeverWrittenThrough) {
  ScratchDir dir;
  std::string const elsewhere = dir.Join("elsewhere");
  Check(::mkdir(elsewhere.c_str(), 0755), "mkdir");
  WriteHostFile(elsewhere + "/victim", "precious\n", 0644);
  std::string const work = dir.Join("work");
  Check(::mkdir(work.c_str(), 0700), "mkdir");
  std::string const config = work + "/openssl.cnf";
  WriteHostFile(config, "x\n# fips = fips_sect\n");
  GetParam().plant(config + ".tmp", elsewhere);
  std::string const untouched = Snapshot(elsewhere);

  ReplaceInFile(config, COMMENTED, ENABLED);

  EXPECT_EQ(ReadHostFile(config), "x\nfips = fips_sect\n");
  struct stat status;
  EXPECT_EQ(::lstat((config + ".tmp").c_str(), &status), -1);
  EXPECT_EQ(Snapshot(elsewhere), untouched);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlantedCopyTest,
    ::testing::Values(
        Planted{"StaleCopyLongerThanTheResult",
                [](std::string const& copy, std::string const&) {
                  WriteHostFile(copy, std::string(5000, 's') + "\n# fips = fips_sect\n");
                }},
        Planted{"StaleReadOnlyCopy",
                [](std::string const& copy, std::string const&) {
                  WriteHostFile(copy, "stale\n", 0400);
                }},
        Planted{"LinkToAFile",
                [](std::string const& copy, std::string const& elsewhere) {
                  Check(::symlink((elsewhere + "/victim").c_str(), copy.c_str()), "symlink");
                }},
        Planted{"DanglingLink",
                [](std::string const& copy, std::string const& elsewhere) {
                  Check(::symlink((elsewhere + "/would-be-created").c_str(), copy.c_str()),
                        "symlink");
                }},
        Planted{"HardLinkToAFile",
                [](std::string const& copy, std::string const& elsewhere) {
                  Check(::link((elsewhere + "/victim").c_str(), copy.c_str()), "link");
                }},
        // Opened for writing as it is, a fifo would block the run for good.
        Planted{"Fifo",
                [](std::string const& copy, std::string const&) {
                  Check(::mkfifo(copy.c_str(), 0600), "mkfifo");
                }}),
    [](auto const& info) { return std::string(info.param.name); });

// Failures, each in a sandbox whose /dev/log collects what is logged.
struct Failure {
  char const* name;
  // Prepares the directory (which may become a mount of its own) and
  // returns the configuration path.
  std::function<std::string(sandbox::Sandbox&, std::string const& dir)> setUp;
  int expectedErrno;
  std::optional<uid_t> runAs;  // needs a switch of users
  rlim_t fileSizeLimit = RLIM_INFINITY;
};
void PrintTo(Failure const& c, std::ostream* out) { *out << c.name; }

class FailureTest : public ::testing::TestWithParam<Failure> {
 protected:
  void SetUp() override {
    std::string reason;
    sandbox_ = sandbox::Sandbox::Enter({.appDir = ""}, &reason);
    if (!sandbox_) GTEST_SKIP() << reason;
    if (GetParam().runAs && !sandbox_->CanSwitchUsers()) {
      GTEST_SKIP() << sandbox::Sandbox::NoUserSwitchReason();
    }
  }

  ScratchDir dir_;  // outlives the sandbox, whose mounts it may hold
  std::unique_ptr<sandbox::Sandbox> sandbox_;
};

// The configuration stays byte for byte what it was (the same file, the
// same mode), no copy is left, nothing is raised, and one error entry tells
// which file failed and why.
TEST_P(FailureTest, LeavesTheConfigurationAsItWasAndLogsTheFailure) {
  Failure const& c = GetParam();
  std::string const config = c.setUp(*sandbox_, dir_.Path());
  std::string const before = Snapshot(dir_.Path());

  ChildResult const child = RunInChild([&] {
    if (c.fileSizeLimit != RLIM_INFINITY) {
      // Past the limit, a write fails with EFBIG instead of raising SIGXFSZ.
      std::signal(SIGXFSZ, SIG_IGN);
      rlimit const limit{c.fileSizeLimit, c.fileSizeLimit};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return std::string("setrlimit failed");
    }
    if (c.runAs && !BecomeUser(*c.runAs)) return std::string("cannot switch users");
    ReplaceInFile(config, COMMENTED, ENABLED);
    return std::string("returned");
  });

  ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.status;
  EXPECT_EQ(child.output, "returned");
  EXPECT_EQ(Snapshot(dir_.Path()), before);

  std::vector<sandbox::LogEntry> const entries = sandbox_->Log().Entries();
  ASSERT_EQ(entries.size(), 1u);
  sandbox::LogEntry const& entry = entries.front();
  EXPECT_EQ(entry.priority, LOG_ERR) << entry.frame;
  EXPECT_EQ(entry.ident, "kolvonestbox") << entry.frame;
  EXPECT_NE(entry.text.find(config), std::string::npos) << entry.text;
  EXPECT_NE(entry.text.find(std::strerror(c.expectedErrno)), std::string::npos)
      << entry.text;
}

std::string WriteConfig(std::string const& dir, std::string const& data, mode_t mode) {
  std::string const config = dir + "/openssl.cnf";
  WriteHostFile(config, data, mode);
  return config;
}

std::string const CONFIG_TEXT = "[provider_sect]\n# fips = fips_sect\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, FailureTest,
    ::testing::Values(
        Failure{"NoFile",
                [](sandbox::Sandbox&, std::string const& dir) { return dir + "/openssl.cnf"; },
                ENOENT},
        Failure{"UnreadableFile",
                [](sandbox::Sandbox&, std::string const& dir) {
                  return WriteConfig(dir, CONFIG_TEXT, 0600);
                },
                EACCES, 65534},
        Failure{"DirectoryAtTheFileName",
                [](sandbox::Sandbox&, std::string const& dir) {
                  std::string const config = dir + "/openssl.cnf";
                  Check(::mkdir(config.c_str(), 0700), "mkdir");
                  WriteHostFile(config + "/inside", "kept\n");
                  return config;
                },
                EISDIR},
        Failure{"DirectoryNotWritable",
                [](sandbox::Sandbox&, std::string const& dir) {
                  return WriteConfig(dir, CONFIG_TEXT, 0644);
                },
                EACCES, 65534},
        Failure{"DirectoryAtTheCopyName",
                [](sandbox::Sandbox&, std::string const& dir) {
                  Check(::mkdir((dir + "/openssl.cnf.tmp").c_str(), 0700), "mkdir");
                  WriteHostFile(dir + "/openssl.cnf.tmp/inside", "kept\n");
                  return WriteConfig(dir, CONFIG_TEXT, 0600);
                },
                EISDIR},
        // The copy fits only partly beside the original.
        Failure{"NoSpaceForTheCopy",
                [](sandbox::Sandbox& box, std::string const& dir) {
                  box.Mount(dir, {.mode = 0755, .sizeBytes = 64 * 1024});
                  return WriteConfig(dir, Filler(48 * 1024) + "# fips = fips_sect\n", 0600);
                },
                ENOSPC},
        Failure{"CopyPastTheFileSizeLimit",
                [](sandbox::Sandbox&, std::string const& dir) {
                  return WriteConfig(dir, Filler(20000) + "# fips = fips_sect\n", 0600);
                },
                EFBIG, std::nullopt, 4096},
        // A mount point cannot be renamed over; everything before works.
        Failure{"FileIsAMountPoint",
                [](sandbox::Sandbox&, std::string const& dir) {
                  std::string const config = WriteConfig(dir, CONFIG_TEXT, 0600);
                  WriteHostFile(dir + "/bound", "[bound]\n# fips = fips_sect\n");
                  Check(::mount((dir + "/bound").c_str(), config.c_str(), nullptr, MS_BIND,
                                nullptr),
                        "bind mount");
                  return config;
                },
                EBUSY}),
    [](auto const& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace nestbox::fips_test
