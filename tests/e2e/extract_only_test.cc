// NESTBOX_UNTAR: extract, keep the directory, start nothing.

#include <sys/file.h>

#include <tuple>

#include "launcher_test.h"

namespace nestbox::e2e {
namespace {

class ExtractOnlyTest
    : public LauncherTest,
      public ::testing::WithParamInterface<std::tuple<User, char const*>> {
 protected:
  User RunAs() const override { return std::get<0>(GetParam()); }
};

TEST_P(ExtractOnlyTest, ExtractsPrivatelyKeepsTheDirectoryAndStartsNothing) {
  Process launcher =
      RunToEnd({.environment = {std::string("NESTBOX_UNTAR=") + std::get<1>(GetParam())}});
  EXPECT_EQ(launcher.Wait(), Outcome::Exited(0));
  EXPECT_EQ(launcher.Stdout(), "");  // the probe reports whenever it runs
  EXPECT_EQ(launcher.Stderr(), "");

  std::string const lock = LockFile(LauncherDir());
  EXPECT_EQ(LauncherLog(launcher.Pid()),
            Concat({Placement(lock, WorkDir()), Release(lock, WorkDir(), false)}));
  std::optional<sandbox::FileInfo> const top = sandbox::Inspect(WorkDir());
  ASSERT_TRUE(top);
  EXPECT_EQ(top->permissions, 0700u);
  EXPECT_EQ(top->owner, user_.uid.value_or(0));
  EXPECT_EQ(TreeAt(WorkDir()), ExpectedExtraction());
  EXPECT_TRUE(CanLock(WorkDir(), LOCK_EX)) << "the kept directory is still locked";
  EXPECT_EQ(sandbox::ListDir(LauncherDir()),
            (std::vector<std::string>{LAUNCHER_NAME, std::string(LAUNCHER_NAME) + ".data" +
                                                         user_.dataSuffix}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtractOnlyTest,
    ::testing::Combine(::testing::ValuesIn(USERS_WITH_NAMES), ::testing::Values("", "1")),
    [](auto const& info) {
      return std::string(std::get<0>(info.param).name) +
             (*std::get<1>(info.param) == '\0' ? "EmptyValue" : "ValueOne");
    });

}  // namespace
}  // namespace nestbox::e2e
