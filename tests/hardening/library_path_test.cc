// The entry executable finds its libraries through LD_LIBRARY_PATH, which
// the launcher extends by the working directory's path. The dynamic loader
// reads ':' and ';' in that value as separators and expands "$ORIGIN", so a
// launcher whose name holds one of them must not lead the loader into a
// directory that a neighbour can make in the shared /var/tmp.

#include <functional>
#include <tuple>

#include "hardening_test.h"

namespace nestbox::hardening {
namespace {

struct Name {
  char const* name;
  char const* launcherName;
  // Where the loader looks first, given the working directory's path.
  std::function<std::string(std::string const& workDir)> firstLibraryDir;
};
void PrintTo(Name const& n, std::ostream* out) { *out << n.name; }

std::string UpTo(std::string const& workDir, char const* separator) {
  return workDir.substr(0, workDir.find(separator));
}

class LibraryPathTest : public HardeningTest,
                        public ::testing::WithParamInterface<std::tuple<Parties, Name>> {
 protected:
  Parties CaseParties() const override { return std::get<0>(GetParam()); }
  Layout CaseLayout() const override { return {.launcherName = std::get<1>(GetParam()).launcherName}; }
};

TEST_P(LibraryPathTest, NoLibraryIsLoadedFromANeighboursDirectory) {
  Name const& n = std::get<1>(GetParam());
  MakeNeighbourTree();
  std::string const used = WorkDir(VAR_TMP);
  std::string const trap = n.firstLibraryDir(used);
  Shell(Attacker(), "mkdir -p " + Quoted(trap) + "\ncp " + NEIGHBOUR_TREE +
                        "/libprobe_marker.so " + Quoted(trap) + "/");

  Process launcher = RunToEnd();
  EXPECT_EQ(launcher.Wait(), Outcome::Exited(0)) << launcher.Stderr();
  EXPECT_EQ(ProbeValue(launcher.Stdout(), "argv[0]"), Entry(used));
  EXPECT_EQ(ProbeValue(launcher.Stdout(), "marker"), std::string(OWN_MARKER));
  EXPECT_FALSE(sandbox::Exists(NEIGHBOUR_MARK)) << "the neighbour's library ran as the victim";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LibraryPathTest,
    ::testing::Combine(
        ::testing::ValuesIn(VICTIMS_AND_ATTACKERS),
        ::testing::Values(
            Name{"Colon", "Probe:x", [](std::string const& w) { return UpTo(w, ":"); }},
            Name{"Semicolon", "Probe;x", [](std::string const& w) { return UpTo(w, ";"); }},
            // "$ORIGIN" stands for the directory of the entry executable,
            // which is the working directory itself.
            Name{"OriginToken", "Probe$ORIGIN",
                 [](std::string const& w) {
                   std::string const token = "$ORIGIN";
                   std::string dir = w;
                   return dir.replace(dir.find(token), token.size(), w);
                 }})),
    [](auto const& info) {
      return NameOf(std::get<0>(info.param)) + std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace nestbox::hardening
