// SIGTERM, SIGHUP and SIGINT sent to the launcher go to the running entry;
// the launcher waits on and ends as the entry ends.
//
// The entry can be up and reporting before the launcher, back from fork,
// has recorded its id; a signal in that moment has no child to go to. The
// cases send theirs once the launcher sleeps in its wait for the entry.

#include <signal.h>

#include <tuple>

#include "launcher_test.h"

namespace nestbox::e2e {
namespace {

struct Forward {
  char const* name;
  int signal;
  char const* signalName;  // as the probe names it
  bool survives;           // the entry goes on after catching it
  char const* probeExit;
  Outcome expected;
};
void PrintTo(Forward const& c, std::ostream* out) { *out << c.name; }

class ForwardTest : public LauncherTest,
                    public ::testing::WithParamInterface<std::tuple<User, Forward>> {
 protected:
  User RunAs() const override { return std::get<0>(GetParam()); }
};

TEST_P(ForwardTest, EntryCatchesTheSignalAndTheLauncherEndsWithItsStatus) {
  Forward const& c = std::get<1>(GetParam());
  Process launcher = Start(
      {.environment = {std::string("PROBE_CATCH=") + c.signalName,
                       c.survives ? "PROBE_WAIT=file:/tmp/go" : "PROBE_WAIT=signal",
                       std::string("PROBE_EXIT=") + c.probeExit}});
  ASSERT_TRUE(launcher.WaitForOutput("probe.ready\n")) << launcher.Stderr();
  ASSERT_TRUE(sandbox::WaitUntilWaitingForChild(launcher.Pid()));
  launcher.Signal(c.signal);
  ASSERT_TRUE(launcher.WaitForOutput(std::string("probe.caught=") + c.signalName + "\n"))
      << launcher.Stdout();
  if (c.survives) sandbox::WriteFile("/tmp/go", "");
  EXPECT_EQ(launcher.Wait(), c.expected) << launcher.Stderr();

  std::vector<std::string> afterChild;
  if (c.expected != Outcome::Exited(0)) afterChild.push_back(ChildExit(c.expected.value));
  std::string const lock = LockFile(LauncherDir());
  EXPECT_EQ(LauncherLog(launcher.Pid()),
            Concat({Placement(lock, WorkDir()), {OpenSslSkipped()}, afterChild,
                    Release(lock, WorkDir(), true)}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ForwardTest,
    ::testing::Combine(
        ::testing::ValuesIn(USERS_WITH_NAMES),
        ::testing::Values(
            Forward{"TermThenExitZero", SIGTERM, "TERM", false, "0", Outcome::Exited(0)},
            Forward{"IntThenExitFive", SIGINT, "INT", false, "5", Outcome::Exited(5)},
            Forward{"HupSurvivedThenExitThree", SIGHUP, "HUP", true, "3",
                    Outcome::Exited(3)})),
    [](auto const& info) {
      return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
    });

struct Deadly {
  char const* name;
  int signal;
  std::vector<int> ignoredByTheLauncher;  // at its start, as under nohup
};
void PrintTo(Deadly const& c, std::ostream* out) { *out << c.name; }

class DeadlyForwardTest : public LauncherTest,
                          public ::testing::WithParamInterface<std::tuple<User, Deadly>> {
 protected:
  User RunAs() const override { return std::get<0>(GetParam()); }
};

TEST_P(DeadlyForwardTest, EntryDiesOfTheSignalAndTheLauncherEndsWith255) {
  Deadly const& c = std::get<1>(GetParam());
  Process launcher = Start({.environment = {"PROBE_WAIT=file:/tmp/never"},
                            .ignoredSignals = c.ignoredByTheLauncher});
  ASSERT_TRUE(launcher.WaitForOutput("probe.ready\n")) << launcher.Stderr();
  // The entry starts with the default action even where the launcher's
  // caller ignored the signal.
  EXPECT_EQ(ProbeReport(launcher.Stdout()).Get("sighup"), "default");
  ASSERT_TRUE(sandbox::WaitUntilWaitingForChild(launcher.Pid()));
  launcher.Signal(c.signal);
  EXPECT_EQ(launcher.Wait(), Outcome::Exited(255)) << launcher.Stderr();

  std::string const lock = LockFile(LauncherDir());
  EXPECT_EQ(LauncherLog(launcher.Pid()),
            Concat({Placement(lock, WorkDir()), {OpenSslSkipped()},
                    Release(lock, WorkDir(), true), {Error("Unable to start executable")}}));
  EXPECT_FALSE(sandbox::Exists(WorkDir()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeadlyForwardTest,
    ::testing::Combine(::testing::ValuesIn(USERS_WITH_NAMES),
                       ::testing::Values(Deadly{"Term", SIGTERM, {}},
                                         Deadly{"Int", SIGINT, {}},
                                         Deadly{"HupIgnoredAtLaunch", SIGHUP, {SIGHUP}})),
    [](auto const& info) {
      return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace nestbox::e2e
