// Deliverables that carry an OpenSSL tool, a FIPS module and a configuration
// file, run in a sandbox: the entry executable starts with the FIPS section
// enabled, or, without one of the three files, with nothing changed; only a
// tool that a signal ends, or a turn that cannot be taken, stops the run; a
// second run never meets a half-prepared configuration, and runs that share
// a working directory prepare it one after the other.

#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fips_test_support.h"
#include "sandbox/sandbox.h"

namespace nestbox::fips_test {
namespace {

using sandbox::Outcome;
using sandbox::Process;

constexpr char APP_DIR[] = "/tmp/apps";
constexpr char LAUNCHER[] = "/tmp/apps/Fips";
constexpr char LOCK[] = "/tmp/apps/Fips.lock";
constexpr char WORK[] = "/tmp/apps/Fips.data";
constexpr char WORK_1[] = "/tmp/apps/Fips.data_1";
constexpr char TURN_LOCK[] = "/tmp/apps/Fips.data/openssl.cnf.lock";

// What the deliverables carry as openssl.cnf (made by this directory's
// CMakeLists.txt), and what the preparation makes of it: both commented
// lines switched on, the near-misses left, a final newline added.
std::string const ORIGINAL_CONFIG =
    "openssl_conf = openssl_init\n"
    "\n"
    "[openssl_init]\n"
    "providers = provider_sect\n"
    "\n"
    "[provider_sect]\n"
    "default = default_sect\n"
    "# fips = fips_sect\n"
    "#fips = fips_sect\n"
    "# fips = fips_sect \n"
    " # fips = fips_sect\n"
    "# fips = fips_sect\r\n"
    "\n"
    "[default_sect]\n"
    "activate = 1\n"
    "# fips = fips_sect";
std::string const ENABLED_CONFIG =
    "openssl_conf = openssl_init\n"
    "\n"
    "[openssl_init]\n"
    "providers = provider_sect\n"
    "\n"
    "[provider_sect]\n"
    "default = default_sect\n"
    "fips = fips_sect\n"
    "#fips = fips_sect\n"
    "# fips = fips_sect \n"
    " # fips = fips_sect\n"
    "# fips = fips_sect\r\n"
    "\n"
    "[default_sect]\n"
    "activate = 1\n"
    "fips = fips_sect\n";

std::string Entry(std::string const& workDir) { return workDir + "/show_config"; }

// What show_config printed.
struct EntryReport {
  std::optional<std::string> argv0;
  std::optional<std::string> configMode;  // octal
  std::optional<std::string> config;
  bool ready = false;

  explicit EntryReport(std::string const& output) {
    std::string const begin = "entry.config-begin\n";
    std::string const end = "entry.config-end\n";
    std::size_t const configStart = output.find(begin);
    std::size_t const configEnd = output.rfind(end);
    std::string lines = output;
    if (configStart != std::string::npos && configEnd != std::string::npos &&
        configEnd >= configStart + begin.size()) {
      config = output.substr(configStart + begin.size(),
                             configEnd - configStart - begin.size());
      lines = output.substr(0, configStart) + output.substr(configEnd + end.size());
    }
    std::size_t from = 0;
    while (from < lines.size()) {
      std::size_t const newline = lines.find('\n', from);
      std::string const line = lines.substr(from, newline - from);
      if (line.starts_with("entry.argv0=")) argv0 = line.substr(12);
      if (line.starts_with("entry.config-mode=")) configMode = line.substr(18);
      if (line == "entry.ready") ready = true;
      if (newline == std::string::npos) break;
      from = newline + 1;
    }
  }
};

std::vector<std::string> Placement(std::string const& workDir) {
  return {std::string("info: acquired lock ") + LOCK, "info: Extracting contents to " + workDir,
          std::string("info: releasing lock ") + LOCK};
}
std::vector<std::string> Release(std::string const& workDir) {
  return {std::string("info: acquired lock ") + LOCK, "info: Erasing contents at " + workDir,
          std::string("info: releasing lock ") + LOCK};
}
// The release of a run that another run still uses: nothing is erased.
std::vector<std::string> ReleaseInUse() {
  return {std::string("info: acquired lock ") + LOCK,
          std::string("info: releasing lock ") + LOCK};
}
std::string const SKIPPED =
    "info: OpenSSL files are not provided, skipping OpenSSL initialization";
std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (auto const& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class FipsLauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Read now: the build tree may lie under /tmp, which the sandbox hides.
    ASSERT_EQ(ReadHostFile(FIPS_CONFIG), ORIGINAL_CONFIG);
    ASSERT_EQ(ReadHostFile(FIPS_ENABLED_CONFIG), ENABLED_CONFIG);
    section_ = StandInSection(ReadHostFile(FIPS_MODULE));
  }

