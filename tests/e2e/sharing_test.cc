// Runs that share one working directory, and a left-over directory that a
// later run reuses only when it still verifies.

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <system_error>
#include <tuple>

#include "launcher_test.h"

namespace nestbox::e2e {
namespace {

struct Sharing {
  char const* name;
  std::vector<int> endOrder;  // which run ends first, second, ...
};
void PrintTo(Sharing const& c, std::ostream* out) { *out << c.name; }

class SharingTest : public LauncherTest,
                    public ::testing::WithParamInterface<std::tuple<User, Sharing>> {
 protected:
  User RunAs() const override { return std::get<0>(GetParam()); }
};

TEST_P(SharingTest, OnlyTheLastRunToEndErasesTheSharedDirectory) {
  Sharing const& c = std::get<1>(GetParam());
  std::vector<Process> launchers;
  for (size_t i = 0; i < c.endOrder.size(); ++i) {
    launchers.push_back(Start({.environment = {"PROBE_WAIT=file:/tmp/go-" + std::to_string(i)}}));
    ASSERT_TRUE(launchers.back().WaitForOutput("probe.ready\n")) << launchers.back().Stderr();
    EXPECT_EQ(ProbeReport(launchers.back().Stdout()).Get("argv[0]"), Entry(WorkDir()));
  }
  // In use: a cleaner that asks for the directory exclusively is refused.
  EXPECT_FALSE(CanLock(WorkDir(), LOCK_EX));

  std::string const lock = LockFile(LauncherDir());
  for (size_t k = 0; k < c.endOrder.size(); ++k) {
    int const i = c.endOrder[k];
    bool const last = k + 1 == c.endOrder.size();
    SCOPED_TRACE("run " + std::to_string(i) + (last ? ", the last to end" : ""));
    sandbox::WriteFile("/tmp/go-" + std::to_string(i), "");
    EXPECT_EQ(launchers[i].Wait(), Outcome::Exited(0)) << launchers[i].Stderr();
    EXPECT_EQ(LauncherLog(launchers[i].Pid()),
              Concat({Placement(lock, WorkDir()), {OpenSslSkipped()},
                      Release(lock, WorkDir(), last)}));
    EXPECT_EQ(sandbox::Exists(WorkDir()), !last);
  }
  EXPECT_EQ(sandbox::ListDir(LauncherDir()), std::vector<std::string>{LAUNCHER_NAME});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SharingTest,
    ::testing::Combine(::testing::ValuesIn(USERS_WITH_NAMES),
                       ::testing::Values(Sharing{"FirstStartedEndsFirst", {0, 1}},
                                         Sharing{"LastStartedEndsFirst", {1, 0}},
                                         Sharing{"ThreeRunsMiddleEndsFirst", {1, 0, 2}})),
    [](auto const& info) {
      return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
    });

void Check(int result, std::string const& what) {
  if (result != 0) throw std::system_error(errno, std::generic_category(), what);
}

struct Damage {
  char const* name;
  std::function<void(std::string const& dir)> apply;
  bool verified;  // the run gets as far as verifying the contents
  bool reused;    // the run still uses the directory
  bool needsOtherUsers;
};
void PrintTo(Damage const& c, std::ostream* out) { *out << c.name; }

class LeftOverTest : public LauncherTest,
                     public ::testing::WithParamInterface<std::tuple<User, Damage>> {
 protected:
  User RunAs() const override { return std::get<0>(GetParam()); }
};

// An extract-only run leaves the directory behind; the next run verifies
// it, and passes over it to the next attempt number when it fails.
TEST_P(LeftOverTest, ADirectoryThatFailsVerificationIsLeftAlone) {
  Damage const& c = std::get<1>(GetParam());
  if (c.needsOtherUsers && !sandbox_->CanSwitchUsers()) {
    GTEST_SKIP() << sandbox::Sandbox::NoUserSwitchReason();
  }
  Process extract = RunToEnd({.environment = {"NESTBOX_UNTAR=1"}});
  ASSERT_EQ(extract.Wait(), Outcome::Exited(0));
  std::string const leftOver = WorkDir(LauncherDir(), 0);
  c.apply(leftOver);
  Tree const damaged = TreeAt(leftOver);
  sandbox::FileInfo const top = *sandbox::Inspect(leftOver);

  Process launcher = RunToEnd();
  EXPECT_EQ(launcher.Wait(), Outcome::Exited(0)) << launcher.Stderr();
  std::string const used = c.reused ? leftOver : WorkDir(LauncherDir(), 1);
  EXPECT_EQ(ProbeReport(launcher.Stdout()).Get("argv[0]"), Entry(used));

  std::string const lock = LockFile(LauncherDir());
  std::vector<std::string> expected;
  if (!c.reused) {
    expected = c.verified ? Placement(lock, leftOver) : FailedPlacement(lock);
  }
  expected = Concat({expected, Placement(lock, used), {OpenSslSkipped()},
                     Release(lock, used, true)});
  EXPECT_EQ(LauncherLog(launcher.Pid()), expected);
  EXPECT_FALSE(sandbox::Exists(used));
  if (!c.reused) {
    EXPECT_EQ(TreeAt(leftOver), damaged);
    sandbox::FileInfo const after = *sandbox::Inspect(leftOver);
    EXPECT_EQ(after.permissions, top.permissions);
    EXPECT_EQ(after.owner, top.owner);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LeftOverTest,
    ::testing::Combine(
        ::testing::ValuesIn(USERS_WITH_NAMES),
        ::testing::Values(
            Damage{"Untouched", [](std::string const&) {}, true, true, false},
            Damage{"TruncatedEntry",
                   [](std::string const& dir) { Check(::truncate((dir + "/probe").c_str(), 100), "truncate"); },
                   true, false, false},
            Damage{"MissingNestedFile",
                   [](std::string const& dir) { Check(::unlink((dir + "/share/probe/note.txt").c_str()), "unlink"); },
                   true, false, false},
            Damage{"GroupBitsOnNestedFile",
                   [](std::string const& dir) { Check(::chmod((dir + "/share/probe/note.txt").c_str(), 0640), "chmod"); },
                   true, false, false},
            Damage{"GroupBitsOnNestedDirectory",
                   [](std::string const& dir) { Check(::chmod((dir + "/share").c_str(), 0750), "chmod"); },
                   true, false, false},
            Damage{"GroupBitsOnTheDirectory",
                   [](std::string const& dir) { Check(::chmod(dir.c_str(), 0750), "chmod"); },
                   false, false, false},
            Damage{"OwnedByAnotherUser",
                   [](std::string const& dir) { Check(::chown(dir.c_str(), 4242, 4242), "chown"); },
                   false, false, true})),
    [](auto const& info) {
      return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace nestbox::e2e
