#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "support/unique_fd.h"
#include "unit_support.h"
#include "workdir/lock_file.h"

namespace {

// Whether some open file description holds a flock on the file that path
// names now, tried from a description of our own.
bool NamedFileIsLocked(std::string const& path) {
  UniqueFd probe(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!probe) return false;
  return ::flock(probe.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

class LockFileTest : public ::testing::Test {
 protected:
  void SetUp() override { oldMask = ::umask(022); }
  void TearDown() override { ::umask(oldMask); }

  TempDir dir;
  mode_t oldMask = 0;
};

TEST_F(LockFileTest, CreatesLocksAndRemovesTheFile) {
  std::string const path = dir.Join("app.lock");
  int const fdsBefore = CountOpenFds();
  {
    LockFile lock(path);
    struct stat status;
    ASSERT_EQ(::lstat(path.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(status.st_size, 0);
    EXPECT_TRUE(NamedFileIsLocked(path));
  }
  EXPECT_FALSE(Exists(path));
  EXPECT_EQ(CountOpenFds(), fdsBefore);
}

// A file left behind by a probe or by a killed run is simply used.
TEST_F(LockFileTest, UsesAFileLeftBehind) {
  std::string const path = dir.Join("app.lock");
  WriteWholeFile(path, "left", 0600);
  struct stat left;
  ASSERT_EQ(::stat(path.c_str(), &left), 0);
  {
    LockFile lock(path);
    struct stat held;
    ASSERT_EQ(::stat(path.c_str(), &held), 0);
    EXPECT_EQ(held.st_ino, left.st_ino);
    EXPECT_TRUE(NamedFileIsLocked(path));
  }
  EXPECT_FALSE(Exists(path));
}

TEST_F(LockFileTest, RefusesAnythingButARegularFile) {
  std::string const failure = "Failed to create lock file";
  struct Case {
    char const* what;
    std::function<void(std::string const&)> plant;
    int errorNumber;
  };
  Case const cases[] = {
      {"link to an existing file",
       [&](std::string const& path) {
         WriteWholeFile(dir.Join("target"), "keep");
         MakeSymlink("target", path);
       },
       ELOOP},
      {"dangling link",
       [&](std::string const& path) { MakeSymlink("nothing-here", path); },
       ELOOP},
      {"fifo without a reader",
       [](std::string const& path) { ::mkfifo(path.c_str(), 0600); }, ENXIO},
      {"directory",
       [](std::string const& path) { MakeDirectory(path); }, EISDIR},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    std::string const path = dir.Join("app.lock");
    c.plant(path);
    std::string const before = SnapshotTree(dir.Path());
    // In a child, so that a lock taken through the link (and the endless
    // retry that follows) or an open that blocks ends at the child's alarm.
    ChildResult const child = RunInChild([&] {
      int const fdsBefore = CountOpenFds();
      std::string const raised = RaisedBy([&] { LockFile lock(path); });
      return raised + " | fds left " +
             std::to_string(CountOpenFds() - fdsBefore);
    });
    EXPECT_EQ(child.output,
              SystemErrorLine(c.errorNumber, failure) + " | fds left 0");
    EXPECT_EQ(SnapshotTree(dir.Path()), before);  // nothing made or removed
    ::unlink(path.c_str());
    ::rmdir(path.c_str());
  }
  EXPECT_FALSE(Exists(dir.Join("nothing-here")));
  EXPECT_EQ(ReadWholeFile(dir.Join("target")), "keep");

  EXPECT_EQ(RaisedBy([&] { LockFile lock(dir.Join("missing/app.lock")); }),
            SystemErrorLine(ENOENT, failure));
  EXPECT_EQ(RaisedBy([&] { LockFile lock(dir.Join("target/app.lock")); }),
            SystemErrorLine(ENOTDIR, failure));
}

// A device node opens for writing without blocking, so only the type test
// keeps it from being used.
TEST_F(LockFileTest, RefusesADeviceNode) {
  std::string const path = dir.Join("app.lock");
  if (::mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "cannot make a device node here: " << std::strerror(errno);
  }
  int const fdsBefore = CountOpenFds();
  EXPECT_EQ(RaisedBy([&] { LockFile lock(path); }),
            SystemErrorLine(EINVAL, "Failed to create lock file"));
  EXPECT_EQ(LockFile::OpenLockPath(path), -1);
  EXPECT_EQ(CountOpenFds(), fdsBefore);
  EXPECT_TRUE(Exists(path));
}

// A lock file of another user is never waited on: ours are private (0600),
// and one that another user made, even open to all, is refused by root too,
// since its owner could hold it for ever.
TEST_F(LockFileTest, OtherUsersLockFileFailsAtOnce) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ASSERT_EQ(::chmod(dir.Path().c_str(), 01777), 0);
  SKIP_UNLESS_REACHABLE_BY(65534, dir.Path());
  struct Case {
    char const* name;
    uid_t creator;
    mode_t mode;
    uid_t opener;
  } const cases[] = {{"root's, opened by nobody", 0, 0600, 65534},
                     {"nobody's open to all, opened by root", 65534, 0666, 0}};
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    std::string const path = dir.Join("app.lock");
    ChildResult const made = RunInChild([&] {
      if (!BecomeUser(c.creator, c.creator)) return std::string("cannot drop");
      UniqueFd file(LockFile::OpenLockPath(path));
      if (!file || ::fchmod(file.get(), c.mode) != 0) return std::string("not made");
      return std::string("made");
    });
    ASSERT_EQ(made.output, "made");
    ChildResult const child = RunInChild([&] {
      if (!BecomeUser(c.opener, c.opener)) return std::string("cannot drop");
      return RaisedBy([&] { LockFile lock(path); });
    });
    EXPECT_EQ(child.output, SystemErrorLine(EACCES, "Failed to create lock file"));
    EXPECT_EQ(ModeOf(path), static_cast<int>(c.mode));
    ASSERT_EQ(::unlink(path.c_str()), 0);
  }
}

// Contenders are forked children. Each reports "<id>+" once it holds the
// lock (with "!" instead when it kept a descriptor of a file removed on the
// way), waits for its go-ahead, reports "<id>-" and releases.
class Contender {
 public:
  Contender(char id, std::string const& path, int eventsFd) : id_(id) {
    int release[2];
    if (::pipe2(release, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(release[1]);
      ::alarm(20);
      Run(path, eventsFd, release[0]);
    }
    ::close(release[0]);
    releaseFd_ = release[1];
  }
  ~Contender() {
    if (releaseFd_ >= 0) ::close(releaseFd_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  pid_t Pid() const { return pid_; }
  void Release() const { (void)!::write(releaseFd_, "r", 1); }

  // The exit status once it ended of its own.
  int Wait() {
    int status = -1;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

 private:
  [[noreturn]] void Run(std::string const& path, int eventsFd, int releaseFd) {
    auto const report = [&](char what) {
      char const event[2] = {id_, what};
      (void)!::write(eventsFd, event, 2);
    };
    int const deletedBefore = CountDeletedFds();
    std::string const raised = RaisedBy([&] {
      LockFile lock(path);
      report(CountDeletedFds() == deletedBefore ? '+' : '!');
      char go;
      (void)!::read(releaseFd, &go, 1);
      report('-');
    });
    if (!raised.empty()) report('E');
    ::_exit(raised.empty() ? 0 : 1);
  }

  char id_;
  pid_t pid_ = -1;
  int releaseFd_ = -1;
};

std::string Event(char id, char what) { return std::string(1, id) + what; }

class LockContentionTest : public LockFileTest {
 protected:
  void SetUp() override {
    LockFileTest::SetUp();
    ASSERT_EQ(::pipe2(events, O_CLOEXEC), 0);
  }
  void TearDown() override {
    ::close(events[0]);
    ::close(events[1]);
    LockFileTest::TearDown();
  }

  // The next event, or "timeout" when none comes within a guard time.
  std::string NextEvent() {
    pollfd ready{events[0], POLLIN, 0};
    if (::poll(&ready, 1, 20000) != 1) return "timeout";
    char event[2];
    if (::read(events[0], event, 2) != 2) return "short read";
    return std::string(event, 2);
  }
  bool EventPending() {
    pollfd ready{events[0], POLLIN, 0};
    return ::poll(&ready, 1, 0) == 1;
  }

  std::string const path = dir.Join("app.lock");
  int events[2] = {-1, -1};
};

TEST_F(LockContentionTest, SecondWaitsUntilTheFirstReleases) {
  Contender first('A', path, events[1]);
  ASSERT_EQ(NextEvent(), "A+");
  // Marks the first file; inode numbers can be reused, so they cannot tell
  // the files apart.
  ASSERT_EQ(::chmod(path.c_str(), 0400), 0);

  Contender second('B', path, events[1]);
  ASSERT_TRUE(WaitForBlockedFlock(second.Pid(), path));
  EXPECT_FALSE(EventPending());

  first.Release();
  EXPECT_EQ(NextEvent(), "A-");
  EXPECT_EQ(NextEvent(), "B+");  // and no descriptor of the removed file
  EXPECT_EQ(first.Wait(), 0);
  // The waiter holds a lock on a new file that bears the name.
  EXPECT_EQ(ModeOf(path), 0600);
  EXPECT_TRUE(NamedFileIsLocked(path));

  second.Release();
  EXPECT_EQ(NextEvent(), "B-");
  EXPECT_EQ(second.Wait(), 0);
  EXPECT_FALSE(Exists(path));
}

// After the holder leaves, exactly one of two waiters holds the lock on the
// file that bears the name; the other waits on that same file.
TEST_F(LockContentionTest, OfThreeExactlyOneHoldsAtATime) {
  std::map<char, std::optional<Contender>> contenders;
  contenders['A'].emplace('A', path, events[1]);
  ASSERT_EQ(NextEvent(), "A+");
  contenders['B'].emplace('B', path, events[1]);
  contenders['C'].emplace('C', path, events[1]);
  ASSERT_TRUE(WaitForBlockedFlock(contenders['B']->Pid(), path));
  ASSERT_TRUE(WaitForBlockedFlock(contenders['C']->Pid(), path));

  contenders['A']->Release();
  EXPECT_EQ(NextEvent(), "A-");
  std::string const won = NextEvent();
  ASSERT_TRUE(won == "B+" || won == "C+") << won;
  char const winner = won[0];
  char const loser = winner == 'B' ? 'C' : 'B';
  ASSERT_TRUE(WaitForBlockedFlock(contenders[loser]->Pid(), path));
  EXPECT_FALSE(EventPending());
  EXPECT_TRUE(NamedFileIsLocked(path));

  contenders[winner]->Release();
  EXPECT_EQ(NextEvent(), Event(winner, '-'));
  EXPECT_EQ(NextEvent(), Event(loser, '+'));
  contenders[loser]->Release();
  EXPECT_EQ(NextEvent(), Event(loser, '-'));
  for (auto& [id, contender] : contenders) {
    EXPECT_EQ(contender->Wait(), 0) << id;
  }
  EXPECT_FALSE(Exists(path));
}

// A signal with a handler and without SA_RESTART ends the wait.
TEST_F(LockContentionTest, SignalDuringTheWaitFailsTheAcquisition) {
  Contender holder('A', path, events[1]);
  ASSERT_EQ(NextEvent(), "A+");

  int ready[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  std::string const lockPath = path;
  pid_t const waiter = ::fork();
  if (waiter == 0) {
    ::alarm(20);
    struct sigaction action {};
    action.sa_handler = [](int) {};
    ::sigaction(SIGUSR1, &action, nullptr);
    int const fdsBefore = CountOpenFds();
    std::string result = RaisedBy([&] { LockFile lock(lockPath); });
    result += " | fds left " + std::to_string(CountOpenFds() - fdsBefore);
    (void)!::write(ready[1], result.data(), result.size());
    ::_exit(0);
  }
  ::close(ready[1]);
  ASSERT_TRUE(WaitForBlockedFlock(waiter, path));
  ::kill(waiter, SIGUSR1);
  std::string result;
  char buffer[512];
  for (ssize_t n; (n = ::read(ready[0], buffer, sizeof buffer)) > 0;) {
    result.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(ready[0]);
  ::waitpid(waiter, nullptr, 0);
  EXPECT_EQ(result,
            SystemErrorLine(EINTR, "Failed to flock lock file") + " | fds left 0");

  // The holder's file is untouched by the failed waiter.
  EXPECT_TRUE(NamedFileIsLocked(path));
  holder.Release();
  EXPECT_EQ(NextEvent(), "A-");
  EXPECT_EQ(holder.Wait(), 0);
  EXPECT_FALSE(Exists(path));
}

}  // namespace
