#include <signal.h>
#include <sys/statfs.h>
#include <sys/stat.h>
#include <syslog.h>
#include <linux/magic.h>

#include <gtest/gtest.h>

#include <string>
#include <system_error>
#include <vector>

#include "sandbox/sandbox.h"

namespace nestbox::sandbox {
namespace {

using namespace std::chrono_literals;

constexpr char LOG_WRITER[] = "/tmp/apps/log_writer";

class SandboxTest : public ::testing::Test {
 protected:
  virtual SandboxOptions Options() {
    SandboxOptions options;
    options.install.push_back({LOG_WRITER_PATH, LOG_WRITER, 0755});
    return options;
  }

  void SetUp() override {
    std::string reason;
    sandbox_ = Sandbox::Enter(Options(), &reason);
    if (!sandbox_) GTEST_SKIP() << reason;
  }

  Outcome Run(std::vector<std::string> argv) {
    return Process::Spawn({.argv = std::move(argv)}).Wait();
  }

  std::unique_ptr<Sandbox> sandbox_;
};

TEST_F(SandboxTest, LogEntriesArriveInOrderWithTheirHeaders) {
  // Far more entries than the kernel queues for a socket that nobody reads.
  Process writer = Process::Spawn(
      {.argv = {LOG_WRITER, "selftest", "3:Failed at 100%s [x]: Is a directory",
                "repeat:40", "6:last"}});
  ASSERT_EQ(writer.Wait(), Outcome::Exited(0)) << writer.Stderr();

  std::vector<LogEntry> const entries = sandbox_->Log().Entries();
  ASSERT_EQ(entries.size(), 42u);
  for (LogEntry const& entry : entries) {
    EXPECT_EQ(entry.ident, "selftest") << entry.frame;
    EXPECT_EQ(entry.pid, writer.Pid()) << entry.frame;
    EXPECT_EQ(entry.facility, LOG_USER >> 3) << entry.frame;
  }
  EXPECT_EQ(entries.front().priority, LOG_ERR);
  EXPECT_EQ(entries.front().text, "Failed at 100%s [x]: Is a directory");
  for (int n = 0; n < 40; ++n) {
    EXPECT_EQ(entries[1 + n].text, "entry " + std::to_string(n));
    EXPECT_EQ(entries[1 + n].priority, LOG_INFO);
  }
  EXPECT_EQ(entries.back().text, "last");
  EXPECT_EQ(sandbox_->Log().EntriesOf(writer.Pid()).size(), 42u);
}

TEST_F(SandboxTest, WaitForSeesAnEntryOfARunningProcess) {
  Process writer = Process::Spawn(
      {.argv = {"/bin/sh", "-c", std::string(LOG_WRITER) + " selftest 6:hello && sleep 30"}});
  EXPECT_TRUE(sandbox_->Log().WaitFor(
      [](LogEntry const& entry) { return entry.text == "hello"; }, HANG_GUARD));
  EXPECT_FALSE(sandbox_->Log().WaitFor(
      [](LogEntry const& entry) { return entry.text == "never"; }, 50ms));
}

class FreshMountsTest : public SandboxTest {
 protected:
  SandboxOptions Options() override {
    for (char const* path : {"/tmp", "/var/tmp"}) {
      struct stat st {};
      EXPECT_EQ(::stat(path, &st), 0) << path;
      hostDevices_.push_back(st.st_dev);
    }
    SandboxOptions options = SandboxTest::Options();
    options.appDirMount.mode = 0751;
    return options;
  }

