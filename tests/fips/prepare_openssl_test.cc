// PrepareOpenSsl on a private directory with the OpenSSL stand-in: when it
// prepares, when it leaves everything alone, and that runs sharing the
// directory take turns through the lock file "openssl.cnf.lock" in it.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fips/prepare_openssl.h"
#include "fips_test_support.h"
#include "sandbox/sandbox.h"
#include "support/unique_fd.h"
#include "workdir/lock_file.h"

namespace nestbox::fips_test {
namespace {

void Check(int result, std::string const& what) {
  if (result != 0) throw std::system_error(errno, std::generic_category(), what);
}

std::string const CONFIG = "[provider_sect]\ndefault = default_sect\n# fips = fips_sect";
std::string const ENABLED = "[provider_sect]\ndefault = default_sect\nfips = fips_sect\n";

bool ExitedWithZero(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

struct stat StatOf(std::string const& path) {
  struct stat status;
  Check(::lstat(path.c_str(), &status), "lstat " + path);
  return status;
}

// Whether another open file of path can take a lock (LOCK_EX or LOCK_SH)
// right now. Throws when it cannot tell.
bool CanLock(std::string const& path, int operation = LOCK_EX) {
  UniqueFd probe(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!probe) throw std::system_error(errno, std::generic_category(), "open " + path);
  if (::flock(probe.get(), operation | LOCK_NB) == 0) return true;
  if (errno != EWOULDBLOCK) {
    throw std::system_error(errno, std::generic_category(), "flock " + path);
  }
  return false;
}

// The permission bits of a lock file that LockFile makes under the umask.
mode_t LockFileMode(mode_t umask) {
  ScratchDir dir;
  std::string const path = dir.Join("probe.lock");
  ChildResult const made = RunInChild([&] {
    ::umask(umask);
    UniqueFd const file(LockFile::OpenLockPath(path));
    return std::string(file ? "" : "cannot make a lock file");
  });
  if (!ExitedWithZero(made.status) || !made.output.empty()) {
    throw std::runtime_error("LockFile::OpenLockPath: " + made.output);
  }
  return StatOf(path).st_mode & 07777;
}

// Creates path as an empty file and locks it exclusively.
UniqueFd HoldLock(std::string const& path) {
  UniqueFd held(::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0700));
  if (!held) throw std::system_error(errno, std::generic_category(), "create " + path);
  Check(::flock(held.get(), LOCK_EX), "flock " + path);
  return held;
}

// A working directory as an extraction leaves it, next to where its
// parent's lock file would be, and a record of the stand-in's calls outside
// it; a sandbox whose /dev/log collects what the preparation logs.
class PrepareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    sandbox_ = sandbox::Sandbox::Enter({.appDir = ""}, &reason);
    if (!sandbox_) GTEST_SKIP() << reason;
    Check(::mkdir(work_.c_str(), 0700), "mkdir");
    CopyHostFile(OPENSSL_STAND_IN, Tool(), 0700);
    CopyHostFile(FIPS_MODULE, Module(), 0600);
    WriteHostFile(Config(), CONFIG, 0600);
  }

  std::string Tool() const { return work_ + "/openssl"; }
  std::string Module() const { return work_ + "/fips.so"; }
  std::string Config() const { return work_ + "/openssl.cnf"; }
  std::string TurnLock() const { return work_ + "/openssl.cnf.lock"; }

  // Prepares with umask 022 and the stand-in's record (and the extra
  // variables) in the environment; for forked children only.
  void PrepareInChild(std::vector<std::pair<char const*, std::string>> const& variables) {
    ::setenv(STAND_IN_RECORD, record_.c_str(), 1);
    for (auto const& [name, value] : variables) ::setenv(name, value.c_str(), 1);
    ::umask(022);
    PrepareOpenSsl(work_);
  }
  // Prepares in a child; returns "" or, when something was raised,
  // "uncaught: " and its text.
  std::string Prepare(std::vector<std::pair<char const*, std::string>> const& variables = {}) {
    ChildResult const child = RunInChild([&] {
      PrepareInChild(variables);
      return std::string();
    });
    EXPECT_TRUE(ExitedWithZero(child.status)) << child.status;
    return child.output;
  }

