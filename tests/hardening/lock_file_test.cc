// The lock file lies in a directory that others can write to, so a
// neighbour can put anything at its name: a link, a fifo, a directory, or a
// file of its own. Nothing is ever created through a link, nothing blocks
// on a fifo, and a parent whose lock file is unusable is passed over.

#include <optional>
#include <tuple>

#include "hardening_test.h"

namespace nestbox::hardening {
namespace {

struct Plant {
  char const* name;
  // The attacker's shell command, given the lock file path. A command that
  // must go on running (to hold something open) prints "ready" and stays.
  std::string (*script)(std::string const& lockFile);
  bool keepsRunning;
};
void PrintTo(Plant const& p, std::ostream* out) { *out << p.name; }

std::string const PROFILE = std::string(HOME) + "/.profile";

std::vector<Plant> const PLANTS_BEFORE_THE_RUN{
    {"DanglingLinkIntoVictimsHome",
     [](std::string const& lock) { return "ln -s " + PROFILE + " " + Quoted(lock); }, false},
    {"LinkToVictimsFile",
     [](std::string const& lock) {
       return "ln -s " + std::string(AUTHORIZED_KEYS) + " " + Quoted(lock);
     },
     false},
    {"FifoWithoutReader", [](std::string const& lock) { return "mkfifo " + Quoted(lock); },
     false},
    {"FifoHeldOpenByTheNeighbour",
     [](std::string const& lock) {
       return "mkfifo " + Quoted(lock) + "\nexec 3<>" + Quoted(lock) +
              "\necho ready\nexec sleep 600";
     },
     true},
    {"Directory", [](std::string const& lock) { return "mkdir " + Quoted(lock); }, false},
};

class PlantedLockFileTest : public HardeningTest,
                            public ::testing::WithParamInterface<std::tuple<Parties, Plant>> {
 protected:
  Parties CaseParties() const override { return std::get<0>(GetParam()); }
  // The launcher's own directory is shared like /tmp: world-writable and
  // sticky, so it is the first choice and the neighbour can plant there.
  Layout CaseLayout() const override { return {.launcherDirMode = 01777}; }

  std::optional<Process> PlantAt(std::string const& lock) {
    Plant const& p = std::get<1>(GetParam());
    if (p.keepsRunning) return StartShell(Attacker(), p.script(lock));
    Shell(Attacker(), p.script(lock));
    return std::nullopt;
  }
};

TEST_P(PlantedLockFileTest, BeforeTheRunMakesTheRunPassOverThatParent) {
  MakeHome();
  std::string const planted = LockFile(APP_DIR);
  std::optional<Process> const holder = PlantAt(planted);
  Snapshot const plantedBefore = TakeSnapshot(planted);
  Snapshot const homeBefore = TakeSnapshot(HOME);

  size_t const mark = LogMark();
  Process launcher = RunToEnd();
  std::string const lock = LockFile(VAR_TMP);
  std::string const used = WorkDir(VAR_TMP);
  EXPECT_EQ(launcher.Wait(), Outcome::Exited(0)) << launcher.Stderr();
  EXPECT_EQ(ProbeValue(launcher.Stdout(), "argv[0]"), Entry(used));
  EXPECT_EQ(LogSince(mark),
            Concat({Placement(lock, used), {OpenSslSkipped()}, Release(lock, used, true)}));
  EXPECT_EQ(TakeSnapshot(planted), plantedBefore);
  EXPECT_EQ(TakeSnapshot(HOME), homeBefore);
  EXPECT_EQ(sandbox::ListDir(APP_DIR), (std::vector<std::string>{"Probe", "Probe.lock"}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlantedLockFileTest,
    ::testing::Combine(::testing::ValuesIn(VICTIMS_AND_ATTACKERS),
                       ::testing::ValuesIn(PLANTS_BEFORE_THE_RUN)),
    [](auto const& info) {
      return NameOf(std::get<0>(info.param)) + std::get<1>(info.param).name;
    });

struct PlantedLater {
  char const* name;
  std::string (*script)(std::string const& lockFile);
};
void PrintTo(PlantedLater const& p, std::ostream* out) { *out << p.name; }

class LockFilePlantedWhileTheAppRunsTest
    : public HardeningTest,
      public ::testing::WithParamInterface<std::tuple<Parties, PlantedLater>> {
 protected:
  Parties CaseParties() const override { return std::get<0>(GetParam()); }
};

// The run removed its lock file when its placement ended; the neighbour puts
// something at the name before the run's release takes it again. The
// release fails at once, and the working directory stays, unerased, since
// nothing may be erased without the lock file.
TEST_P(LockFilePlantedWhileTheAppRunsTest, MakesTheReleaseFailWithoutFollowingOrBlocking) {
  PlantedLater const& p = std::get<1>(GetParam());
  MakeHome();
  Snapshot const homeBefore = TakeSnapshot(HOME);
  std::string const lock = LockFile(VAR_TMP);
  std::string const used = WorkDir(VAR_TMP);

  size_t const mark = LogMark();
  Process launcher = Start({.environment = {"PROBE_WAIT=file:/tmp/go"}});
  ASSERT_TRUE(launcher.WaitForOutput("probe.ready\n")) << launcher.Stderr();
  ASSERT_FALSE(sandbox::Exists(lock));
  Shell(Attacker(), p.script(lock));
  Snapshot const plantedBefore = TakeSnapshot(lock);
  sandbox::WriteFile("/tmp/go", "");

  EXPECT_EQ(launcher.Wait(), Outcome::Exited(255));
  // Raised by the release, and again by its retry when the record goes.
  std::string const refused = Error("Failed to create lock file: ");
  EXPECT_THAT(LogSince(mark), LogIs(Concat({Placement(lock, used), {OpenSslSkipped()}}),
                                    {refused, refused}));
  EXPECT_EQ(TakeSnapshot(lock), plantedBefore);
  EXPECT_EQ(TakeSnapshot(HOME), homeBefore);
  EXPECT_TRUE(sandbox::Exists(Entry(used)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LockFilePlantedWhileTheAppRunsTest,
    ::testing::Combine(
        ::testing::ValuesIn(VICTIMS_AND_ATTACKERS),
        ::testing::Values(
            PlantedLater{"DanglingLinkIntoVictimsHome",
                         [](std::string const& lock) {
                           return "ln -s " + PROFILE + " " + Quoted(lock);
                         }},
            PlantedLater{"FifoWithoutReader",
                         [](std::string const& lock) { return "mkfifo " + Quoted(lock); }})),
    [](auto const& info) {
      return NameOf(std::get<0>(info.param)) + std::get<1>(info.param).name;
    });

// Far beyond what a run takes, and short of the general hang guard: a run
// still waiting at this point waits for the neighbour, who never lets go.
constexpr std::chrono::milliseconds STALL_GUARD{10'000};

struct Held {
  char const* name;
  bool leftByTheVictim;  // else the neighbour creates the file
};
void PrintTo(Held const& h, std::ostream* out) { *out << h.name; }

class HeldLockFileTest : public HardeningTest,
                         public ::testing::WithParamInterface<std::tuple<Parties, Held>> {
 protected:
  Parties CaseParties() const override { return std::get<0>(GetParam()); }
};

// A flock needs no more than a descriptor opened for reading. The neighbour
// tries to hold one on a regular file at the lock file's name: its own (mode
// 0666, so that every user's run could open it), or the one that a killed run
// of the victim left behind (private to the victim, so the neighbour cannot
// even open it).
TEST_P(HeldLockFileTest, DoesNotStallTheVictimsRun) {
  Held const& h = std::get<1>(GetParam());
  std::string const lock = LockFile(VAR_TMP);
  if (h.leftByTheVictim) {
    // Killed while it waits for the lock file, after its probe created it.
    RunToEnd({.strace = {"-e", "trace=flock", "-e", "inject=flock:signal=KILL:when=3"}});
    std::optional<sandbox::FileInfo> const left = sandbox::Inspect(lock);
    ASSERT_TRUE(left && left->IsRegular());
    ASSERT_EQ(left->permissions, 0600);
    ASSERT_EQ(left->owner, Victim().uid);
    // The neighbour cannot so much as open it, let alone hold it.
    Shell(Attacker(), "if flock -x " + Quoted(lock) + " true; then exit 1; fi");
  }
  std::optional<Process> holder;
  if (!h.leftByTheVictim) {
    holder.emplace(StartShell(Attacker(), "umask 0\nexec flock -x " + Quoted(lock) +
                                              " sh -c 'echo ready; exec sleep 600'"));
  }

  Process launcher = Start();
  EXPECT_EQ(launcher.Wait(STALL_GUARD), Outcome::Exited(0))
      << "the run waits for a lock file that the neighbour holds";
  EXPECT_EQ(ProbeValue(launcher.Stdout(), "marker"), std::string(OWN_MARKER));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeldLockFileTest,
    ::testing::Combine(::testing::ValuesIn(VICTIMS_AND_ATTACKERS),
                       ::testing::Values(Held{"PlantedByTheNeighbour", false},
                                         Held{"LeftByAKilledRunOfTheVictim", true})),
    [](auto const& info) {
      return NameOf(std::get<0>(info.param)) + std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace nestbox::hardening
