// The same tree and entry give the same deliverable, byte for byte, no
// matter where the tree lies, where the tool is run from, where the output
// goes or when the files were last touched.

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

#include "pack_test_support.h"

namespace packtest {
namespace {

void MakeTree(std::string const& app) {
  MakeDir(app, 0755);
  WriteFile(app + "/Entry", "#!/bin/sh\necho entry\n", 0755);
  MakeDir(app + "/share", 0755);
  WriteFile(app + "/share/data.bin", std::string(100000, '\x5a'), 0644);
  WriteFile(app + "/libthing.so", "not really a library", 0755);
}

void SetTimes(std::string const& path, time_t seconds) {
  timespec const times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

TEST(PackReproducibility, SameTreeFromElsewhereGivesIdenticalBytes) {
  ScratchDir const scratch;
  MakeDir(scratch / "one");
  MakeTree(scratch / "one/app");
  MakeDir(scratch / "two");
  MakeDir(scratch / "two/elsewhere");
  MakeTree(scratch / "two/elsewhere/copy of app");
  for (char const* name : {"", "/Entry", "/share", "/share/data.bin", "/libthing.so"}) {
    SetTimes(scratch / "one/app" + name, 1000000000);
    SetTimes(scratch / "two/elsewhere/copy of app" + name, 1700000000);
  }

  RunOptions inOne;
  inOne.workingDirectory = scratch / "one";
  RunResult const first = RunPack({"--entry", "Entry", "--output", "first", "app"}, inOne);
  ASSERT_EQ(first.status, 0) << first.err;
  RunOptions inTwo;
  inTwo.workingDirectory = scratch / "two/elsewhere";
  RunResult const second = RunPack(
      {"--entry", "Entry", "--output", scratch / "second", scratch / "two/elsewhere/copy of app/"},
      inTwo);
  ASSERT_EQ(second.status, 0) << second.err;

  std::string const firstBytes = ReadFile(scratch / "one/first");
  std::string const secondBytes = ReadFile(scratch / "second");
  ASSERT_FALSE(firstBytes.empty());
  EXPECT_TRUE(firstBytes == secondBytes) << "the two deliverables differ";
  // Neither the tree's path nor the scratch directory's reached the output.
  EXPECT_EQ(firstBytes.find(scratch.path()), std::string::npos);
  EXPECT_EQ(firstBytes.find("copy of app"), std::string::npos);
}

}  // namespace
}  // namespace packtest
