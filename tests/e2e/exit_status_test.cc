// How a single run ends: the launcher's status, its log entries, and the
// working directory and lock file left behind (none).

#include <signal.h>

#include <tuple>

#include "launcher_test.h"

namespace nestbox::e2e {
namespace {

struct Ending {
  char const* name;
  char const* probeExit;  // PROBE_EXIT
  Outcome expected;
  // The run loop's own entries: after the child ends, and after the release.
  std::vector<std::string> beforeRelease;
  std::vector<std::string> afterRelease;
};
void PrintTo(Ending const& c, std::ostream* out) { *out << c.name; }

class ExitStatusTest : public LauncherTest,
                       public ::testing::WithParamInterface<std::tuple<User, Ending>> {
 protected:
  User RunAs() const override { return std::get<0>(GetParam()); }
};

TEST_P(ExitStatusTest, LauncherEndsLikeItsEntryAndErasesTheWorkingDirectory) {
  Ending const& c = std::get<1>(GetParam());
  Process launcher = RunToEnd({.environment = {std::string("PROBE_EXIT=") + c.probeExit}});
  EXPECT_EQ(launcher.Wait(), c.expected) << launcher.Stderr();
  EXPECT_TRUE(ProbeReport(launcher.Stdout()).Has("ready")) << launcher.Stdout();

  std::string const lock = LockFile(LauncherDir());
  EXPECT_EQ(LauncherLog(launcher.Pid()),
            Concat({Placement(lock, WorkDir()), {OpenSslSkipped()}, c.beforeRelease,
                    Release(lock, WorkDir(), true), c.afterRelease}));
  EXPECT_EQ(sandbox::ListDir(LauncherDir()), std::vector<std::string>{LAUNCHER_NAME});
  EXPECT_EQ(sandbox::ListDir("/var/tmp"), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExitStatusTest,
    ::testing::Combine(
        ::testing::ValuesIn(USERS_WITH_NAMES),
        ::testing::Values(
            Ending{"Zero", "0", Outcome::Exited(0), {}, {}},
            Ending{"Seven", "7", Outcome::Exited(7), {ChildExit(7)}, {}},
            Ending{"OwnTwoFiftyFive", "255", Outcome::Exited(255), {ChildExit(255)}, {}},
            Ending{"TwoFiftyFour", "254", Outcome::Exited(254), {ChildExit(254)}, {}},
            Ending{"KilledBySignal", "signal:KILL", Outcome::Exited(255), {},
                   {Error("Unable to start executable")}},
            Ending{"Aborted", "signal:ABRT", Outcome::Exited(255), {},
                   {Error("Unable to start executable")}})),
    [](auto const& info) {
      return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
    });

class NoPasswordEntryTest : public LauncherTest {
 protected:
  User RunAs() const override { return NO_PASSWORD_ENTRY; }
};

// Every one of the 101 attempts fails on the user name before it takes the
// lock file, so the only entry is the failure that ends the launcher.
TEST_F(NoPasswordEntryTest, EveryAttemptFailsAndTheLauncherEndsWith255) {
  Process launcher = RunToEnd();
  EXPECT_EQ(launcher.Wait(), Outcome::Exited(255));
  EXPECT_EQ(launcher.Stdout(), "");
  EXPECT_EQ(launcher.Stderr(), "");

  std::vector<std::string> const log = LauncherLog(launcher.Pid());
  ASSERT_EQ(log.size(), 1u) << ::testing::PrintToString(log);
  std::string const prefix = Error("Unable to call getpwuid for uid [4242]: ");
  EXPECT_TRUE(log[0].starts_with(prefix) && log[0].size() > prefix.size()) << log[0];
  for (std::string const& name : sandbox::ListDir(LauncherDir())) {
    EXPECT_FALSE(name.starts_with(std::string(LAUNCHER_NAME) + ".data")) << name;
  }
}

}  // namespace
}  // namespace nestbox::e2e
