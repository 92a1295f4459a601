// The launcher itself never writes to its standard output or error: with a
// silent entry, both stay empty however the run ends.

#include "launcher_test.h"

namespace nestbox::e2e {
namespace {

struct Silent {
  char const* name;
  User user;
  bool noexecCandidates;
  std::vector<std::string> environment;
  Outcome expected;
};
void PrintTo(Silent const& c, std::ostream* out) { *out << c.name; }

class QuietTest : public LauncherTest, public ::testing::WithParamInterface<Silent> {
 protected:
  User RunAs() const override { return GetParam().user; }
  Layout CaseLayout() const override {
    return {.noexecCandidates = GetParam().noexecCandidates};
  }
};

TEST_P(QuietTest, LauncherWritesNothingOfItsOwn) {
  Silent const& c = GetParam();
  Invocation run{.environment = c.environment};
  run.environment.push_back("PROBE_QUIET=1");
  Process launcher = RunToEnd(run);
  EXPECT_EQ(launcher.Wait(), c.expected);
  EXPECT_EQ(launcher.Stdout(), "");
  EXPECT_EQ(launcher.Stderr(), "");
  EXPECT_FALSE(LauncherLog(launcher.Pid()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuietTest,
    ::testing::Values(
        Silent{"EntryEndsWithZero", ROOT, false, {}, Outcome::Exited(0)},
        Silent{"EntryEndsWithSeven", NOBODY, false, {"PROBE_EXIT=7"}, Outcome::Exited(7)},
        Silent{"EntryKilled", ROOT, false, {"PROBE_EXIT=signal:KILL"}, Outcome::Exited(255)},
        Silent{"ExtractOnly", ROOT, false, {"NESTBOX_UNTAR="}, Outcome::Exited(0)},
        Silent{"NoCandidateCanRunTheEntry", ROOT, true, {}, Outcome::Exited(255)},
        Silent{"NoPasswordEntry", NO_PASSWORD_ENTRY, false, {}, Outcome::Exited(255)}),
    [](auto const& info) { return info.param.name; });

}  // namespace
}  // namespace nestbox::e2e
