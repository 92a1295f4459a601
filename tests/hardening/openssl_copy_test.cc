// The OpenSSL configuration is rewritten through a copy next to it,
// "openssl.cnf.tmp". A link at that name, left in a kept working directory
// by a process of the victim's own, is removed, never written through: the
// copy is always a new file.

#include <tuple>

#include "hardening_test.h"

namespace nestbox::hardening {
namespace {

struct StaleCopy {
  char const* name;
  char const* target;
  bool hardLink;  // else a symbolic link
};
void PrintTo(StaleCopy const& s, std::ostream* out) { *out << s.name; }

class StaleOpenSslCopyTest
    : public HardeningTest,
      public ::testing::WithParamInterface<std::tuple<Parties, StaleCopy>> {
 protected:
  Parties CaseParties() const override { return std::get<0>(GetParam()); }
  Layout CaseLayout() const override { return {.deliverable = Deliverable::OPENSSL_PROBE}; }
};

TEST_P(StaleOpenSslCopyTest, IsReplacedByANewFile) {
  StaleCopy const& s = std::get<1>(GetParam());
  MakeHome();
  Snapshot const homeBefore = TakeSnapshot(HOME);
  Process extract = RunToEnd({.environment = {"NESTBOX_UNTAR=1"}});
  ASSERT_EQ(extract.Wait(), Outcome::Exited(0)) << extract.Stderr();
  std::string const kept = WorkDir(VAR_TMP);
  std::string const config = kept + "/openssl.cnf";
  Shell(Victim(), std::string(s.hardLink ? "ln " : "ln -s ") + s.target + " " +
                      Quoted(config + ".tmp"));

  size_t const mark = LogMark();
  Process launcher = Start({.environment = {"PROBE_WAIT=file:/tmp/go"}});
  ASSERT_TRUE(launcher.WaitForOutput("probe.ready\n")) << launcher.Stderr();
  std::string const rewritten = sandbox::ReadFile(config);
  EXPECT_NE(rewritten.find("\nfips = fips_sect\n"), std::string::npos) << rewritten;
  EXPECT_NE(rewritten.find("# fipsinstall stand-in: fipsinstall -quiet -module " + kept +
                           "/fips.so\n"),
            std::string::npos)
      << rewritten;
  EXPECT_FALSE(sandbox::Exists(config + ".tmp"));
  sandbox::WriteFile("/tmp/go", "");

  std::string const lock = LockFile(VAR_TMP);
  EXPECT_EQ(launcher.Wait(), Outcome::Exited(0)) << launcher.Stderr();
  EXPECT_EQ(ProbeValue(launcher.Stdout(), "argv[0]"), Entry(kept));
  EXPECT_EQ(LogSince(mark), Concat({Placement(lock, kept), Release(lock, kept, true)}));
  EXPECT_EQ(TakeSnapshot(HOME), homeBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StaleOpenSslCopyTest,
    ::testing::Combine(
        ::testing::ValuesIn(VICTIMS_AND_ATTACKERS),
        ::testing::Values(StaleCopy{"SymlinkToPrivateFile", AUTHORIZED_KEYS, false},
                          StaleCopy{"HardLinkToPrivateFile", AUTHORIZED_KEYS, true},
                          StaleCopy{"DanglingSymlink", "/var/tmp/home/.profile", false})),
    [](auto const& info) {
      return std::string(std::get<0>(info.param).victim.name) + std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace nestbox::hardening