  // Enters a sandbox with the deliverable installed as LAUNCHER, whose
  // directory belongs to the user that launchers run as (none: the test's
  // own, root). False, with the reason in skipReason_, when this system
  // cannot make such a sandbox.
  bool Enter(char const* deliverable, std::optional<uid_t> user = std::nullopt) {
    user_ = user;
    sandbox::SandboxOptions options;
    uid_t const owner = user.value_or(0);
    options.appDirMount = {.mode = 0755, .owner = owner, .group = owner};
    options.install.push_back({deliverable, LAUNCHER, 0755});
    sandbox_ = sandbox::Sandbox::Enter(options, &skipReason_);
    if (sandbox_ && user && !sandbox_->CanSwitchUsers()) {
      skipReason_ = sandbox::Sandbox::NoUserSwitchReason();
      return false;
    }
    return sandbox_ != nullptr;
  }

  Process Start(std::vector<std::string> const& environment = {}, mode_t umask = 022) {
    sandbox::SpawnOptions options;
    options.argv = {LAUNCHER};
    options.environment.insert(options.environment.end(), environment.begin(),
                               environment.end());
    options.umask = umask;
    options.uid = user_;
    Process process = Process::Spawn(options);
    launchers_.push_back(process.Pid());
    return process;
  }

  // The entries of one launcher as "info: TEXT" or "err: TEXT". Every entry
  // must come from a launcher of this case, under the launcher's identity.
  std::vector<std::string> LauncherLog(pid_t launcher) {
    std::vector<std::string> lines;
    for (sandbox::LogEntry const& entry : sandbox_->Log().Entries()) {
      EXPECT_NE(std::find(launchers_.begin(), launchers_.end(), entry.pid), launchers_.end())
          << entry.frame;
      EXPECT_EQ(entry.ident, "kolvonestbox") << entry.frame;
      EXPECT_EQ(entry.facility, LOG_USER >> 3) << entry.frame;
      if (entry.pid != launcher) continue;
      lines.push_back((entry.priority == LOG_ERR ? "err: " : "info: ") + entry.text);
    }
    return lines;
  }

  std::string section_;  // what the stand-in answers for the carried module
  std::string skipReason_;
  std::optional<uid_t> user_;
  std::unique_ptr<sandbox::Sandbox> sandbox_;