  std::vector<dev_t> hostDevices_;
};

TEST_F(FreshMountsTest, TmpVarTmpAndTheAppDirAreNewTmpfsMounts) {
  struct Expected {
    char const* path;
    mode_t mode;
    std::vector<std::string> names;
  };
  for (Expected const& e : {Expected{"/tmp", 01777, {"apps"}},
                            Expected{"/var/tmp", 01777, {}},
                            Expected{"/tmp/apps", 0751, {"log_writer"}}}) {
    SCOPED_TRACE(e.path);
    struct statfs fs {};
    ASSERT_EQ(::statfs(e.path, &fs), 0);
    EXPECT_EQ(fs.f_type, static_cast<decltype(fs.f_type)>(TMPFS_MAGIC));
    std::optional<FileInfo> const info = Inspect(e.path);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->permissions, e.mode);
    EXPECT_EQ(info->owner, 0u);
    EXPECT_EQ(ListDir(e.path), e.names);
    for (dev_t host : hostDevices_) EXPECT_NE(info->device, host);
  }
}

TEST_F(FreshMountsTest, NothingWrittenInsideReachesTheHost) {
  std::string const name = "/tmp/sandbox-selftest-" + std::to_string(::getpid());
  ASSERT_EQ(Run({"/bin/sh", "-c", "echo inside > " + name}), Outcome::Exited(0));
  EXPECT_EQ(ReadFile(name), "inside\n");
  sandbox_.reset();
  EXPECT_FALSE(Exists(name));
}

TEST_F(SandboxTest, DevHoldsOnlyTheDevicesAndTheLogSocket) {
  EXPECT_EQ(ListDir("/dev"),
            (std::vector<std::string>{".stage", "fd", "log", "null", "stderr", "stdin",
                                      "stdout", "urandom", "zero"}));
  EXPECT_EQ(Inspect("/dev/log")->type, static_cast<mode_t>(S_IFSOCK));
  Process process(Process::Spawn(
      {.argv = {"/bin/sh", "-c",
                "echo gone > /dev/null && head -c 5 /dev/urandom | wc -c && "
                "head -c 3 /dev/zero | od -An -tx1"}}));
  ASSERT_EQ(process.Wait(), Outcome::Exited(0)) << process.Stderr();
  EXPECT_EQ(process.Stdout(), "5\n 00 00 00\n");
}

struct OutcomeCase {
  char const* name;
  std::vector<std::string> argv;
  std::vector<int> ignoredSignals;
  int signalToSend;  // 0: none
  Outcome expected;
  char const* out;
  char const* err;
};

void PrintTo(OutcomeCase const& c, std::ostream* out) { *out << c.name; }

class ProcessOutcomeTest : public SandboxTest,
                           public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(ProcessOutcomeTest, ReportsHowTheProcessEnded) {
  OutcomeCase const& c = GetParam();
  Process process = Process::Spawn({.argv = c.argv, .ignoredSignals = c.ignoredSignals});
  if (c.signalToSend != 0) {
    ASSERT_TRUE(process.WaitForOutput("ready\n"));
    process.Signal(c.signalToSend);
  }
  EXPECT_EQ(process.Wait(c.expected == Outcome::Hung() ? 200ms : HANG_GUARD), c.expected);
  EXPECT_EQ(process.Stdout(), c.out);
  EXPECT_EQ(process.Stderr(), c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProcessOutcomeTest,
    ::testing::Values(
        OutcomeCase{"ExitStatus", {"/bin/sh", "-c", "echo out; echo err >&2; exit 3"},
                    {}, 0, Outcome::Exited(3), "out\n", "err\n"},
        OutcomeCase{"OwnSignal", {"/bin/sh", "-c", "kill -TERM $$"}, {}, 0,
                    Outcome::Signaled(SIGTERM), "", ""},
        OutcomeCase{"SentSignal", {"/bin/sh", "-c", "echo ready; exec sleep 30"}, {},
                    SIGINT, Outcome::Signaled(SIGINT), "ready\n", ""},
        OutcomeCase{"IgnoredSignal",
                    {"/bin/sh", "-c", "echo ready; kill -HUP $$; echo survived"},
                    {SIGHUP}, 0, Outcome::Exited(0), "ready\nsurvived\n", ""},
        OutcomeCase{"Hang", {"/bin/sh", "-c", "echo started; exec sleep 30"}, {}, 0,
                    Outcome::Hung(), "started\n", ""},
        OutcomeCase{"CleanEnvironment", {"/usr/bin/env"}, {}, 0, Outcome::Exited(0),
                    "LC_ALL=C\nPATH=/usr/bin:/bin\n", ""}),
    [](auto const& info) { return info.param.name; });

TEST_F(SandboxTest, WaitingForAChildIsSeenFromOutside) {
  Process parent = Process::Spawn({.argv = {"/bin/sh", "-c", "sleep 30; true"}});
  EXPECT_TRUE(WaitUntilWaitingForChild(parent.Pid()));
  Process sleeper = Process::Spawn({.argv = {"/bin/sleep", "30"}});
  EXPECT_FALSE(WaitUntilWaitingForChild(sleeper.Pid(), 100ms));
}

TEST_F(SandboxTest, AFailedExecThrowsWithItsErrno) {
  try {
    Process::Spawn({.argv = {"/tmp/apps/missing"}});
    FAIL() << "spawned a missing file";
  } catch (std::system_error const& error) {
    EXPECT_EQ(error.code().value(), ENOENT) << error.what();
  }
}

struct UserCase {
  uid_t uid;
  char const* out;
  int status;
};

void PrintTo(UserCase const& c, std::ostream* out) { *out << "uid " << c.uid; }

class OtherUserTest : public SandboxTest, public ::testing::WithParamInterface<UserCase> {};

TEST_P(OtherUserTest, RunsWithThatUserAndGroupOnly) {
  if (!sandbox_->CanSwitchUsers()) GTEST_SKIP() << Sandbox::NoUserSwitchReason();
  UserCase const& c = GetParam();
  Process process = Process::Spawn(
      {.argv = {"/bin/sh", "-c", "id -u; id -g; id -G; id -un"}, .uid = c.uid});
  EXPECT_EQ(process.Wait(), Outcome::Exited(c.status));
  EXPECT_EQ(process.Stdout(), c.out);
}

INSTANTIATE_TEST_SUITE_P(
    Users, OtherUserTest,
    ::testing::Values(UserCase{65534, "65534\n65534\n65534\nnobody\n", 0},
                      // No password entry: id cannot name the user.
                      UserCase{4242, "4242\n4242\n4242\n4242\n", 1}),
    [](auto const& info) { return "Uid" + std::to_string(info.param.uid); });

class NoexecTest : public SandboxTest {
 protected:
  SandboxOptions Options() override {
    SandboxOptions options = SandboxTest::Options();
    options.tmp.noexec = true;
    options.appDirMount.noexec = true;
    return options;
  }
};

TEST_F(NoexecTest, OnlyInstalledFilesRunFromANoexecMount) {
  WriteFile("/tmp/apps/copy", ReadFile(LOG_WRITER), 0755);
  try {
    Process::Spawn({.argv = {"/tmp/apps/copy", "x"}});
    FAIL() << "ran a file from a noexec mount";
  } catch (std::system_error const& error) {
    EXPECT_EQ(error.code().value(), EACCES) << error.what();
  }
  EXPECT_EQ(Run({LOG_WRITER, "x"}), Outcome::Exited(0));
}

TEST_F(SandboxTest, ATinyMountRunsOutOfSpace) {
  MakeDirs("/tmp/tiny");
  sandbox_->Mount("/tmp/tiny", {.sizeBytes = 256 * 1024});
  try {
    WriteFile("/tmp/tiny/big", std::string(1024 * 1024, 'x'));
    FAIL() << "wrote 1 MiB into 256 KiB";
  } catch (std::system_error const& error) {
    EXPECT_EQ(error.code().value(), ENOSPC) << error.what();
  }
}

}  // namespace
}  // namespace nestbox::sandbox