  std::vector<std::vector<std::string>> Calls() const { return StandInCalls(record_); }

  // Every entry logged so far, as "info: TEXT" or "err: TEXT".
  std::vector<std::string> Logged() {
    std::vector<std::string> lines;
    for (sandbox::LogEntry const& entry : sandbox_->Log().Entries()) {
      EXPECT_EQ(entry.ident, "kolvonestbox") << entry.frame;
      lines.push_back((entry.priority == LOG_ERR ? "err: " : "info: ") + entry.text);
    }
    return lines;
  }

  // The arguments and the standard output of each call, as a list.
  std::vector<std::string> CallSummary() const {
    std::vector<std::string> summary;
    for (auto const& call : Calls()) {
      for (std::string const& line : call) {
        if (line.starts_with("argv[") || line.starts_with("stdout=")) summary.push_back(line);
      }
    }
    return summary;
  }
  std::vector<std::string> OneCall() const {
    return {"argv[0]=" + Tool(), "argv[1]=fipsinstall", "argv[2]=-quiet",
            "argv[3]=-module", "argv[4]=" + Module(), "stdout=" + Config()};
  }

  ScratchDir dir_;
  std::unique_ptr<sandbox::Sandbox> sandbox_;
  std::string const work_ = dir_.Join("Fips.data");
  std::string const lock_ = dir_.Join("Fips.lock");
  std::string const record_ = dir_.Join("record");
  std::string const section_ = StandInSection(ReadHostFile(FIPS_MODULE));
};

// Each preparation switches the line on (once there is nothing left to
// switch) and appends the tool's answer after a final newline. Both take
// their turn through the same lock file, which stays, unlocked, and log
// nothing.
TEST_F(PrepareTest, EachPreparationAppendsTheSectionAgain) {
  EXPECT_EQ(Prepare(), "");
  EXPECT_EQ(ReadHostFile(Config()), ENABLED + section_);
  EXPECT_EQ(CallSummary(), OneCall());
  EXPECT_EQ(StatOf(Config()).st_mode & 07777, 0644u);
  struct stat const lock = StatOf(TurnLock());
  EXPECT_TRUE(S_ISREG(lock.st_mode));
  EXPECT_EQ(lock.st_uid, ::geteuid());
  EXPECT_EQ(lock.st_mode & 07777, LockFileMode(022));
  EXPECT_EQ(lock.st_size, 0);

  EXPECT_EQ(Prepare(), "");
  EXPECT_EQ(ReadHostFile(Config()), ENABLED + section_ + section_);
  std::vector<std::string> twice = OneCall();
  std::vector<std::string> const once = OneCall();
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(CallSummary(), twice);
  EXPECT_EQ(StatOf(TurnLock()).st_ino, lock.st_ino);
  EXPECT_TRUE(CanLock(TurnLock()));
  EXPECT_EQ(Logged(), std::vector<std::string>{});
}

struct Absence {
  char const* name;
  std::function<void(std::string const& work)> apply;
  bool prepares;  // the file still counts as present
};
void PrintTo(Absence const& c, std::ostream* out) { *out << c.name; }

void Dangle(std::string const& path) {
  Check(::unlink(path.c_str()), "unlink");
  Check(::symlink((path + ".gone").c_str(), path.c_str()), "symlink");
}

void Remove(std::string const& path) { Check(::unlink(path.c_str()), "unlink"); }

class AbsenceTest : public PrepareTest, public ::testing::WithParamInterface<Absence> {};

