// Links planted inside a working directory by a process of the victim's own
// (the only user that can write there): a kept directory whose entries are
// links is not trusted, and a file of the contents is never written through
// a link that appears while the directory is being filled.

#include <tuple>

#include "hardening_test.h"

namespace nestbox::hardening {
namespace {

struct Damage {
  char const* name;
  char const* entry;  // relative to the working directory
  bool hardLink;      // else a symbolic link
};
void PrintTo(Damage const& d, std::ostream* out) { *out << d.name; }

class KeptDirectoryTest : public HardeningTest,
                          public ::testing::WithParamInterface<std::tuple<Parties, Damage>> {
 protected:
  Parties CaseParties() const override { return std::get<0>(GetParam()); }
};

// The entry is moved into the victim's home, where it stays private and of
// the right size, and a link to it takes its place: a run that looked
// through the link would find everything as extracted.
TEST_P(KeptDirectoryTest, AnEntryReplacedByALinkFailsVerification) {
  Damage const& d = std::get<1>(GetParam());
  MakeHome();
  Process extract = RunToEnd({.environment = {"NESTBOX_UNTAR=1"}});
  ASSERT_EQ(extract.Wait(), Outcome::Exited(0)) << extract.Stderr();
  std::string const kept = WorkDir(VAR_TMP);
  std::string const entry = kept + "/" + d.entry;
  std::string const moved = std::string(HOME) + "/moved";
  Shell(Victim(), "mv " + Quoted(entry) + " " + moved + "\n" +
                      (d.hardLink ? "ln " : "ln -s ") + moved + " " + Quoted(entry));
  Snapshot const keptBefore = TakeSnapshot(kept);
  Snapshot const homeBefore = TakeSnapshot(HOME);

  size_t const mark = LogMark();
  Process launcher = RunToEnd();
  std::string const lock = LockFile(VAR_TMP);
  std::string const used = WorkDir(VAR_TMP, 1);
  EXPECT_EQ(launcher.Wait(), Outcome::Exited(0)) << launcher.Stderr();
  EXPECT_EQ(ProbeValue(launcher.Stdout(), "argv[0]"), Entry(used));
  EXPECT_EQ(LogSince(mark), Concat({Placement(lock, kept), Placement(lock, used),
                                    {OpenSslSkipped()}, Release(lock, used, true)}));
  // A directory that failed verification is not touched, nor what its
  // links lead to.
  EXPECT_EQ(TakeSnapshot(kept), keptBefore);
  EXPECT_EQ(TakeSnapshot(HOME), homeBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeptDirectoryTest,
    ::testing::Combine(
        ::testing::ValuesIn(VICTIMS_AND_ATTACKERS),
        ::testing::Values(Damage{"LibraryAsSymlink", "libprobe_marker.so", false},
                          Damage{"EntryAsSymlink", "probe", false},
                          Damage{"NestedFileAsSymlink", "share/probe/note.txt", false},
                          Damage{"DirectoryAsSymlink", "share", false},
                          Damage{"NestedDirectoryAsSymlink", "share/probe", false},
                          Damage{"LibraryAsHardLink", "libprobe_marker.so", true},
                          Damage{"EntryAsHardLink", "probe", true},
                          Damage{"NestedFileAsHardLink", "share/probe/note.txt", true})),
    [](auto const& info) {
      return std::string(std::get<0>(info.param).victim.name) + std::get<1>(info.param).name;
    });

struct Planted {
  char const* name;
  char const* target;  // of the symbolic link planted as the first file
};
void PrintTo(Planted const& p, std::ostream* out) { *out << p.name; }

class FreshDirectoryTest : public HardeningTest,
                           public ::testing::WithParamInterface<std::tuple<Parties, Planted>> {
 protected:
  Parties CaseParties() const override { return std::get<0>(GetParam()); }
};

// strace holds the run right after it has locked the directory that it has
// just created, before it writes the first file there, while a process of
// the victim plants a link by that file's name.
TEST_P(FreshDirectoryTest, AFileIsNotWrittenThroughALinkPlantedByItsName) {
  Planted const& p = std::get<1>(GetParam());
  MakeHome();
  Snapshot const homeBefore = TakeSnapshot(HOME);
  std::string const fresh = WorkDir(VAR_TMP);

  size_t const mark = LogMark();
  Process strace = Start({.strace = {"-P", fresh, "-e", "trace=flock", "-e",
                                     std::string("inject=flock:delay_exit=") +
                                         RACE_DELAY_USEC + ":when=1"}});
  ASSERT_TRUE(WaitForTrace("(DELAYED)")) << strace.Stderr();
  // The first file of the stream.
  Shell(Victim(), "ln -s " + Quoted(p.target) + " " + Quoted(fresh + "/libprobe_marker.so"));

  std::string const lock = LockFile(VAR_TMP);
  std::string const used = WorkDir(VAR_TMP, 1);
  EXPECT_EQ(strace.Wait(), Outcome::Exited(0)) << strace.Stderr();
  EXPECT_EQ(ProbeValue(strace.Stdout(), "argv[0]"), Entry(used));
  // The failed extraction erased the fresh directory, link and all.
  EXPECT_EQ(LogSince(mark), Concat({Placement(lock, fresh), Placement(lock, used),
                                    {OpenSslSkipped()}, Release(lock, used, true)}));
  EXPECT_FALSE(sandbox::Exists(fresh));
  EXPECT_EQ(TakeSnapshot(HOME), homeBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FreshDirectoryTest,
    ::testing::Combine(::testing::ValuesIn(VICTIMS_AND_ATTACKERS),
                       ::testing::Values(Planted{"LinkToPrivateFile", AUTHORIZED_KEYS},
                                         Planted{"DanglingLink", "/var/tmp/home/.profile"})),
    [](auto const& info) {
      return std::string(std::get<0>(info.param).victim.name) + std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace nestbox::hardening
