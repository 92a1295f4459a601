// The kit as a team uses it: `cmake --install` into a prefix, the prefix
// moved elsewhere, and then nestbox-pack and find_package(nestbox) from the
// moved prefix. The example project is configured and built against it in a
// nested CMake run, installed, and its deliverable run inside a sandbox.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "kit_test_support.h"
#include "sandbox/sandbox.h"

namespace kittest {
namespace {

using packtest::Lines;
using packtest::MakeDir;
using packtest::ReadFile;
using packtest::RunPack;
using packtest::RunProgram;
using packtest::WriteFile;

// Files of the installed kit, relative to its prefix.
std::set<std::string> ExpectedKitFiles() {
  return {
      "bin/nestbox-pack",
      "lib/nestbox/libnestbox_launcher.a",
      "lib/cmake/nestbox/nestboxConfig.cmake",
      "lib/cmake/nestbox/nestboxConfigVersion.cmake",
      "lib/cmake/nestbox/nestboxTargets.cmake",
      "lib/cmake/nestbox/nestboxTargets-" NESTBOX_BUILD_CONFIG ".cmake",
      "lib/cmake/nestbox/NestboxDeliverable.cmake",
      "share/man/man1/nestbox-pack.1",
      "share/doc/nestbox/README.md",
  };
}

// Installs the kit of this build into scratch/staged and moves it to
// scratch/moved; returns the moved prefix.
std::string InstallAndMove(ScratchDir const& scratch) {
  RunResult const install =
      RunTool(scratch, {NESTBOX_CMAKE, "--install", NESTBOX_BUILD_DIR, "--prefix", scratch / "staged"});
  EXPECT_EQ(install.status, 0) << install.out << install.err;
  if (::rename((scratch / "staged").c_str(), (scratch / "moved").c_str()) != 0) {
    ADD_FAILURE() << "cannot move the installed kit";
  }
  return scratch / "moved";
}

std::string RealPath(std::string const& path) {
  char* const resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;
  std::string result(resolved);
  std::free(resolved);
  return result;
}

// A tiny application that any deliverable can carry.
void MakeTinyApp(std::string const& app) {
  MakeDir(app, 0755);
  WriteFile(app + "/run", "#!/bin/sh\necho tiny\n", 0755);
}

TEST(InstalledKit, HoldsTheKitAndWorksAfterAMove) {
  ScratchDir const scratch;
  RunResult const install =
      RunTool(scratch, {NESTBOX_CMAKE, "--install", NESTBOX_BUILD_DIR, "--prefix", scratch / "staged"});
  ASSERT_EQ(install.status, 0) << install.out << install.err;

  Tree const kit = TreeAt(scratch / "staged");
  std::set<std::string> files;
  for (auto const& [path, entry] : kit) {
    if (entry.kind != 'd') files.insert(path);
    if (entry.kind == 'f') {
      EXPECT_EQ(entry.permissions, path == "bin/nestbox-pack" ? 0755u : 0644u) << path;
    }
  }
  EXPECT_EQ(files, ExpectedKitFiles());

  // Nothing installed names this build's trees; debug information, which
  // a Debug build carries, aside. Sanitizers keep source locations for
  // their reports in the code's data, so there only the build tree counts.
  std::vector<std::string> trees = {NESTBOX_BUILD_DIR};
#ifndef NESTBOX_SANITIZED
  trees.push_back(NESTBOX_SOURCE_DIR);
#endif
  for (std::string const& file : files) {
    SCOPED_TRACE(file);
    std::string content = kit.at(file).content;
    if (content.starts_with("\x7f" "ELF") || content.starts_with("!<arch>\n")) {
      std::string const stripped = scratch / "stripped";
      RunResult const strip =
          RunTool(scratch, {"strip", "--strip-debug", "-o", stripped, scratch / ("staged/" + file)});
      ASSERT_EQ(strip.status, 0) << strip.err;
      content = ReadFile(stripped);
    }
    for (std::string const& tree : trees) {
      EXPECT_EQ(content.find(tree), std::string::npos) << "names " << tree;
    }
  }

  ASSERT_EQ(::rename((scratch / "staged").c_str(), (scratch / "moved").c_str()), 0);
  std::string const tool = scratch / "moved/bin/nestbox-pack";
  RunResult const version = RunProgram({tool, "--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "nestbox-pack " NESTBOX_VERSION_STRING "\n");

  // The moved tool finds the moved launcher library, and only there.
  MakeTinyApp(scratch / "app");
  RunResult const pack = RunProgram({tool, "--entry", "run", "--output", scratch / "packed", scratch / "app"});
  ASSERT_EQ(pack.status, 0) << pack.err;
  RunResult const list = RunProgram({tool, "--list", scratch / "packed"});
  EXPECT_EQ(Lines(list.out), (std::vector<std::string>{"d 0755 .", "f 0755 20 run", "entry run"}));

  ASSERT_EQ(::rename((scratch / "moved/lib/nestbox").c_str(), (scratch / "moved/lib/away").c_str()), 0);
  RunResult const without =
      RunProgram({tool, "--entry", "run", "--output", scratch / "again", scratch / "app"});
  ExpectRefusal(without, 1, RealPath(scratch / "moved/bin") + "/../lib/nestbox/libnestbox_launcher.a",
                "launcher library not found");
  struct stat status {};
  EXPECT_NE(::lstat((scratch / "again").c_str(), &status), 0) << "a deliverable was made";
}

TEST(InstalledKit, BuildsTheExampleWithFindPackageAfterAMove) {
  ScratchDir const scratch;
  std::string const prefix = InstallAndMove(scratch);
  ASSERT_FALSE(::testing::Test::HasFailure());
  std::string const build = scratch / "example";

  RunResult const configure = RunTool(
      scratch, {NESTBOX_CMAKE, "-S", NESTBOX_EXAMPLE_DIR, "-B", build, "-G", "Ninja",
                "-DCMAKE_MAKE_PROGRAM=" NESTBOX_NINJA, "-DCMAKE_C_COMPILER=" NESTBOX_C_COMPILER,
                "-DCMAKE_CXX_COMPILER=" NESTBOX_CXX_COMPILER, "-DCMAKE_BUILD_TYPE=Release",
                "-DCMAKE_PREFIX_PATH=" + prefix, "-DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF"});
  ASSERT_EQ(configure.status, 0) << configure.out << configure.err;
  std::vector<std::string> const cache = Lines(ReadFile(build + "/CMakeCache.txt"));
  EXPECT_NE(std::find(cache.begin(), cache.end(), "nestbox_DIR:PATH=" + prefix + "/lib/cmake/nestbox"),
            cache.end());

  RunResult const first = RunTool(scratch, {NESTBOX_CMAKE, "--build", build});
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  EXPECT_NE(first.out.find("Packing"), std::string::npos) << first.out;

  // Packed again only when what it carries changes.
  RunResult const unchanged = RunTool(scratch, {NESTBOX_CMAKE, "--build", build});
  ASSERT_EQ(unchanged.status, 0) << unchanged.out << unchanged.err;
  EXPECT_NE(unchanged.out.find("no work to do"), std::string::npos) << unchanged.out;
  WriteFile(build + "/stage/NOTICE", "greeter\n", 0644);
  RunResult const changed = RunTool(scratch, {NESTBOX_CMAKE, "--build", build});
  ASSERT_EQ(changed.status, 0) << changed.out << changed.err;
  EXPECT_NE(changed.out.find("Packing"), std::string::npos) << changed.out;

  RunResult const install =
      RunTool(scratch, {NESTBOX_CMAKE, "--install", build, "--prefix", scratch / "installed"});
  ASSERT_EQ(install.status, 0) << install.out << install.err;
  std::string const deliverable = scratch / "installed/bin/greeter";

#ifndef NESTBOX_SANITIZED
  EXPECT_EQ(NeededLibraries(scratch, deliverable), std::vector<std::string>{"libc.so.6"});
#endif

  // It carries the staged application: the entry and its two libraries.
  std::vector<std::string> expected = {"d 0755 ."};
  for (std::string const& name : packtest::ListDir(build + "/stage")) {
    struct stat status {};
    ASSERT_EQ(::stat((build + "/stage/" + name).c_str(), &status), 0);
    char line[256];
    std::snprintf(line, sizeof line, "f %04o %lld %s", static_cast<unsigned>(status.st_mode & 07777),
                  static_cast<long long>(status.st_size), name.c_str());
    expected.push_back(line);
  }
  expected.push_back("entry greeter");
  ASSERT_EQ(expected.size(), 6u);  // NOTICE, greeter, libgreeting.so, libpunctuation.so
  RunResult const list = RunProgram({prefix + "/bin/nestbox-pack", "--list", deliverable});
  EXPECT_EQ(Lines(list.out), expected);

  using namespace nestbox::sandbox;
  SandboxOptions options;
  options.install.push_back({deliverable, "/tmp/apps/greeter", 0755});
  std::string reason;
  std::unique_ptr<Sandbox> const sandbox = Sandbox::Enter(options, &reason);
  if (!sandbox) GTEST_SKIP() << reason;

  struct Run {
    std::vector<std::string> argv;
    Outcome outcome;
    std::string out;
    std::string err;
  };
  std::vector<Run> const runs = {
      {{"/tmp/apps/greeter", "Ada", "Grace"}, Outcome::Exited(0),
       "Hello, Ada and Grace!\n(run from /tmp/apps/greeter.data/greeter)\n", ""},
      {{"/tmp/apps/greeter"}, Outcome::Exited(2), "", "usage: greeter NAME...\n"},
  };
  for (Run const& run : runs) {
    SCOPED_TRACE(run.argv.size());
    SpawnOptions spawn;
    spawn.argv = run.argv;
    Process process = Process::Spawn(spawn);
    EXPECT_EQ(process.Wait(), run.outcome);
    EXPECT_EQ(process.Stdout(), run.out);
    EXPECT_EQ(process.Stderr(), run.err);
  }
}

}  // namespace
}  // namespace kittest
