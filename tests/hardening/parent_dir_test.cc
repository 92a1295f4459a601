// A candidate parent directory that others can write without the sticky bit
// lets them rename or replace the working directory between any two steps of
// a run: such a candidate is passed over before anything is created in it.
// The sticky bit, as on /tmp, makes a shared directory usable again.

#include <tuple>

#include "hardening_test.h"

namespace nestbox::hardening {
namespace {

struct Candidates {
  char const* name;
  mode_t launcherDirMode;
  mode_t varTmpMode;
  mode_t tmpMode;
  char const* chosen;  // the parent that the run uses; null: none is usable
};
void PrintTo(Candidates const& c, std::ostream* out) { *out << c.name; }

class ParentDirTest : public HardeningTest,
                      public ::testing::WithParamInterface<std::tuple<Parties, Candidates>> {
 protected:
  Parties CaseParties() const override { return std::get<0>(GetParam()); }
  Layout CaseLayout() const override {
    Candidates const& c = std::get<1>(GetParam());
    return {.launcherDirMode = c.launcherDirMode, .varTmpMode = c.varTmpMode,
            .tmpMode = c.tmpMode};
  }
};

TEST_P(ParentDirTest, OnlyADirectoryThatOthersCannotRewriteIsUsed) {
  Candidates const& c = std::get<1>(GetParam());
  size_t const mark = LogMark();
  Process launcher = RunToEnd();

  if (c.chosen == nullptr) {
    EXPECT_EQ(launcher.Wait(), Outcome::Exited(255));
    EXPECT_EQ(LogSince(mark), std::vector<std::string>{Error("Unable to select working directory")});
  } else {
    std::string const lock = LockFile(c.chosen);
    std::string const used = WorkDir(c.chosen);
    EXPECT_EQ(launcher.Wait(), Outcome::Exited(0)) << launcher.Stderr();
    EXPECT_EQ(ProbeValue(launcher.Stdout(), "argv[0]"), Entry(used));
    EXPECT_EQ(LogSince(mark),
              Concat({Placement(lock, used), {OpenSslSkipped()}, Release(lock, used, true)}));
  }
  // Nothing at all is created in a candidate that is passed over, and the
  // chosen one is left as it was found.
  EXPECT_EQ(sandbox::ListDir(APP_DIR), std::vector<std::string>{"Probe"});
  EXPECT_EQ(sandbox::ListDir(VAR_TMP), std::vector<std::string>{});
  for (std::string const& name : sandbox::ListDir("/tmp")) {
    EXPECT_FALSE(name.starts_with("Probe.")) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParentDirTest,
    ::testing::Combine(
        ::testing::ValuesIn(VICTIMS_AND_ATTACKERS),
        ::testing::Values(
            Candidates{"PrivateOwnDirectory", 0755, 01777, 01777, APP_DIR},
            Candidates{"GroupWritableOwnDirectory", 0775, 01777, 01777, VAR_TMP},
            Candidates{"OthersWritableOwnDirectory", 0757, 01777, 01777, VAR_TMP},
            Candidates{"WorldWritableOwnDirectory", 0777, 01777, 01777, VAR_TMP},
            Candidates{"GroupWritableStickyOwnDirectory", 01775, 01777, 01777, APP_DIR},
            Candidates{"WorldWritableStickyOwnDirectory", 01777, 01777, 01777, APP_DIR},
            Candidates{"VarTmpWithoutStickyBit", 0777, 0777, 01777, "/tmp"},
            Candidates{"NoCandidateKeepsOthersOut", 0777, 0777, 0777, nullptr})),
    [](auto const& info) {
      return std::string(std::get<0>(info.param).victim.name) + std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace nestbox::hardening
