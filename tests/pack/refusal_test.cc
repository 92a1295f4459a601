// Input that nestbox-pack refuses: one line on stderr that begins with
// "nestbox-pack: " and names the path, exit status 1 (2 for a command line
// it does not understand), and nothing left in the output directory.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "pack_test_support.h"

namespace packtest {
namespace {

constexpr uid_t NOBODY = 65534;

// A tree that packs fine until a case spoils it.
void MakeValidTree(std::string const& app) {
  MakeDir(app, 0755);
  WriteFile(app + "/run", "#!/bin/sh\n", 0755);
  WriteFile(app + "/data", "data", 0644);
  MakeDir(app + "/sub", 0755);
  WriteFile(app + "/sub/more", "more", 0644);
}

struct Refusal {
  char const* label;
  std::function<void(std::string const& app)> spoil = [](std::string const&) {};
  std::string entry = "run";
  std::string appDir = "app";  // relative to the scratch directory
  std::string output = "out/deliverable";
  // The path that the message names: relative to the scratch directory, or
  // taken as it is when `literal`.
  std::string named;
  bool literal = false;
  std::string problem;
  bool needsRoot = false;          // to make a device file
  bool needsUnprivileged = false;  // root reads everything
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(Refusal const& refusal, std::ostream* out) { *out << refusal.label; }

std::vector<Refusal> Refusals() {
  return {
      {.label = "missing app dir", .appDir = "absent", .named = "absent",
       .problem = "does not exist"},
      {.label = "app dir is a file", .appDir = "app/data", .named = "app/data",
       .problem = "not a directory"},
      {.label = "entry missing", .entry = "nope", .named = "app/nope", .problem = "does not exist"},
      {.label = "entry is a directory", .entry = "sub", .named = "app/sub",
       .problem = "not a regular file"},
      {.label = "entry lacks the owner's execute bit",
       .spoil = [](std::string const& app) { ASSERT_EQ(::chmod((app + "/run").c_str(), 0655), 0); },
       .named = "app/run", .problem = "execute"},
      {.label = "entry climbs out", .entry = "../app/run", .named = "../app/run", .literal = true,
       .problem = "inside"},
      {.label = "entry climbs through a subdirectory", .entry = "sub/../run", .named = "sub/../run",
       .literal = true, .problem = "inside"},
      {.label = "entry with a dot component", .entry = "./run", .named = "./run", .literal = true,
       .problem = "inside"},
      {.label = "fifo",
       .spoil = [](std::string const& app) { ASSERT_EQ(::mkfifo((app + "/sub/pipe").c_str(), 0644), 0); },
       .named = "app/sub/pipe", .problem = "fifo"},
      {.label = "socket",
       .spoil = [](std::string const& app) {
         ASSERT_EQ(::mknod((app + "/sock").c_str(), S_IFSOCK | 0644, 0), 0);
       },
       .named = "app/sock", .problem = "socket"},
      {.label = "device",
       .spoil = [](std::string const& app) {
         ASSERT_EQ(::mknod((app + "/sub/null").c_str(), S_IFCHR | 0600, ::makedev(1, 3)), 0);
       },
       .named = "app/sub/null", .problem = "device", .needsRoot = true},
      {.label = "dangling link",
       .spoil = [](std::string const& app) { ASSERT_EQ(::symlink("gone", (app + "/sub/link").c_str()), 0); },
       .named = "app/sub/link", .problem = "dangling"},
      {.label = "link loop",
       .spoil = [](std::string const& app) { ASSERT_EQ(::symlink("loop", (app + "/loop").c_str()), 0); },
       .named = "app/loop", .problem = "dangling"},
      {.label = "link to a directory",
       .spoil = [](std::string const& app) { ASSERT_EQ(::symlink("sub", (app + "/dirlink").c_str()), 0); },
       .named = "app/dirlink", .problem = "directory"},
      {.label = "unreadable file",
       .spoil = [](std::string const& app) { ASSERT_EQ(::chmod((app + "/data").c_str(), 0), 0); },
       .named = "app/data", .problem = "Permission denied", .needsUnprivileged = true},
      {.label = "unreadable directory",
       .spoil = [](std::string const& app) { ASSERT_EQ(::chmod((app + "/sub").c_str(), 0), 0); },
       .named = "app/sub", .problem = "Permission denied", .needsUnprivileged = true},
      {.label = "too large",
       .spoil = [](std::string const& app) {
         // Sparse: no disk is used unless the tool wrongly goes on to copy it.
         std::string const path = app + "/huge";
         WriteFile(path, "", 0644);
         ASSERT_EQ(::truncate(path.c_str(), 2'000'000'000), 0);
       },
       .named = "app", .problem = "limit is 2000000000 bytes"},
      {.label = "missing output directory", .output = "absent/deliverable",
       .named = "absent/deliverable", .problem = "No such file or directory"},
  };
}

// True when `path` and every directory above it can be searched by others,
// so that an unprivileged user can reach a tree under it.
bool OthersCanReach(std::string path) {
  while (!path.empty()) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || (status.st_mode & S_IXOTH) == 0) return false;
    path = path.substr(0, path.rfind('/'));
  }
  return true;
}

void ExpectOneLineNaming(std::string const& err, std::string const& named,
                         std::string const& problem) {
  ASSERT_FALSE(err.empty());
  EXPECT_EQ(err.rfind("nestbox-pack: ", 0), 0u) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1) << "not exactly one line: " << err;
  EXPECT_NE(err.find(named), std::string::npos) << "does not name " << named << ": " << err;
  EXPECT_NE(err.find(problem), std::string::npos) << "does not say " << problem << ": " << err;
}

class PackRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(PackRefusal, RefusesAndLeavesNothingBehind) {
  Refusal const& refusal = GetParam();
  bool const root = ::geteuid() == 0;
  if (refusal.needsRoot && !root) GTEST_SKIP() << "making a device file needs root";
  ScratchDir const scratch;
  if (refusal.needsUnprivileged && root && !OthersCanReach(scratch.path())) {
    GTEST_SKIP() << "the build tree is not reachable by an unprivileged user";
  }
  MakeValidTree(scratch / "app");
  refusal.spoil(scratch / "app");
  MakeDir(scratch / "out", 0777);

