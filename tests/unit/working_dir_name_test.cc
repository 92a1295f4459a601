#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "launcher/exec_entrypoint.h"
#include "unit_support.h"
#include "workdir/extracted_app.h"

namespace {

TEST(WorkingDirNameTest, AddsTheUserUnlessRootAndTheAttemptUnlessZero) {
  struct Case {
    char const* user;
    int attempt;
    char const* expected;
  };
  Case const cases[] = {
      {"root", 0, "Halyard.data"},
      {"root", 1, "Halyard.data_1"},
      {"root", 100, "Halyard.data_100"},
      {"alice", 0, "Halyard.data_alice"},
      {"alice", 7, "Halyard.data_alice_7"},
      // Only the exact name "root" is left out.
      {"Root", 0, "Halyard.data_Root"},
      {"rootx", 3, "Halyard.data_rootx_3"},
      {"", 0, "Halyard.data_"},
      {"", 2, "Halyard.data__2"},
  };
  for (Case const& c : cases) {
    EXPECT_EQ(ExtractedApp::CreateWorkingDirName("Halyard", c.user, c.attempt),
              c.expected)
        << "user '" << c.user << "' attempt " << c.attempt;
  }
}

TEST(WorkingDirNameTest, UserNameIsThatOfTheEffectiveUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  EXPECT_EQ(ExtractedApp::GetUserName(), "root");
  ChildResult const child = RunInChild([] {
    if (!BecomeUser(0, 65534, 65534)) return std::string("cannot drop");
    return ExtractedApp::GetUserName();
  });
  EXPECT_EQ(child.output, "nobody");
}

// The lookup is by the effective user; the message names the real one. The
// code is whatever getpwuid left in errno for a missing entry.
TEST(WorkingDirNameTest, UserWithoutPasswordEntryFails) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ChildResult const child = RunInChild([] {
    if (!BecomeUser(4243, 4242, 4242)) return std::string("cannot drop");
    return RaisedBy([] { ExtractedApp::GetUserName(); });
  });
  std::string const prefix = "system_error generic ";
  ASSERT_TRUE(child.output.starts_with(prefix)) << child.output;
  int const code = std::stoi(child.output.substr(prefix.size()));
  EXPECT_EQ(child.output,
            SystemErrorLine(code, "Unable to call getpwuid for uid [4243]"));
}

TEST(WorkingDirNameTest, EntryPathJoinsTheDirectoryAndTheEmbeddedName) {
  std::string binPath = "stale";
  BuildBinPath("/var/tmp/Halyard.data", binPath);
  EXPECT_EQ(binPath, "/var/tmp/Halyard.data/probe");
  BuildBinPath("/w/", binPath);
  EXPECT_EQ(binPath, "/w//probe");
}

}  // namespace
