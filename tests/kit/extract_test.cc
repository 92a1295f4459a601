// nestbox-pack --extract: what it writes is what the launcher itself writes
// into a fresh working directory (names, types, modes, bytes), a walk that
// fails midway takes back what it wrote, and anything that is not an
// intact deliverable or not an empty target is refused with one line and
// nothing written. Deliverables run only inside a sandbox.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kit_test_support.h"
#include "sandbox/sandbox.h"

namespace kittest {
namespace {

using namespace nestbox::sandbox;
using packtest::MakeDir;
using packtest::MakeVariedTree;
using packtest::ReadFile;
using packtest::RunPack;
using packtest::WriteFile;

constexpr char DELIVERABLE[] = "/tmp/apps/Packed";
constexpr char WORK_DIR[] = "/tmp/apps/Packed.data";  // the sandbox runs as root
constexpr char TOOL[] = "/tmp/apps/nestbox-pack";
constexpr std::size_t BIG_FILE_SIZE = 300'000;

// The varied tree, with a file large enough to take several writes.
void MakeVariedTreeWithABigFile(std::string const& app) {
  MakeVariedTree(app);
  WriteFile(app + "/zz-big", std::string(BIG_FILE_SIZE, 'z'), 0444);
}

Tree ExpectedTree() {
  return {
      {"\x01" "ctl", {'f', 0600, "one"}},
      {"a b", {'f', 0600, "blank"}},
      {"back\\slash", {'f', 0600, std::string(70000, '\xa5')}},
      {"bin", {'d', 0700, ""}},
      {"bin/Tool", {'f', 0500, "#!/bin/sh\n"}},
      {"caf\xc3\xa9", {'f', 0700, "setuid"}},
      {"lib", {'d', 0700, ""}},
      {"lib/empty", {'f', 0600, ""}},
      {"lib/link", {'f', 0600, "blank"}},
      {"lib/sub", {'d', 0700, ""}},
      {"lib/sub/deep", {'f', 0600, "deep data"}},
      {"zz-big", {'f', 0400, std::string(BIG_FILE_SIZE, 'z')}},
  };
}

class PackExtractInSandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeVariedTreeWithABigFile(scratch_ / "app");
    packtest::RunResult const pack =
        RunPack({"--entry", "bin/Tool", "--output", scratch_ / "packed", scratch_ / "app"});
    ASSERT_EQ(pack.status, 0) << pack.err;
    SandboxOptions options;
    options.install.push_back({scratch_ / "packed", DELIVERABLE, 0755});
    options.install.push_back({NESTBOX_PACK_EXE, TOOL, 0755});
    std::string reason;
    sandbox_ = Sandbox::Enter(options, &reason);
    if (!sandbox_) GTEST_SKIP() << reason;
  }

  static Process Start(std::vector<std::string> argv, std::vector<std::string> environment = {}) {
    SpawnOptions options;
    options.argv = std::move(argv);
    options.environment.insert(options.environment.end(), environment.begin(), environment.end());
    return Process::Spawn(options);
  }

  ScratchDir const scratch_;
  std::unique_ptr<Sandbox> sandbox_;
};