 private:
  std::vector<pid_t> launchers_;
};

struct Prepared {
  char const* name;
  mode_t umask;
  char const* expectedMode;
  std::optional<std::string> libraryPath;
  std::optional<uid_t> user;
  char const* workDir = WORK;
};
void PrintTo(Prepared const& c, std::ostream* out) { *out << c.name; }

class PreparedTest : public FipsLauncherTest, public ::testing::WithParamInterface<Prepared> {};

TEST_P(PreparedTest, EntryStartsWithTheFipsSectionEnabled) {
  Prepared const& c = GetParam();
  if (!Enter(DELIVERABLE_PREPARED, c.user)) GTEST_SKIP() << skipReason_;
  std::vector<std::string> environment{std::string(STAND_IN_RECORD) + "=/tmp/record"};
  if (c.libraryPath) environment.push_back("LD_LIBRARY_PATH=" + *c.libraryPath);

  Process launcher = Start(environment, c.umask);
  ASSERT_EQ(launcher.Wait(), Outcome::Exited(0)) << launcher.Stderr();

  EntryReport const report(launcher.Stdout());
  EXPECT_EQ(report.argv0, Entry(c.workDir));
  EXPECT_EQ(report.config, ENABLED_CONFIG + section_);
  EXPECT_EQ(report.configMode, c.expectedMode);
  EXPECT_TRUE(report.ready) << launcher.Stdout();
  // The tool keeps the launcher's environment and inherits the working
  // directory's descriptor (with its shared lock), nothing else.
  EXPECT_EQ(StandInCalls("/tmp/record"),
            (std::vector<std::vector<std::string>>{
                ExpectedStandInCall(c.workDir, c.libraryPath, {c.workDir})}));
  EXPECT_EQ(launcher.Stderr(), "");
  EXPECT_EQ(LauncherLog(launcher.Pid()),
            Concat({Placement(c.workDir), Release(c.workDir)}));
  EXPECT_EQ(sandbox::ListDir(APP_DIR), std::vector<std::string>{"Fips"});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PreparedTest,
    ::testing::Values(Prepared{"Umask022", 022, "644", std::nullopt},
                      Prepared{"Umask077", 077, "600", std::nullopt},
                      Prepared{"LibraryPathSet", 022, "644", "/opt/lib:/usr/local/lib"},
                      Prepared{"AsNobody", 022, "644", std::nullopt, 65534,
                               "/tmp/apps/Fips.data_nobody"}),
    [](auto const& info) { return std::string(info.param.name); });

struct Missing {
  char const* name;
  char const* deliverable;
  bool carriesConfig;
};
void PrintTo(Missing const& c, std::ostream* out) { *out << c.name; }

class MissingTest : public FipsLauncherTest, public ::testing::WithParamInterface<Missing> {};

TEST_P(MissingTest, WithoutAllThreeFilesNothingIsPrepared) {
  Missing const& c = GetParam();
  if (!Enter(c.deliverable)) GTEST_SKIP() << skipReason_;

  Process launcher = Start({std::string(STAND_IN_RECORD) + "=/tmp/record"});
  ASSERT_EQ(launcher.Wait(), Outcome::Exited(0)) << launcher.Stderr();

  EntryReport const report(launcher.Stdout());
  EXPECT_EQ(report.argv0, Entry(WORK));
  if (c.carriesConfig) {
    EXPECT_EQ(report.config, ORIGINAL_CONFIG);
    EXPECT_EQ(report.configMode, "600");  // as extracted
  } else {
    EXPECT_EQ(report.config, std::nullopt);
  }
  EXPECT_FALSE(sandbox::Exists("/tmp/record")) << "the tool ran";
  EXPECT_EQ(LauncherLog(launcher.Pid()), Concat({Placement(WORK), {SKIPPED}, Release(WORK)}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MissingTest,
    ::testing::Values(Missing{"NoTool", DELIVERABLE_NO_TOOL, true},
                      Missing{"NoModule", DELIVERABLE_NO_MODULE, true},
                      Missing{"NoConfig", DELIVERABLE_NO_CONFIG, false}),
    [](auto const& info) { return std::string(info.param.name); });

struct ToolStatus {
  char const* name;
  char const* deliverable;
  std::vector<std::string> environment;
  bool toolRuns;  // false: the exec fails and the child ends with 254
};
void PrintTo(ToolStatus const& c, std::ostream* out) { *out << c.name; }

class ToolStatusTest : public FipsLauncherTest,
                       public ::testing::WithParamInterface<ToolStatus> {};

// Whatever status the tool ends with, the run goes on to the entry.
TEST_P(ToolStatusTest, EntryStartsWhateverTheToolsExitStatus) {
  ToolStatus const& c = GetParam();
  if (!Enter(c.deliverable)) GTEST_SKIP() << skipReason_;
  std::vector<std::string> environment = c.environment;
  environment.push_back(std::string(STAND_IN_RECORD) + "=/tmp/record");

  Process launcher = Start(environment);
  ASSERT_EQ(launcher.Wait(), Outcome::Exited(0)) << launcher.Stderr();

  EntryReport const report(launcher.Stdout());
  EXPECT_EQ(report.argv0, Entry(WORK));
  EXPECT_EQ(report.config, ENABLED_CONFIG + (c.toolRuns ? section_ : ""));
  EXPECT_EQ(StandInCalls("/tmp/record").size(), c.toolRuns ? 1u : 0u);
  EXPECT_EQ(LauncherLog(launcher.Pid()),
            Concat({Placement(WORK), Release(WORK)}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolStatusTest,
    ::testing::Values(
        ToolStatus{"ExitsWithThree", DELIVERABLE_PREPARED, {std::string(STAND_IN_EXIT) + "=3"},
                   true},
        ToolStatus{"ExitsWith254", DELIVERABLE_PREPARED, {std::string(STAND_IN_EXIT) + "=254"},
                   true},
        ToolStatus{"NotExecutable", DELIVERABLE_TOOL_NOT_EXECUTABLE, {}, false},
        ToolStatus{"NotAProgram", DELIVERABLE_TOOL_NOT_A_PROGRAM, {}, false}),
    [](auto const& info) { return std::string(info.param.name); });

// The machine's own tool refuses a module that is no provider, says so on
// its standard error and ends with a failure status: the entry starts with
// the line switched on and nothing appended.
TEST_F(FipsLauncherTest, RealToolRefusingTheModuleDoesNotStopTheRun) {
  if (std::string(DELIVERABLE_REAL_TOOL).empty()) {
    GTEST_SKIP() << "no openssl tool on this machine to carry";
  }
  if (!Enter(DELIVERABLE_REAL_TOOL)) GTEST_SKIP() << skipReason_;

  Process launcher = Start();
  ASSERT_EQ(launcher.Wait(), Outcome::Exited(0)) << launcher.Stderr();

  EntryReport const report(launcher.Stdout());
  EXPECT_EQ(report.argv0, Entry(WORK));
  EXPECT_EQ(report.config, ENABLED_CONFIG);
  EXPECT_NE(launcher.Stderr().find(std::string(WORK) + "/fips.so"), std::string::npos)
      << launcher.Stderr();
  EXPECT_EQ(LauncherLog(launcher.Pid()),
            Concat({Placement(WORK), Release(WORK)}));
}

struct Death {
  char const* name;
  int forwarded;           // sent to the launcher while the tool waits; 0: none
  char const* selfSignal;  // the tool dies of it by itself; nullptr: none
};
void PrintTo(Death const& c, std::ostream* out) { *out << c.name; }

class ToolDeathTest : public FipsLauncherTest, public ::testing::WithParamInterface<Death> {};

// A tool that a signal ends stops the run before the entry: the working
// directory is released, then the failure logged, and the launcher ends
// with 255.
TEST_P(ToolDeathTest, StopsTheRunWithStatus255) {
  Death const& c = GetParam();
  if (!Enter(DELIVERABLE_PREPARED)) GTEST_SKIP() << skipReason_;
  std::vector<std::string> environment{std::string(STAND_IN_RECORD) + "=/tmp/record",
                                       std::string(STAND_IN_READY) + "=/tmp/tool-ready"};
  if (c.forwarded != 0) environment.push_back(std::string(STAND_IN_WAIT) + "=/tmp/never");
  if (c.selfSignal != nullptr) {
    environment.push_back(std::string(STAND_IN_DIE) + "=" + c.selfSignal);
  }

  Process launcher = Start(environment);
  if (c.forwarded != 0) {
    // The tool has replaced the forked child, and the launcher, back from
    // the fork, knows its id: the signal can only go to the tool.
    ASSERT_TRUE(WaitForFile("/tmp/tool-ready"));
    ASSERT_TRUE(sandbox::WaitUntilWaitingForChild(launcher.Pid()));
    launcher.Signal(c.forwarded);
  }
  EXPECT_EQ(launcher.Wait(), Outcome::Exited(255)) << launcher.Stderr();

  EXPECT_EQ(launcher.Stdout(), "") << "the entry ran";
  EXPECT_EQ(StandInCalls("/tmp/record").size(), 1u);
  EXPECT_EQ(LauncherLog(launcher.Pid()),
            Concat({Placement(WORK), Release(WORK), {"err: Unable to start executable"}}));
  EXPECT_EQ(sandbox::ListDir(APP_DIR), std::vector<std::string>{"Fips"});
}

INSTANTIATE_TEST_SUITE_P(Cases, ToolDeathTest,
                         ::testing::Values(Death{"TermForwarded", SIGTERM, nullptr},
                                           Death{"HupForwarded", SIGHUP, nullptr},
                                           Death{"IntForwarded", SIGINT, nullptr},
                                           Death{"KilledByItself", 0, "KILL"},
                                           Death{"TermByItself", 0, "TERM"}),
                         [](auto const& info) { return std::string(info.param.name); });

struct SecondRun {
  char const* name;
  mode_t umask;  // 022: the rewritten file fails the ownership test; 077: the size test
  mode_t configMode;  // of the rewritten configuration file
};
void PrintTo(SecondRun const& c, std::ostream* out) { *out << c.name; }

class SecondRunTest : public FipsLauncherTest,
                      public ::testing::WithParamInterface<SecondRun> {};

// Run A has rewritten the configuration of the shared directory, and its
// tool has not answered yet, when run B starts. B does not wait for A: it
// meets the rewritten file, fails to verify the directory and moves on to
// the next attempt number, where it prepares and runs on its own. A holds
// its turn through the lock file inside its working directory until its
// tool has ended; the file goes with the directory.
TEST_P(SecondRunTest, MeetsTheRewrittenConfigurationAndMovesToTheNextAttempt) {
  SecondRun const& c = GetParam();
  if (!Enter(DELIVERABLE_PREPARED)) GTEST_SKIP() << skipReason_;
  std::string const config = std::string(WORK) + "/openssl.cnf";

  Process first = Start({std::string(STAND_IN_RECORD) + "=/tmp/record-first",
                         std::string(STAND_IN_READY) + "=/tmp/tool-ready",
                         std::string(STAND_IN_WAIT) + "=/tmp/tool-go",
                         "SHOW_CONFIG_WAIT=/tmp/entry-go"},
                        c.umask);
  ASSERT_TRUE(WaitForFile("/tmp/tool-ready"));
  EXPECT_EQ(sandbox::ReadFile(config), ENABLED_CONFIG);
  std::optional<sandbox::FileInfo> const rewritten = sandbox::Inspect(config);
  ASSERT_TRUE(rewritten);
  EXPECT_EQ(rewritten->permissions, c.configMode);
  std::optional<sandbox::FileInfo> const lock = sandbox::Inspect(TURN_LOCK);
  ASSERT_TRUE(lock) << "no lock file in the working directory";
  EXPECT_TRUE(lock->IsRegular());
  EXPECT_EQ(lock->owner, 0u);  // the user that the launchers run as
  EXPECT_EQ(FlockHolders(TURN_LOCK), std::vector<pid_t>{first.Pid()});
  EXPECT_EQ(sandbox::ListDir(APP_DIR), (std::vector<std::string>{"Fips", "Fips.data"}));

  Process second = Start({std::string(STAND_IN_RECORD) + "=/tmp/record-second"}, c.umask);
  ASSERT_EQ(second.Wait(), Outcome::Exited(0)) << second.Stderr();

  EntryReport const secondReport(second.Stdout());
  EXPECT_EQ(secondReport.argv0, Entry(WORK_1));
  EXPECT_EQ(secondReport.config, ENABLED_CONFIG + section_);
  EXPECT_EQ(StandInCalls("/tmp/record-second"),
            (std::vector<std::vector<std::string>>{
                ExpectedStandInCall(WORK_1, std::nullopt, {WORK_1})}));
  EXPECT_EQ(LauncherLog(second.Pid()),
            Concat({Placement(WORK), Placement(WORK_1), Release(WORK_1)}));
  // A is where it was: its tool has not answered, its turn is still held.
  EXPECT_EQ(sandbox::ReadFile(config), ENABLED_CONFIG);
  EXPECT_EQ(FlockHolders(TURN_LOCK), std::vector<pid_t>{first.Pid()});
  EXPECT_EQ(sandbox::ListDir(APP_DIR), (std::vector<std::string>{"Fips", "Fips.data"}));

  sandbox::WriteFile("/tmp/tool-go", "");
  ASSERT_TRUE(first.WaitForOutput("entry.ready\n")) << first.Stderr();
  // The turn ends with the preparation: the entry holds no lock on the file.
  EXPECT_EQ(FlockHolders(TURN_LOCK), std::vector<pid_t>{});
  sandbox::WriteFile("/tmp/entry-go", "");
  EXPECT_EQ(first.Wait(), Outcome::Exited(0)) << first.Stderr();
  EntryReport const firstReport(first.Stdout());
  EXPECT_EQ(firstReport.argv0, Entry(WORK));
  EXPECT_EQ(firstReport.config, ENABLED_CONFIG + section_);
  EXPECT_EQ(StandInCalls("/tmp/record-first"),
            (std::vector<std::vector<std::string>>{
                ExpectedStandInCall(WORK, std::nullopt, {WORK})}));
  EXPECT_EQ(LauncherLog(first.Pid()), Concat({Placement(WORK), Release(WORK)}));
  EXPECT_EQ(sandbox::ListDir(APP_DIR), std::vector<std::string>{"Fips"});
}

INSTANTIATE_TEST_SUITE_P(Cases, SecondRunTest,
                         ::testing::Values(SecondRun{"Umask022", 022, 0644},
                                           SecondRun{"Umask077", 077, 0600}),
                         [](auto const& info) { return std::string(info.param.name); });

// Runs A and B share the working directory of a deliverable whose
// configuration has nothing left to switch on, under umask 077: A's rewrite
// gives back the same bytes with mode 0600, so B, verifying while A's tool
// has not answered yet, takes the directory up. B's preparation waits for
// A's turn, then rewrites the file with A's section in it and appends its
// own: the section twice, each whole, one after the other.
TEST_F(FipsLauncherTest, RunsSharingTheDirectoryPrepareItOneAfterTheOther) {
  if (!Enter(DELIVERABLE_ALREADY_ENABLED)) GTEST_SKIP() << skipReason_;
  std::string const config = std::string(WORK) + "/openssl.cnf";

  Process first = Start({std::string(STAND_IN_RECORD) + "=/tmp/record-first",
                         std::string(STAND_IN_READY) + "=/tmp/first-ready",
                         std::string(STAND_IN_WAIT) + "=/tmp/first-go"},
                        077);
  ASSERT_TRUE(WaitForFile("/tmp/first-ready"));
  EXPECT_EQ(sandbox::ReadFile(config), ENABLED_CONFIG);

  Process second = Start({std::string(STAND_IN_RECORD) + "=/tmp/record-second",
                          std::string(STAND_IN_READY) + "=/tmp/second-ready",
                          std::string(STAND_IN_WAIT) + "=/tmp/second-go"},
                         077);
  ASSERT_TRUE(WaitForBlockedFlock(second.Pid(), TURN_LOCK));
  EXPECT_EQ(LauncherLog(second.Pid()), Placement(WORK));
  EXPECT_EQ(FlockHolders(TURN_LOCK), std::vector<pid_t>{first.Pid()});
  EXPECT_EQ(sandbox::ReadFile(config), ENABLED_CONFIG);
  EXPECT_FALSE(sandbox::Exists("/tmp/record-second")) << "B's tool ran out of turn";

  // B's tool waits after B's rewrite: whichever file A's entry opens, it
  // holds A's section alone.
  sandbox::WriteFile("/tmp/first-go", "");
  ASSERT_TRUE(WaitForFile("/tmp/second-ready"));
  EXPECT_EQ(FlockHolders(TURN_LOCK), std::vector<pid_t>{second.Pid()});
  // B still holds the directory, so A's release leaves it.
  ASSERT_EQ(first.Wait(), Outcome::Exited(0)) << first.Stderr();
  EntryReport const firstReport(first.Stdout());
  EXPECT_EQ(firstReport.argv0, Entry(WORK));
  EXPECT_EQ(firstReport.config, ENABLED_CONFIG + section_);
  EXPECT_EQ(firstReport.configMode, "600");
  EXPECT_EQ(LauncherLog(first.Pid()), Concat({Placement(WORK), ReleaseInUse()}));
  EXPECT_EQ(sandbox::ReadFile(config), ENABLED_CONFIG + section_);

  sandbox::WriteFile("/tmp/second-go", "");
  ASSERT_EQ(second.Wait(), Outcome::Exited(0)) << second.Stderr();
  EntryReport const secondReport(second.Stdout());
  EXPECT_EQ(secondReport.argv0, Entry(WORK));
  EXPECT_EQ(secondReport.config, ENABLED_CONFIG + section_ + section_);
  EXPECT_EQ(secondReport.configMode, "600");
  std::vector<std::vector<std::string>> const oneCall{
      ExpectedStandInCall(WORK, std::nullopt, {WORK})};
  EXPECT_EQ(StandInCalls("/tmp/record-first"), oneCall);
  EXPECT_EQ(StandInCalls("/tmp/record-second"), oneCall);
  EXPECT_EQ(LauncherLog(second.Pid()), Concat({Placement(WORK), Release(WORK)}));
  EXPECT_EQ(sandbox::ListDir(APP_DIR), std::vector<std::string>{"Fips"});
}

// Contents that carry a directory where the preparation's lock file
// belongs: the turn cannot be taken, so the run stops before the tool and
// the entry, releases the working directory and ends with 255.
TEST_F(FipsLauncherTest, ATurnThatCannotBeTakenStopsTheRunWithStatus255) {
  if (!Enter(DELIVERABLE_LOCK_NAME_TAKEN)) GTEST_SKIP() << skipReason_;

  Process launcher = Start({std::string(STAND_IN_RECORD) + "=/tmp/record"});
  EXPECT_EQ(launcher.Wait(), Outcome::Exited(255)) << launcher.Stderr();

  EXPECT_EQ(launcher.Stdout(), "") << "the entry ran";
  EXPECT_FALSE(sandbox::Exists("/tmp/record")) << "the tool ran";
  EXPECT_EQ(LauncherLog(launcher.Pid()),
            Concat({Placement(WORK), Release(WORK),
                    {"err: Failed to create lock file: Is a directory"}}));
  EXPECT_EQ(sandbox::ListDir(APP_DIR), std::vector<std::string>{"Fips"});
}

}  // namespace
}  // namespace nestbox::fips_test
