// A neighbour plants something at the name of the victim's working directory
// in the shared /var/tmp, and may re-point it while the victim's run goes on.
// The victim never uses it: its run takes the next attempt number, none of
// the neighbour's code runs, and every canary stays as it was.

#include <sys/syscall.h>

#include <functional>
#include <tuple>

#include "hardening_test.h"

namespace nestbox::hardening {
namespace {

struct Plant {
  char const* name;
  // The attacker's shell command that plants it at the path.
  std::function<std::string(std::string const& keptExtraction, std::string const& path)> script;
};
void PrintTo(Plant const& plant, std::ostream* out) { *out << plant.name; }

std::string LinkTo(std::string const& target, std::string const& path) {
  return "ln -s " + Quoted(target) + " " + Quoted(path);
}

std::vector<Plant> const PLANTS{
    // Would pass verification if followed: the victim's own extraction.
    {"LinkToVictimsKeptExtraction",
     [](std::string const& kept, std::string const& path) { return LinkTo(kept, path); }},
    // The neighbour's tree, with an entry executable of the right name.
    {"LinkToNeighboursTree",
     [](std::string const&, std::string const& path) { return LinkTo(NEIGHBOUR_TREE, path); }},
    {"LinkToVictimsPrivateFile",
     [](std::string const&, std::string const& path) {
       return LinkTo(std::string(SSH_DIR) + "/id_ed25519", path);
     }},
    {"DanglingLinkIntoVictimsHome",
     [](std::string const&, std::string const& path) {
       return LinkTo(std::string(HOME) + "/made-by-the-launcher", path);
     }},
    {"Fifo", [](std::string const&, std::string const& path) { return "mkfifo " + Quoted(path); }},
    {"NeighboursOwnCopyOfTheTree",
     [](std::string const&, std::string const& path) {
       return "cp -R " + std::string(NEIGHBOUR_TREE) + " " + Quoted(path) + "\nchmod 0700 " +
              Quoted(path);
     }},
};

class PlantedWorkingDirTest : public HardeningTest {
 protected:
  // The scene: the victim's home with its canaries and a kept extraction,
  // and the neighbour's tree.
  void SetScene() {
    MakeHome();
    kept_ = KeptExtractionInHome();
    MakeNeighbourTree();
  }

  // Every canary of the scene: the victim's home and the neighbour's tree.
  Snapshot Canaries() {
    Snapshot all = TakeSnapshot(HOME);
    all.merge(TakeSnapshot(NEIGHBOUR_TREE));
    return all;
  }

  // The run placed itself at attempt 1 of /var/tmp, after attempt 0 failed
  // at the planted name, ran the probe with its own library, and removed
  // its working directory at the end.
  void ExpectRunAtNextAttempt(Process& launcher, size_t logMark) {
    std::string const lock = LockFile(VAR_TMP);
    std::string const used = WorkDir(VAR_TMP, 1);
    EXPECT_EQ(launcher.Wait(), Outcome::Exited(0)) << launcher.Stderr();
    EXPECT_EQ(ProbeValue(launcher.Stdout(), "argv[0]"), Entry(used));
    EXPECT_EQ(ProbeValue(launcher.Stdout(), "marker"), std::string(OWN_MARKER));
    EXPECT_FALSE(sandbox::Exists(NEIGHBOUR_MARK)) << "the neighbour's code ran as the victim";
    EXPECT_EQ(LogSince(logMark),
              Concat({FailedPlacement(lock), Placement(lock, used), {OpenSslSkipped()},
                      Release(lock, used, true)}));
    EXPECT_FALSE(sandbox::Exists(used));
  }

  std::string kept_;
};

class PlantedBeforeTheRunTest
    : public PlantedWorkingDirTest,
      public ::testing::WithParamInterface<std::tuple<Parties, Plant>> {
 protected:
  Parties CaseParties() const override { return std::get<0>(GetParam()); }
};

TEST_P(PlantedBeforeTheRunTest, IsPassedOverAndLeftAlone) {
  Plant const& plant = std::get<1>(GetParam());
  SetScene();
  std::string const planted = WorkDir(VAR_TMP);
  Shell(Attacker(), plant.script(kept_, planted));
  Snapshot const before = Canaries();
  Snapshot const plantedBefore = TakeSnapshot(planted);

  size_t const mark = LogMark();
  Process launcher = Start();
  ExpectRunAtNextAttempt(launcher, mark);
  EXPECT_EQ(Canaries(), before);
  EXPECT_EQ(TakeSnapshot(planted), plantedBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlantedBeforeTheRunTest,
    ::testing::Combine(::testing::ValuesIn(VICTIMS_AND_ATTACKERS), ::testing::ValuesIn(PLANTS)),
    [](auto const& info) {
      return NameOf(std::get<0>(info.param)) + std::get<1>(info.param).name;
    });

// A link to the victim's kept extraction, which a run that followed it would
// reuse, is re-pointed by the neighbour in the middle of the run.
class RepointedDuringTheRunTest : public PlantedWorkingDirTest,
                                  public ::testing::WithParamInterface<Parties> {
 protected:
  Parties CaseParties() const override { return GetParam(); }

  void PlantLinkToKeptExtraction() {
    SetScene();
    Shell(Attacker(), LinkTo(kept_, WorkDir(VAR_TMP)));
  }
  void Repoint(std::string const& target) {
    Shell(Attacker(), "ln -sfn " + Quoted(target) + " " + Quoted(WorkDir(VAR_TMP)));
  }
};

// The neighbour's tree goes in place while strace holds the entry process at
// its exec: a run that had followed the link would start the neighbour's
// entry executable.
TEST_P(RepointedDuringTheRunTest, ToTheNeighboursTreeBeforeTheExec) {
  PlantLinkToKeptExtraction();
  Snapshot const before = Canaries();

  size_t const mark = LogMark();
  Process strace = Start({.strace = {"-e", "trace=execve", "-e",
                                     std::string("inject=execve:delay_enter=") +
                                         RACE_DELAY_USEC + ":when=1"}});
  pid_t const entry = WaitForChildOf(TracedLauncher(strace));
  ASSERT_GT(entry, 0);
  ASSERT_TRUE(WaitForSyscall(entry, SYS_execve));
  Repoint(NEIGHBOUR_TREE);

  ExpectRunAtNextAttempt(strace, mark);
  EXPECT_EQ(Canaries(), before);
}

// The fake ~/.ssh goes in place while the entry executable runs: a release
// that followed the link would erase it.
TEST_P(RepointedDuringTheRunTest, ToTheVictimsSshDirectoryWhileTheAppRuns) {
  PlantLinkToKeptExtraction();
  Snapshot const before = Canaries();

  size_t const mark = LogMark();
  Process launcher = Start({.environment = {"PROBE_WAIT=file:/tmp/go"}});
  ASSERT_TRUE(launcher.WaitForOutput("probe.ready\n")) << launcher.Stderr();
  Repoint(SSH_DIR);
  sandbox::WriteFile("/tmp/go", "");

  ExpectRunAtNextAttempt(launcher, mark);
  EXPECT_EQ(Canaries(), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, RepointedDuringTheRunTest,
                         ::testing::ValuesIn(VICTIMS_AND_ATTACKERS),
                         [](auto const& info) { return NameOf(info.param); });

}  // namespace
}  // namespace nestbox::hardening