TEST_F(PackExtractInSandbox, WritesWhatTheLauncherWrites) {
  Process launcher = Start({DELIVERABLE}, {"NESTBOX_UNTAR=1"});
  ASSERT_EQ(launcher.Wait(), Outcome::Exited(0));
  Tree const byLauncher = TreeAt(WORK_DIR);
  EXPECT_EQ(byLauncher, ExpectedTree());
  std::optional<FileInfo> const workDir = Inspect(WORK_DIR);
  ASSERT_TRUE(workDir);

  struct Target {
    char const* label;
    std::string path;
    std::optional<mode_t> existingMode;  // made empty beforehand
    mode_t expectedMode;
  };
  std::vector<Target> const targets = {
      {"absent: created like a working directory", "/tmp/extracted", std::nullopt,
       workDir->permissions},
      {"empty: keeps its mode", "/tmp/empty", 0751, 0751},
  };
  for (Target const& target : targets) {
    SCOPED_TRACE(target.label);
    if (target.existingMode) MakeDirs(target.path, *target.existingMode);
    Process tool = Start({TOOL, "--extract", DELIVERABLE, target.path});
    EXPECT_EQ(tool.Wait(), Outcome::Exited(0));
    EXPECT_EQ(tool.Stdout(), "");
    EXPECT_EQ(tool.Stderr(), "");
    std::optional<FileInfo> const top = Inspect(target.path);
    ASSERT_TRUE(top);
    EXPECT_TRUE(top->IsDirectory());
    EXPECT_EQ(top->permissions, target.expectedMode);
    EXPECT_EQ(TreeAt(target.path), byLauncher);
  }
}

TEST_F(PackExtractInSandbox, TakesBackWhatAFailedWalkWrote) {
  // Too small for the last file: the walk fails at its write, after it has
  // made directories and files.
  MakeDirs("/tmp/tiny", 0755);
  sandbox_->Mount("/tmp/tiny", {.mode = 0755, .sizeBytes = 256 * 1024});
  struct Case {
    char const* label;
    std::string path;
    bool existing;
  };
  for (Case const& target : {Case{"absent: removed again", "/tmp/tiny/made", false},
                             Case{"empty: emptied again", "/tmp/tiny/kept", true}}) {
    SCOPED_TRACE(target.label);
    if (target.existing) MakeDirs(target.path, 0755);
    Process tool = Start({TOOL, "--extract", DELIVERABLE, target.path});
    EXPECT_EQ(tool.Wait(), Outcome::Exited(1));
    EXPECT_EQ(tool.Stdout(), "");
    EXPECT_EQ(tool.Stderr(), "nestbox-pack: " + target.path +
                                 ": Failed to write to file: No space left on device\n");
    if (target.existing) {
      EXPECT_EQ(ListDir(target.path), std::vector<std::string>{});
    } else {
      EXPECT_FALSE(Exists(target.path));
    }
  }
}

// A small deliverable and the stream that it carries, in the scratch
// directory: "app" (the tree), "packed" (the deliverable), "contents.S.stream".
void MakeSmallDeliverable(ScratchDir const& scratch) {
  MakeDir(scratch / "app", 0755);
  WriteFile(scratch / "app/run", "#!/bin/sh\n", 0755);
  WriteFile(scratch / "app/data", "some data", 0644);
  packtest::RunResult const pack =
      RunPack({"--entry", "run", "--output", scratch / "packed", scratch / "app"});
  ASSERT_EQ(pack.status, 0) << pack.err;
  packtest::RunResult const emit =
      RunPack({"--entry", "run", "--emit-asm", scratch / "contents.S", scratch / "app"});
  ASSERT_EQ(emit.status, 0) << emit.err;
}

// The deliverable with the length of its first record's name made huge:
// still a deliverable by its section, but its stream does not parse.
std::string SpoiledImage(ScratchDir const& scratch) {
  std::string image = ReadFile(scratch / "packed");
  std::string const stream = ReadFile(scratch / "contents.S.stream");
  std::size_t const offset = image.find(stream);
  EXPECT_NE(offset, std::string::npos);
  if (offset == std::string::npos) return image;
  for (int i = 0; i < 4; ++i) image[offset + i] = static_cast<char>(0xf0 | i);
  return image;
}

struct Refusal {
  char const* label;
  std::string file;  // relative to the scratch directory
  std::string dir;
  std::function<void(ScratchDir const&)> prepare = [](ScratchDir const&) {};
  std::string named;
  std::string problem;
};

