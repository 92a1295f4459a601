// The retry after status 253: each pass releases its working directory and
// the next one tries a parent directory that no earlier pass examined.

#include <tuple>

#include "launcher_test.h"

namespace nestbox::e2e {
namespace {

struct Placements {
  char const* name;
  std::string launcherDir;
  std::vector<std::string> parents;  // in the order the passes use them
};
void PrintTo(Placements const& c, std::ostream* out) { *out << c.name; }

class NoexecRetryTest : public LauncherTest,
                        public ::testing::WithParamInterface<std::tuple<User, Placements>> {
 protected:
  User RunAs() const override { return std::get<0>(GetParam()); }
  Layout CaseLayout() const override {
    return {.launcherDir = std::get<1>(GetParam()).launcherDir, .noexecCandidates = true};
  }
};

// The exec of the entry is refused (EACCES) in every candidate: one pass per
// distinct candidate, then no candidate is left.
TEST_P(NoexecRetryTest, EveryCandidateIsTriedOnceThenTheLauncherGivesUp) {
  Placements const& c = std::get<1>(GetParam());
  Process launcher = RunToEnd();
  EXPECT_EQ(launcher.Wait(), Outcome::Exited(255));
  EXPECT_EQ(launcher.Stdout(), "");
  EXPECT_EQ(launcher.Stderr(), "");

  std::vector<std::string> expected;
  for (std::string const& parent : c.parents) {
    expected = Concat({expected, Placement(LockFile(parent), WorkDir(parent)),
                       {OpenSslSkipped(), ChildExit(253)},
                       Release(LockFile(parent), WorkDir(parent), true)});
  }
  expected.push_back(Error("Unable to select working directory"));
  EXPECT_EQ(LauncherLog(launcher.Pid()), expected);
  for (std::string const& parent : c.parents) {
    for (std::string const& name : sandbox::ListDir(parent)) {
      EXPECT_FALSE(name.starts_with(std::string(LAUNCHER_NAME) + "."))
          << parent << "/" << name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NoexecRetryTest,
    ::testing::Combine(
        ::testing::ValuesIn(USERS_WITH_NAMES),
        ::testing::Values(
            Placements{"OwnDirectory", APP_DIR, {APP_DIR, "/var/tmp", "/tmp"}},
            // "/tmp" is both the launcher's directory and the last candidate.
            Placements{"LyingInTmp", "/tmp", {"/tmp", "/var/tmp"}})),
    [](auto const& info) {
      return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
    });

class RetryOnceTest : public LauncherTest, public ::testing::WithParamInterface<User> {
 protected:
  User RunAs() const override { return GetParam(); }
};

TEST_P(RetryOnceTest, EntryEndingWith253OnceRunsAgainInTheNextCandidate) {
  Process launcher = RunToEnd({.environment = {"PROBE_FIRST_EXIT=253:/tmp/first-run"}});
  EXPECT_EQ(launcher.Wait(), Outcome::Exited(0)) << launcher.Stderr();

  ProbeReport const report(launcher.Stdout());
  EXPECT_EQ(report.All("argv[0]"),
            (std::vector<std::string>{Entry(WorkDir(APP_DIR)), Entry(WorkDir("/var/tmp"))}));
  std::string const ownLock = LockFile(APP_DIR);
  std::string const varTmpLock = LockFile("/var/tmp");
  EXPECT_EQ(LauncherLog(launcher.Pid()),
            Concat({Placement(ownLock, WorkDir(APP_DIR)), {OpenSslSkipped(), ChildExit(253)},
                    Release(ownLock, WorkDir(APP_DIR), true),
                    Placement(varTmpLock, WorkDir("/var/tmp")), {OpenSslSkipped()},
                    Release(varTmpLock, WorkDir("/var/tmp"), true)}));
  EXPECT_EQ(sandbox::ListDir("/var/tmp"), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Users, RetryOnceTest, ::testing::ValuesIn(USERS_WITH_NAMES),
                         [](auto const& info) { return info.param.name; });

}  // namespace
}  // namespace nestbox::e2e
