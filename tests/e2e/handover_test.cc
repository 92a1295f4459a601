// What the entry executable gets from the launcher: its arguments, its
// environment, and the working directory's descriptor.

#include <sys/file.h>

#include <algorithm>
#include <tuple>

#include "launcher_test.h"

namespace nestbox::e2e {
namespace {

struct HandOver {
  char const* name;
  std::vector<std::string> args;
  std::optional<std::string> libraryPath;  // LD_LIBRARY_PATH given to the launcher
  std::string expectedPrefix;              // what stands before the working dir
};
void PrintTo(HandOver const& c, std::ostream* out) { *out << c.name; }

class HandOverTest : public LauncherTest,
                     public ::testing::WithParamInterface<std::tuple<User, HandOver>> {
 protected:
  User RunAs() const override { return std::get<0>(GetParam()); }
};

TEST_P(HandOverTest, EntryGetsTheArgumentsAndTheEnvironment) {
  HandOver const& c = std::get<1>(GetParam());
  Invocation run{.args = c.args};
  if (c.libraryPath) run.environment.push_back("LD_LIBRARY_PATH=" + *c.libraryPath);
  Process launcher = RunToEnd(run);
  ASSERT_EQ(launcher.Wait(), Outcome::Exited(0)) << launcher.Stderr();

  ProbeReport const report(launcher.Stdout());
  std::string const entry = Entry(WorkDir());
  std::vector<std::string> expectedArgv{entry};
  expectedArgv.insert(expectedArgv.end(), c.args.begin(), c.args.end());
  EXPECT_EQ(report.Argv(), expectedArgv);
  EXPECT_EQ(report.Get("env.NESTBOX_UNPACKED_PATH"), entry);
  EXPECT_EQ(report.Get("env.NESTBOX_PATH"), Launcher());
  EXPECT_EQ(report.Get("env.LD_LIBRARY_PATH"), c.expectedPrefix + WorkDir());
  // The probe has no RPATH: this library came through LD_LIBRARY_PATH.
  EXPECT_EQ(report.Get("marker"), "marker library loaded");
  EXPECT_EQ(report.Get("ppid"), std::to_string(launcher.Pid()));
  EXPECT_TRUE(report.Foreign().empty()) << launcher.Stdout();
  EXPECT_EQ(launcher.Stderr(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HandOverTest,
    ::testing::Combine(
        ::testing::ValuesIn(USERS_WITH_NAMES),
        ::testing::Values(
            HandOver{"ThreeArgumentsNoLibraryPath", {"--verbose", "", "two words"},
                     std::nullopt, ""},
            HandOver{"NoArgumentsEmptyLibraryPath", {}, "", ""},
            HandOver{"LibraryPathKeptInFront", {"-x"}, "/opt/lib:/usr/local/lib",
                     "/opt/lib:/usr/local/lib:"})),
    [](auto const& info) {
      return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
    });

class DescriptorTest : public LauncherTest,
                       public ::testing::WithParamInterface<User> {
 protected:
  User RunAs() const override { return GetParam(); }
};

// The shared lock that marks the directory in use lives on this descriptor,
// so the entry executable holds the directory for as long as it runs.
TEST_P(DescriptorTest, EntryInheritsTheLockedWorkingDirectory) {
  Process launcher = Start({.environment = {"PROBE_WAIT=file:/tmp/go"}});
  ASSERT_TRUE(launcher.WaitForOutput("probe.ready\n")) << launcher.Stderr();
  std::vector<std::string> const targets = ProbeReport(launcher.Stdout()).DescriptorTargets();
  EXPECT_NE(std::find(targets.begin(), targets.end(), WorkDir()), targets.end())
      << launcher.Stdout();
  EXPECT_FALSE(CanLock(WorkDir(), LOCK_EX));
  EXPECT_TRUE(CanLock(WorkDir(), LOCK_SH));

  sandbox::WriteFile("/tmp/go", "");
  EXPECT_EQ(launcher.Wait(), Outcome::Exited(0));
}

INSTANTIATE_TEST_SUITE_P(Users, DescriptorTest, ::testing::ValuesIn(USERS_WITH_NAMES),
                         [](auto const& info) { return info.param.name; });

}  // namespace
}  // namespace nestbox::e2e