// Without all three files nothing is changed, no process starts, and no
// turn is taken: no lock file is made, and one that another run holds does
// not hold the skip up.
TEST_P(AbsenceTest, WithoutAllThreeFilesNothingHappens) {
  Absence const& c = GetParam();
  c.apply(work_);
  std::string const before = Snapshot(work_);

  EXPECT_EQ(Prepare(), "");

  if (c.prepares) {
    EXPECT_EQ(ReadHostFile(Config()), ENABLED);
    EXPECT_EQ(CallSummary(), OneCall());
    EXPECT_TRUE(S_ISREG(StatOf(TurnLock()).st_mode));
    EXPECT_EQ(Logged(), std::vector<std::string>{});
    return;
  }
  EXPECT_EQ(Snapshot(work_), before);

  UniqueFd const held = HoldLock(TurnLock());
  std::string const withLock = Snapshot(work_);
  EXPECT_EQ(Prepare(), "");
  EXPECT_EQ(Snapshot(work_), withLock);

  EXPECT_EQ(Calls().size(), 0u);
  std::string const skipped =
      "info: OpenSSL files are not provided, skipping OpenSSL initialization";
  EXPECT_EQ(Logged(), (std::vector<std::string>{skipped, skipped}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AbsenceTest,
    ::testing::Values(
        Absence{"NoTool", [](std::string const& work) { Remove(work + "/openssl"); }, false},
        Absence{"NoModule", [](std::string const& work) { Remove(work + "/fips.so"); }, false},
        Absence{"NoConfig", [](std::string const& work) { Remove(work + "/openssl.cnf"); },
                false},
        Absence{"ToolADanglingLink", [](std::string const& work) { Dangle(work + "/openssl"); },
                false},
        Absence{"ModuleADanglingLink",
                [](std::string const& work) { Dangle(work + "/fips.so"); }, false},
        Absence{"ConfigADanglingLink",
                [](std::string const& work) { Dangle(work + "/openssl.cnf"); }, false},
        Absence{"NoModuleNorConfig",
                [](std::string const& work) {
                  Remove(work + "/fips.so");
                  Remove(work + "/openssl.cnf");
                },
                false},
        // Present, though the tool cannot read it and ends with status 1.
        Absence{"ModuleADirectory",
                [](std::string const& work) {
                  Remove(work + "/fips.so");
                  Check(::mkdir((work + "/fips.so").c_str(), 0700), "mkdir");
                },
                true}),
    [](auto const& info) { return std::string(info.param.name); });

// The rewrite and the tool's run both happen in one turn on the lock file
// in the working directory: a run that holds it keeps the preparation from
// starting, and the preparation holds it until the tool has ended. The
// file is the one that was there, and it stays. The parent's lock file,
// held all along, plays no part.
TEST_F(PrepareTest, ThePreparationTakesItsTurnThroughTheLockFileInTheWorkingDirectory) {
  UniqueFd const parentLock = HoldLock(lock_);
  UniqueFd held = HoldLock(TurnLock());
  ino_t const lockInode = StatOf(TurnLock()).st_ino;
  std::string const initial = Snapshot(work_);
  std::string const ready = dir_.Join("tool-ready");
  std::string const go = dir_.Join("tool-go");

  pid_t const child = StartChild([&] {
    // The lock belongs to the open file, which the child shares until it
    // lets go of its copy of the descriptor.
    held.reset();
    PrepareInChild({{STAND_IN_READY, ready}, {STAND_IN_WAIT, go}});
  });
  ASSERT_TRUE(WaitForBlockedFlock(child, TurnLock()));
  EXPECT_EQ(Snapshot(work_), initial);
  EXPECT_EQ(Calls().size(), 0u);

  held.reset();
  ASSERT_TRUE(WaitForFile(ready));
  EXPECT_EQ(ReadHostFile(Config()), ENABLED);
  EXPECT_EQ(FlockHolders(TurnLock()), std::vector<pid_t>{child});
  EXPECT_FALSE(CanLock(TurnLock(), LOCK_SH)) << "the turn is not exclusive";

  WriteHostFile(go, "");
  EXPECT_TRUE(ExitedWithZero(WaitForChild(child)));
  EXPECT_EQ(ReadHostFile(Config()), ENABLED + section_);
  EXPECT_EQ(CallSummary(), OneCall());
  EXPECT_EQ(StatOf(TurnLock()).st_ino, lockInode);
  EXPECT_TRUE(CanLock(TurnLock()));
  EXPECT_EQ(FlockHolders(lock_), std::vector<pid_t>{::getpid()});
  EXPECT_EQ(Logged(), std::vector<std::string>{});
}

struct TurnFailure {
  char const* name;
  // Puts something at the lock file's name; `elsewhere` is a directory
  // outside the working directory whose contents must survive untouched.
  std::function<void(std::string const& lock, std::string const& elsewhere)> plant;
  bool interrupted;  // the wait for the turn is interrupted by a signal
  char const* raised;
};
void PrintTo(TurnFailure const& c, std::ostream* out) { *out << c.name; }

class TurnFailureTest : public PrepareTest, public ::testing::WithParamInterface<TurnFailure> {};

void NoteSignal(int) {}

// When the turn cannot be taken the preparation raises, before it has
// changed anything or started the tool.
TEST_P(TurnFailureTest, RaisesAndChangesNothing) {
  TurnFailure const& c = GetParam();
  std::string const elsewhere = dir_.Join("elsewhere");
  Check(::mkdir(elsewhere.c_str(), 0755), "mkdir");
  WriteHostFile(elsewhere + "/victim", "precious\n", 0644);
  UniqueFd held;
  if (c.plant) c.plant(TurnLock(), elsewhere);
  if (c.interrupted) held = HoldLock(TurnLock());
  std::string const before = Snapshot(work_);
  std::string const untouched = Snapshot(elsewhere);
  std::string const raised = dir_.Join("raised");

  pid_t const child = StartChild([&] {
    held.reset();
    // As the launcher's own handlers are installed: without SA_RESTART.
    struct sigaction action = {};
    action.sa_handler = NoteSignal;
    if (::sigaction(SIGUSR1, &action, nullptr) != 0) ::_exit(112);
    try {
      PrepareInChild({});
    } catch (std::exception const& error) {
      WriteHostFile(raised, error.what());
    }
  });
  if (c.interrupted) {
    ASSERT_TRUE(WaitForBlockedFlock(child, TurnLock()));
    Check(::kill(child, SIGUSR1), "kill");
  }
  EXPECT_TRUE(ExitedWithZero(WaitForChild(child)));

  ASSERT_TRUE(sandbox::Exists(raised)) << "nothing was raised";
  EXPECT_EQ(ReadHostFile(raised), c.raised);
  EXPECT_EQ(Snapshot(work_), before);
  EXPECT_EQ(Snapshot(elsewhere), untouched);
  EXPECT_EQ(Calls().size(), 0u);
  EXPECT_EQ(Logged(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TurnFailureTest,
    ::testing::Values(
        TurnFailure{"DirectoryAtTheName",
                    [](std::string const& lock, std::string const&) {
                      Check(::mkdir(lock.c_str(), 0700), "mkdir");
                    },
                    false, "Failed to create lock file: Is a directory"},
        TurnFailure{"LinkToAFileAtTheName",
                    [](std::string const& lock, std::string const& elsewhere) {
                      Check(::symlink((elsewhere + "/victim").c_str(), lock.c_str()),
                            "symlink");
                    },
                    false, "Failed to create lock file: Too many levels of symbolic links"},
        TurnFailure{"DanglingLinkAtTheName",
                    [](std::string const& lock, std::string const& elsewhere) {
                      Check(::symlink((elsewhere + "/would-be-created").c_str(),
                                      lock.c_str()),
                            "symlink");
                    },
                    false, "Failed to create lock file: Too many levels of symbolic links"},
        // Opened for writing as it is, a fifo would block the run for good.
        TurnFailure{"FifoAtTheName",
                    [](std::string const& lock, std::string const&) {
                      Check(::mkfifo(lock.c_str(), 0600), "mkfifo");
                    },
                    false, "Failed to create lock file: No such device or address"},
        TurnFailure{"WaitInterruptedBySignal", nullptr, true,
                    "Failed to flock lock file: Interrupted system call"}),
    [](auto const& info) { return std::string(info.param.name); });

// Runs of different users share a parent directory (and its lock file) but
// never a working directory. While another user's run holds the parent's
// lock file, which it created with mode 0755, this user cannot open it: that
// must not cost a run that has already placed its working directory its
// preparation (and with it the start of its entry executable). Its turn is
// taken through a lock file of its own, in its own working directory.
TEST_F(PrepareTest, AnotherUsersRunHoldingTheParentLockDoesNotStopThePreparation) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run as another user";
  constexpr uid_t NOBODY = 65534;
  // A parent directory like /tmp, with this user's working directory in it.
  std::string const parent = dir_.Join("shared");
  if (!CanReach(NOBODY, dir_.Path())) {
    GTEST_SKIP() << "uid " << NOBODY << " cannot reach " << dir_.Path()
                 << ": the build tree lies below a folder private to its owner";
  }
  Check(::mkdir(parent.c_str(), 0700), "mkdir");
  Check(::chmod(parent.c_str(), 01777), "chmod");
  std::string const work = parent + "/Fips.data_nobody";
  Check(::rename(work_.c_str(), work.c_str()), "rename");
  for (std::string const& path : {work, work + "/openssl", work + "/fips.so",
                                 work + "/openssl.cnf"}) {
    Check(::chown(path.c_str(), NOBODY, NOBODY), "chown");
  }
  std::string const lock = parent + "/Fips.lock";
  UniqueFd held(::open(lock.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0755));
  ASSERT_TRUE(held);
  ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
  std::string const record = parent + "/record";

  ChildResult const child = RunInChild([&] {
    held.reset();
    if (!BecomeUser(NOBODY)) return std::string("cannot switch users");
    ::setenv(STAND_IN_RECORD, record.c_str(), 1);
    ::umask(022);
    PrepareOpenSsl(work);
    return std::string();
  });

  EXPECT_TRUE(ExitedWithZero(child.status)) << child.status;
  EXPECT_EQ(child.output, "");
  EXPECT_EQ(ReadHostFile(work + "/openssl.cnf"), ENABLED + section_);
  EXPECT_EQ(StandInCalls(record).size(), 1u);
  struct stat const turnLock = StatOf(work + "/openssl.cnf.lock");
  EXPECT_TRUE(S_ISREG(turnLock.st_mode));
  EXPECT_EQ(turnLock.st_uid, NOBODY);
  EXPECT_EQ(FlockHolders(lock), std::vector<pid_t>{::getpid()});
}

// A path under a file cannot be examined: the preparation stops there.
TEST_F(PrepareTest, AFailedExistenceTestRaisesAndStartsNothing) {
  std::string const notADirectory = Config();
  ChildResult const child = RunInChild([&] {
    ::setenv(STAND_IN_RECORD, record_.c_str(), 1);
    PrepareOpenSsl(notADirectory);
    return std::string();
  });
  EXPECT_TRUE(ExitedWithZero(child.status)) << child.status;
  EXPECT_EQ(child.output, "uncaught: Failed to check whether file exists: Not a directory");
  EXPECT_EQ(ReadHostFile(Config()), CONFIG);
  EXPECT_EQ(Calls().size(), 0u);
  EXPECT_EQ(Logged(), std::vector<std::string>{});
}

}  // namespace
}  // namespace nestbox::fips_test
