// A packed tree run through the real launcher: what it extracts is the
// tree that was packed, name for name and byte for byte, with the owner's
// bits of each mode; and an entry executable in a subdirectory runs. Every
// run happens inside a sandbox, so the launcher touches nothing of the host.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "pack_test_support.h"
#include "sandbox/sandbox.h"

namespace packtest {
namespace {

constexpr char INSTALLED[] = "/tmp/apps/Packed";
constexpr char WORK_DIR[] = "/tmp/apps/Packed.data";  // the launcher runs as root

struct Extracted {
  bool isDirectory;
  mode_t permissions;
  std::string content;
  friend bool operator==(Extracted const&, Extracted const&) = default;
};

void PrintTo(Extracted const& entry, std::ostream* out) {
  *out << (entry.isDirectory ? "dir " : "file ") << std::oct << entry.permissions << std::dec
       << " \"" << entry.content << "\"";
}

using Tree = std::map<std::string, Extracted>;

Tree TreeAt(std::string const& top, std::string const& relative = "") {
  Tree tree;
  std::string const dir = relative.empty() ? top : top + "/" + relative;
  for (std::string const& name : ListDir(dir)) {
    std::string const path = relative.empty() ? name : relative + "/" + name;
    struct stat status {};
    EXPECT_EQ(::lstat((top + "/" + path).c_str(), &status), 0) << path;
    if (S_ISDIR(status.st_mode)) {
      tree[path] = {true, static_cast<mode_t>(status.st_mode & 07777), ""};
      tree.merge(TreeAt(top, path));
    } else {
      EXPECT_TRUE(S_ISREG(status.st_mode)) << path;
      tree[path] = {false, static_cast<mode_t>(status.st_mode & 07777), ReadFile(top + "/" + path)};
    }
  }
  return tree;
}

class PackRoundTrip : public ::testing::Test {
 protected:
  // Packs a tree from the scratch directory and enters a sandbox with the
  // deliverable installed; skips where no sandbox can be made.
  void PackAndEnter(std::string const& app, std::string const& entry) {
    RunResult const pack = RunPack({"--entry", entry, "--output", scratch_ / "packed", app});
    ASSERT_EQ(pack.status, 0) << pack.err;
    nestbox::sandbox::SandboxOptions options;
    options.install.push_back({scratch_ / "packed", INSTALLED, 0755});
    std::string reason;
    sandbox_ = nestbox::sandbox::Sandbox::Enter(options, &reason);
    if (!sandbox_) GTEST_SKIP() << reason;
  }

  nestbox::sandbox::Outcome RunInstalled(std::vector<std::string> const& arguments,
                                         std::vector<std::string> const& environment,
                                         std::string* out) {
    nestbox::sandbox::SpawnOptions options;
    options.argv = {INSTALLED};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.environment.insert(options.environment.end(), environment.begin(), environment.end());
    nestbox::sandbox::Process process = nestbox::sandbox::Process::Spawn(options);
    nestbox::sandbox::Outcome const outcome = process.Wait();
    *out = process.Stdout();
    return outcome;
  }

  ScratchDir const scratch_;
  std::unique_ptr<nestbox::sandbox::Sandbox> sandbox_;
};

TEST_F(PackRoundTrip, ExtractsThePackedTreeWithTheOwnersBits) {
  std::string const app = scratch_ / "app";
  MakeVariedTree(app);
  PackAndEnter(app, "bin/Tool");
  if (!sandbox_) return;

  std::string out;
  EXPECT_EQ(RunInstalled({}, {"NESTBOX_UNTAR=1"}, &out), nestbox::sandbox::Outcome::Exited(0));
  Tree const expected = {
      {"\x01" "ctl", {false, 0600, "one"}},
      {"a b", {false, 0600, "blank"}},
      {"back\\slash", {false, 0600, std::string(70000, '\xa5')}},
      {"bin", {true, 0700, ""}},
      {"bin/Tool", {false, 0500, "#!/bin/sh\n"}},
      {"caf\xc3\xa9", {false, 0700, "setuid"}},
      {"lib", {true, 0700, ""}},
      {"lib/empty", {false, 0600, ""}},
      {"lib/link", {false, 0600, "blank"}},
      {"lib/sub", {true, 0700, ""}},
      {"lib/sub/deep", {false, 0600, "deep data"}},
  };
  EXPECT_EQ(TreeAt(WORK_DIR), expected);
}

TEST_F(PackRoundTrip, RunsAnEntryExecutableInASubdirectory) {
  std::string const app = scratch_ / "app";
  MakeDir(app, 0755);
  MakeDir(app + "/bin", 0755);
  WriteFile(app + "/bin/entry", "#!/bin/sh\necho \"ran $0 with $#: $*\"\nexit 7\n", 0755);
  PackAndEnter(app, "bin/entry");
  if (!sandbox_) return;

  std::string out;
  EXPECT_EQ(RunInstalled({"one", "two"}, {}, &out), nestbox::sandbox::Outcome::Exited(7));
  EXPECT_EQ(out, std::string("ran ") + WORK_DIR + "/bin/entry with 2: one two\n");
}

}  // namespace
}  // namespace packtest