  RunOptions options;
  if (refusal.needsUnprivileged && root) options.uid = NOBODY;
  RunResult const result = RunPack({"--entry", refusal.entry, "--output", scratch / refusal.output,
                                    scratch / refusal.appDir},
                                   options);

  EXPECT_EQ(result.status, 1) << result.err;
  ExpectOneLineNaming(result.err, refusal.literal ? refusal.named : scratch / refusal.named,
                      refusal.problem);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(ListDir(scratch / "out"), std::vector<std::string>{});
}

std::string CaseName(::testing::TestParamInfo<Refusal> const& info) {
  std::string name;
  for (char const c : std::string(info.param.label)) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Table, PackRefusal, ::testing::ValuesIn(Refusals()), CaseName);

TEST(PackRefusals, RefusesAnAbsoluteEntryName) {
  ScratchDir const scratch;
  MakeValidTree(scratch / "app");
  MakeDir(scratch / "out");
  RunResult const result =
      RunPack({"--entry", scratch / "app/run", "--output", scratch / "out/d", scratch / "app"});
  EXPECT_EQ(result.status, 1);
  ExpectOneLineNaming(result.err, scratch / "app/run", "relative");
  EXPECT_EQ(ListDir(scratch / "out"), std::vector<std::string>{});
}

TEST(PackRefusals, KeepsAnExistingOutputWhenRefusingAndReplacesItWhenPacking) {
  ScratchDir const scratch;
  MakeValidTree(scratch / "app");
  MakeDir(scratch / "out");
  WriteFile(scratch / "out/d", "old", 0755);
  ASSERT_EQ(::mkfifo((scratch / "app/pipe").c_str(), 0644), 0);

  EXPECT_EQ(RunPack({"--entry", "run", "--output", scratch / "out/d", scratch / "app"}).status, 1);
  EXPECT_EQ(ReadFile(scratch / "out/d"), "old");
  EXPECT_EQ(ListDir(scratch / "out"), std::vector<std::string>{"d"});

  ASSERT_EQ(::unlink((scratch / "app/pipe").c_str()), 0);
  RunResult const packed = RunPack({"--entry", "run", "--output", scratch / "out/d", scratch / "app"});
  ASSERT_EQ(packed.status, 0) << packed.err;
  EXPECT_EQ(ReadFile(scratch / "out/d").substr(0, 4), "\x7f" "ELF");
  EXPECT_EQ(ListDir(scratch / "out"), std::vector<std::string>{"d"});
}

TEST(PackRefusals, EmitAsmLeavesNothingBehindEither) {
  ScratchDir const scratch;
  MakeValidTree(scratch / "app");
  MakeDir(scratch / "out");
  ASSERT_EQ(::symlink("gone", (scratch / "app/link").c_str()), 0);
  RunResult const result = RunPack({"--entry", "run", "--emit-asm", scratch / "out/c.S",
                                    "--depfile", scratch / "out/c.d", scratch / "app"});
  EXPECT_EQ(result.status, 1);
  ExpectOneLineNaming(result.err, scratch / "app/link", "dangling");
  EXPECT_EQ(ListDir(scratch / "out"), std::vector<std::string>{});
}

// Failures after the input has been accepted, when temporaries already
// exist: they go, and the output never appears.
TEST(PackRefusals, LateFailuresLeaveNothingBehind) {
  ScratchDir const scratch;
  MakeValidTree(scratch / "app");
  MakeDir(scratch / "out");
  struct Late {
    char const* label;
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
    char const* problem;
  };
  std::vector<Late> const cases = {
      {"compiler fails", {"--output", scratch / "out/d"}, {"NESTBOX_CXX=false"},
       "exited with status 1"},
      {"compiler missing", {"--output", scratch / "out/d"}, {"NESTBOX_CXX=" + scratch / "no-cc"},
       "cannot run the compiler"},
      {"depfile directory missing",
       {"--emit-asm", scratch / "out/c.S", "--depfile", scratch / "absent/c.d"}, {},
       "No such file or directory"},
  };
  for (Late const& late : cases) {
    SCOPED_TRACE(late.label);
    std::vector<std::string> arguments = {"--entry", "run"};
    arguments.insert(arguments.end(), late.arguments.begin(), late.arguments.end());
    arguments.push_back(scratch / "app");
    RunOptions options;
    options.environment = late.environment;
    RunResult const result = RunPack(arguments, options);
    EXPECT_EQ(result.status, 1);
    // The compiler may have had its say first; the tool's own line is last.
    std::vector<std::string> const lines = Lines(result.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("nestbox-pack: ", 0), 0u) << result.err;
    EXPECT_NE(lines.back().find(late.problem), std::string::npos) << result.err;
    EXPECT_EQ(ListDir(scratch / "out"), std::vector<std::string>{});
  }
}

struct UsageCase {
  char const* label;
  std::vector<std::string> arguments;
  std::string problem;
};

TEST(PackUsage, RejectsCommandLinesItDoesNotUnderstandWithStatus2) {
  std::vector<UsageCase> const cases = {
      {"unknown option", {"--frobnicate", "app"}, "--frobnicate"},
      {"missing argument", {"app", "--entry"}, "--entry"},
      {"missing entry", {"--output", "x", "app"}, "--entry"},
      {"missing app dir", {"--entry", "run", "--output", "x"}, "application directory"},
      {"two app dirs", {"--entry", "run", "--output", "x", "a", "b"}, "application director"},
      {"neither output", {"--entry", "run", "app"}, "--output"},
      {"both outputs", {"--entry", "run", "--output", "x", "--emit-asm", "y.S", "app"}, "--output"},
      {"depfile without emit-asm", {"--entry", "run", "--output", "x", "--depfile", "x.d", "app"}, "--depfile"},
      {"list with more", {"--list", "x", "app"}, "--list"},
  };
  ScratchDir const scratch;
  RunOptions inScratch;
  inScratch.workingDirectory = scratch.path();
  for (UsageCase const& usage : cases) {
    SCOPED_TRACE(usage.label);
    RunResult const result = RunPack(usage.arguments, inScratch);
    EXPECT_EQ(result.status, 2);
    ExpectOneLineNaming(result.err, usage.problem, "");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(ListDir(scratch.path()), std::vector<std::string>{});
  }
}

TEST(PackUsage, HelpNamesEveryOptionOnStdout) {
  RunResult const help = RunPack({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  for (char const* option : {"--entry", "--output", "--emit-asm", "--depfile", "--list", "--help",
                             "--version", "NESTBOX_CXX"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
  RunResult const version = RunPack({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "nestbox-pack " NESTBOX_VERSION_STRING "\n");
}

}  // namespace
}  // namespace packtest
