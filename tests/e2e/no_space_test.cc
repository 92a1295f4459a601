// Extraction into a parent directory without room: every attempt erases
// what it wrote and the next one tries the next name, 101 in all.

#include "launcher_test.h"

namespace nestbox::e2e {
namespace {

constexpr int ATTEMPTS = 101;

class NoSpaceTest : public LauncherTest, public ::testing::WithParamInterface<User> {
 protected:
  User RunAs() const override { return GetParam(); }
  // Two pages: room for the lock file and directories, not for the files.
  Layout CaseLayout() const override { return {.launcherDirBytes = 8192}; }
};

TEST_P(NoSpaceTest, EveryAttemptIsErasedAndTheLastFailureEndsTheLauncher) {
  Process launcher = RunToEnd();
  EXPECT_EQ(launcher.Wait(), Outcome::Exited(255));
  EXPECT_EQ(launcher.Stdout(), "");

  std::string const lock = LockFile(LauncherDir());
  std::vector<std::string> expected;
  for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
    expected = Concat({expected, Placement(lock, WorkDir(LauncherDir(), attempt))});
  }
  expected.push_back(Error("Failed to write to file: No space left on device"));
  EXPECT_EQ(LauncherLog(launcher.Pid()), expected);
  EXPECT_EQ(sandbox::ListDir(LauncherDir()), std::vector<std::string>{LAUNCHER_NAME});
}

INSTANTIATE_TEST_SUITE_P(Users, NoSpaceTest, ::testing::ValuesIn(USERS_WITH_NAMES),
                         [](auto const& info) { return info.param.name; });

}  // namespace
}  // namespace nestbox::e2e