TEST(PackExtract, RefusesAndWritesNothing) {
  std::vector<Refusal> const refusals = {
      {.label = "text file", .file = "script", .dir = "out",
       .prepare = [](ScratchDir const& s) { WriteFile(s / "script", "#!/bin/sh\necho hi\n", 0755); },
       .named = "script", .problem = "not a deliverable: not an ELF file"},
      {.label = "ELF file without contents", .file = "tool", .dir = "out",
       .prepare = [](ScratchDir const& s) { WriteFile(s / "tool", ReadFile(NESTBOX_PACK_EXE), 0755); },
       .named = "tool", .problem = "not a deliverable: no .nestbox section"},
      {.label = "missing file", .file = "absent", .dir = "out", .named = "absent",
       .problem = "cannot open: No such file or directory"},
      {.label = "directory", .file = "app", .dir = "out", .named = "app",
       .problem = "not a deliverable: not a regular file"},
      {.label = "stream that does not parse", .file = "spoiled", .dir = "out",
       .prepare = [](ScratchDir const& s) { WriteFile(s / "spoiled", SpoiledImage(s), 0755); },
       .named = "spoiled", .problem = "contents stream does not parse"},
      {.label = "target holds a file", .file = "packed", .dir = "full",
       .prepare = [](ScratchDir const& s) {
         MakeDir(s / "full", 0700);
         WriteFile(s / "full/data", "some data", 0600);
       },
       .named = "full", .problem = "exists and is not empty"},
      {.label = "target holds only a dot-named directory", .file = "packed", .dir = "hidden",
       .prepare = [](ScratchDir const& s) {
         MakeDir(s / "hidden", 0700);
         MakeDir(s / "hidden/.keep", 0700);
       },
       .named = "hidden", .problem = "exists and is not empty"},
      {.label = "target is a file", .file = "packed", .dir = "app/data", .named = "app/data",
       .problem = "exists and is not a directory"},
      {.label = "target's parent is missing", .file = "packed", .dir = "absent/out",
       .named = "absent/out", .problem = "cannot create: No such file or directory"},
  };
  for (Refusal const& refusal : refusals) {
    SCOPED_TRACE(refusal.label);
    ScratchDir const scratch;
    MakeSmallDeliverable(scratch);
    refusal.prepare(scratch);
    Tree const before = TreeAt(scratch.path());
    packtest::RunOptions inScratch;
    inScratch.workingDirectory = scratch.path();
    RunResult const result = RunPack({"--extract", refusal.file, refusal.dir}, inScratch);
    ExpectRefusal(result, 1, refusal.named, refusal.problem);
    EXPECT_EQ(TreeAt(scratch.path()), before);
  }
}

TEST(PackExtract, CommandLine) {
  struct Usage {
    char const* label;
    std::vector<std::string> arguments;
    std::string problem;
  };
  std::vector<Usage> const usages = {
      {"no directory", {"--extract", "packed"}, "missing the directory"},
      {"two directories", {"--extract", "packed", "one", "two"}, "unexpected argument 'two'"},
      {"with an entry", {"--extract", "packed", "out", "--entry", "run"}, "--extract"},
      {"with an output", {"--output", "x", "--extract", "packed", "out"}, "--extract"},
      {"with a listing", {"--list", "packed", "--extract", "packed", "out"}, "--list"},
      {"no file", {"--extract"}, "needs an argument"},
  };
  ScratchDir const scratch;
  MakeSmallDeliverable(scratch);
  Tree const before = TreeAt(scratch.path());
  packtest::RunOptions inScratch;
  inScratch.workingDirectory = scratch.path();
  for (Usage const& usage : usages) {
    SCOPED_TRACE(usage.label);
    RunResult const result = RunPack(usage.arguments, inScratch);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    ASSERT_EQ(packtest::Lines(result.err).size(), 1u) << result.err;
    EXPECT_EQ(result.err.rfind("nestbox-pack: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(usage.problem), std::string::npos) << result.err;
    EXPECT_EQ(TreeAt(scratch.path()), before);
  }

  RunResult const help = RunPack({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--extract FILE DIR"), std::string::npos) << help.out;
}

}  // namespace
}  // namespace kittest
