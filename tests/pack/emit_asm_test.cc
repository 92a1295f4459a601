// --emit-asm, the route that the build takes: the depfile that makes a
// build re-pack, and an assembler file that embeds its stream correctly
// wherever that stream lies, even under a path full of quoting hazards.

#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "pack_test_support.h"

namespace packtest {
namespace {

TEST(PackEmitAsm, DepfileNamesEveryPackedFileAndDirectoryEscaped) {
  ScratchDir const scratch;
  std::string const app = scratch / "app";
  MakeDir(app);
  WriteFile(app + "/run", "x", 0755);
  WriteFile(app + "/a b", "x", 0644);
  WriteFile(app + "/cost$", "x", 0644);
  WriteFile(app + "/#tag", "x", 0644);
  WriteFile(app + "/back\\ slash", "x", 0644);
  MakeDir(app + "/sub");
  WriteFile(app + "/sub/inner", "x", 0644);
  WriteFile(scratch / "outside", "x", 0644);
  ASSERT_EQ(::symlink("../../outside", (app + "/sub/link").c_str()), 0);

  RunResult const emit = RunPack(
      {"--entry", "run", "--emit-asm", scratch / "c.S", "--depfile", scratch / "c.d", app});
  ASSERT_EQ(emit.status, 0) << emit.err;

  std::string const expected = scratch / "c.S" + ": \\\n"
                               "  " + app + " \\\n"
                               "  " + app + "/\\#tag \\\n"
                               "  " + app + "/a\\ b \\\n"
                               "  " + app + "/back\\\\\\ slash \\\n"
                               "  " + app + "/cost$$ \\\n"
                               "  " + app + "/run \\\n"
                               "  " + app + "/sub \\\n"
                               "  " + app + "/sub/inner \\\n"
                               "  " + app + "/sub/link \\\n"
                               "  " + scratch / "outside" + "\n";
  EXPECT_EQ(ReadFile(scratch / "c.d"), expected);
}

// Quote, apostrophe, backslash, blank and '#': each breaks a naively
// quoted .incbin path, with or without the preprocessor.
constexpr char HAZARDOUS_DIR[] = "q\"uo'te\\ba ck#x";

TEST(PackEmitAsm, EmbedsTheStreamFromAPathWithQuotesAndBackslashes) {
  ScratchDir const scratch;
  std::string const app = scratch / "app";
  MakeDir(app);
  WriteFile(app + "/run", "#!/bin/sh\n", 0755);
  std::string const dir = scratch / HAZARDOUS_DIR;
  MakeDir(dir);

  RunResult const emit = RunPack({"--entry", "run", "--emit-asm", dir + "/c.S", app});
  ASSERT_EQ(emit.status, 0) << emit.err;
  std::string const stream = ReadFile(dir + "/c.S.stream");

  RunOptions inDir;
  inDir.workingDirectory = dir;
  RunResult const assemble = RunProgram({NESTBOX_TEST_ASM, "-c", dir + "/c.S", "-o", "c.o"}, inDir);
  ASSERT_EQ(assemble.status, 0) << assemble.err;
  RunResult const extract =
      RunProgram({NESTBOX_TEST_OBJCOPY, "-O", "binary", "--only-section=.nestbox", "c.o", "section"}, inDir);
  ASSERT_EQ(extract.status, 0) << extract.err;

  std::string header(12, '\0');
  for (int i = 0; i < 8; ++i) header[i] = static_cast<char>(stream.size() >> (8 * i));
  EXPECT_EQ(ReadFile(dir + "/section"), header + stream + std::string("run\0", 4));
}

TEST(PackEmitAsm, PacksAndListsADeliverableUnderAHazardousPath) {
  ScratchDir const scratch;
  std::string const dir = scratch / HAZARDOUS_DIR;
  MakeDir(dir);
  MakeDir(dir + "/app");
  WriteFile(dir + "/app/run", "#!/bin/sh\n", 0755);

  RunResult const pack = RunPack({"--entry", "run", "--output", dir + "/out", dir + "/app"});
  ASSERT_EQ(pack.status, 0) << pack.err;
  RunResult const list = RunPack({"--list", dir + "/out"});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out, "d 0755 .\nf 0755 10 run\nentry run\n");
  EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"app", "out"}));
}

}  // namespace
}  // namespace packtest
