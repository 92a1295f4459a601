// Races with the release: a process of the victim's own swaps the working
// directory or one of its sub-directories for a link to the fake ~/.ssh, or
// something is mounted inside it, at the moment the run erases it. The
// erasure never leaves the directory tree that the run holds, and the
// directory is removed only while its name still names that tree.

#include <sys/mount.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstring>
#include <tuple>

#include "hardening_test.h"

namespace nestbox::hardening {
namespace {

std::string const MOVED = std::string(HOME) + "/moved";

std::string SwapForLink(std::string const& path) {
  return "mv " + Quoted(path) + " " + MOVED + "\nln -s " + SSH_DIR + " " + Quoted(path);
}

struct Swap {
  char const* name;
  char const* entry;  // relative to the working directory; "" for itself
  bool forLink;       // else for an empty directory of the victim
};
void PrintTo(Swap const& s, std::ostream* out) { *out << s.name; }

class SwapWhileReleaseWaitsTest : public HardeningTest,
                                  public ::testing::WithParamInterface<std::tuple<Parties, Swap>> {
 protected:
  Parties CaseParties() const override { return std::get<0>(GetParam()); }
};

// The test holds the lock file when the entry executable ends, so that the
// release waits for it; the swap happens then, and the lock is let go.
TEST_P(SwapWhileReleaseWaitsTest, TheEraseFollowsTheHeldDirectoryNotTheName) {
  Swap const& s = std::get<1>(GetParam());
  MakeHome();
  Snapshot const sshBefore = TakeSnapshot(SSH_DIR);
  std::string const lock = LockFile(VAR_TMP);
  std::string const used = WorkDir(VAR_TMP);
  std::string const swapped = *s.entry == '\0' ? used : used + "/" + s.entry;

  size_t const mark = LogMark();
  Process launcher = Start({.environment = {"PROBE_WAIT=file:/tmp/go"}});
  ASSERT_TRUE(launcher.WaitForOutput("probe.ready\n")) << launcher.Stderr();
  Snapshot swappedBefore;
  Snapshot movedBefore;
  {
    UniqueFd const held = HoldLockFile(lock, Victim().uid);
    sandbox::WriteFile("/tmp/go", "");
    ASSERT_TRUE(WaitForSyscall(launcher.Pid(), SYS_flock));
    Shell(Victim(), s.forLink ? SwapForLink(swapped)
                              : "mv " + Quoted(swapped) + " " + MOVED + "\nmkdir -m 0700 " +
                                    Quoted(swapped));
    swappedBefore = TakeSnapshot(swapped);
    movedBefore = TakeSnapshot(MOVED);
  }

  Outcome const outcome = launcher.Wait();
  EXPECT_EQ(TakeSnapshot(SSH_DIR), sshBefore);
  if (swapped != used) {
    // A sub-directory's link is removed as a link; what was moved out of
    // the tree is no longer the run's.
    EXPECT_EQ(outcome, Outcome::Exited(0)) << launcher.Stderr();
    EXPECT_EQ(LogSince(mark),
              Concat({Placement(lock, used), {OpenSslSkipped()}, Release(lock, used, true)}));
    EXPECT_FALSE(sandbox::Exists(used));
    EXPECT_EQ(TakeSnapshot(MOVED), movedBefore);
    return;
  }
  // The run's own tree is erased where it now lies; what has taken its name
  // stays. The release fails, and so does its retry when the record goes.
  std::string const stale = "Failed to remove working directory: Stale file handle";
  EXPECT_EQ(outcome, Outcome::Exited(255));
  EXPECT_EQ(LogSince(mark), Concat({Placement(lock, used), {OpenSslSkipped()},
                                    Release(lock, used, true), Release(lock, used, true),
                                    {Error(stale), Error(stale)}}));
  EXPECT_EQ(TakeSnapshot(swapped), swappedBefore);
  EXPECT_EQ(sandbox::ListDir(MOVED), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SwapWhileReleaseWaitsTest,
    ::testing::Combine(::testing::ValuesIn(VICTIMS_AND_ATTACKERS),
                       ::testing::Values(Swap{"WorkingDirectoryForLink", "", true},
                                         Swap{"WorkingDirectoryForEmptyDirectory", "", false},
                                         Swap{"SubdirectoryForLink", "share", true})),
    [](auto const& info) {
      return std::string(std::get<0>(info.param).victim.name) + std::get<1>(info.param).name;
    });

struct Level {
  char const* name;
  char const* parent;  // whose listing strace holds, relative; "" for the top
  char const* entry;   // the directory read there, swapped for a link
};
void PrintTo(Level const& l, std::ostream* out) { *out << l.name; }

class SwapDuringEraseTest : public HardeningTest,
                            public ::testing::WithParamInterface<std::tuple<Parties, Level>> {
 protected:
  Parties CaseParties() const override { return std::get<0>(GetParam()); }
};

// strace holds the erasure right after it has read a directory's listing,
// which names the entry as a directory; the entry becomes a link before the
// erasure opens it. The link is removed as a link, and the erasure goes on.
TEST_P(SwapDuringEraseTest, ALinkInPlaceOfAListedDirectoryIsNotFollowed) {
  Level const& l = std::get<1>(GetParam());
  MakeHome();
  Snapshot const sshBefore = TakeSnapshot(SSH_DIR);
  std::string const lock = LockFile(VAR_TMP);
  std::string const used = WorkDir(VAR_TMP);
  std::string const listed = *l.parent == '\0' ? used : used + "/" + l.parent;

  size_t const mark = LogMark();
  Process strace = Start({.strace = {"-P", listed, "-e", "trace=getdents64", "-e",
                                     std::string("inject=getdents64:delay_exit=") +
                                         RACE_DELAY_USEC + ":when=1"}});
  ASSERT_TRUE(WaitForTrace("(DELAYED)")) << strace.Stderr();
  Shell(Victim(), SwapForLink(listed + "/" + l.entry));
  Snapshot const movedBefore = TakeSnapshot(MOVED);

  EXPECT_EQ(strace.Wait(), Outcome::Exited(0)) << strace.Stderr();
  EXPECT_EQ(LogSince(mark),
            Concat({Placement(lock, used), {OpenSslSkipped()}, Release(lock, used, true)}));
  EXPECT_EQ(TakeSnapshot(SSH_DIR), sshBefore);
  EXPECT_EQ(TakeSnapshot(MOVED), movedBefore);
  EXPECT_FALSE(sandbox::Exists(used));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SwapDuringEraseTest,
    ::testing::Combine(::testing::ValuesIn(VICTIMS_AND_ATTACKERS),
                       ::testing::Values(Level{"TopLevelDirectory", "", "share"},
                                         Level{"NestedDirectory", "share", "probe"})),
    [](auto const& info) {
      return std::string(std::get<0>(info.param).victim.name) + std::get<1>(info.param).name;
    });

struct Mount {
  char const* name;
  bool bindSshDir;  // else a tmpfs of its own, holding a canary
};
void PrintTo(Mount const& m, std::ostream* out) { *out << m.name; }

class MountInsideTest : public HardeningTest,
                        public ::testing::WithParamInterface<std::tuple<Parties, Mount>> {
 protected:
  Parties CaseParties() const override { return std::get<0>(GetParam()); }
};

// A mount on a sub-directory of the working directory while the entry
// executable runs (by root; a user's FUSE mount would be another file
// system too). What is mounted there is not part of the tree: the erasure
// leaves it alone and stops at its mount point.
TEST_P(MountInsideTest, TheEraseDoesNotEnterAMountedDirectory) {
  Mount const& m = std::get<1>(GetParam());
  MakeHome();
  std::string const lock = LockFile(VAR_TMP);
  std::string const used = WorkDir(VAR_TMP);
  std::string const point = used + "/share/probe";

  size_t const mark = LogMark();
  Process launcher = Start({.environment = {"PROBE_WAIT=file:/tmp/go"}});
  ASSERT_TRUE(launcher.WaitForOutput("probe.ready\n")) << launcher.Stderr();
  if (m.bindSshDir) {
    ASSERT_EQ(::mount(SSH_DIR, point.c_str(), nullptr, MS_BIND, nullptr), 0)
        << std::strerror(errno);
  } else {
    sandbox_->Mount(point, {.mode = 0700, .owner = Victim().uid, .group = Victim().uid});
    sandbox::WriteFile(point + "/canary", "mounted canary\n", 0600);
  }
  Snapshot const mountedBefore = TakeSnapshot(point);
  sandbox::WriteFile("/tmp/go", "");

  std::string const busy = "Failed to remove [probe]: Device or resource busy";
  EXPECT_EQ(launcher.Wait(), Outcome::Exited(255));
  EXPECT_EQ(LogSince(mark), Concat({Placement(lock, used), {OpenSslSkipped()},
                                    Release(lock, used, true), Release(lock, used, true),
                                    {Error(busy), Error(busy)}}));
  EXPECT_EQ(TakeSnapshot(point), mountedBefore) << "the erasure entered the mounted directory";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MountInsideTest,
    ::testing::Combine(::testing::ValuesIn(VICTIMS_AND_ATTACKERS),
                       ::testing::Values(Mount{"TmpfsOfItsOwn", false},
                                         Mount{"BindMountOfTheSshDirectory", true})),
    [](auto const& info) {
      return std::string(std::get<0>(info.param).victim.name) + std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace nestbox::hardening
