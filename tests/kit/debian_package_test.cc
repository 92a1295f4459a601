// The kit's Debian package, made by CPack from this build: it holds the
// kit's files under /usr, says what it is and needs, and the tool unpacked
// from it finds its launcher library from /usr/bin.

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kit_test_support.h"

namespace kittest {
namespace {

using packtest::Lines;
using packtest::MakeDir;
using packtest::RunProgram;
using packtest::WriteFile;

struct PackageEntry {
  std::string permissions;
  std::string owner;
  std::string path;
};

// `dpkg -c` lines: permissions, owner/group, size, date, time, path.
std::vector<PackageEntry> ParseContents(std::string const& listing) {
  std::vector<PackageEntry> entries;
  for (std::string const& line : Lines(listing)) {
    std::istringstream fields(line);
    PackageEntry entry;
    std::string size, date, time;
    fields >> entry.permissions >> entry.owner >> size >> date >> time >> entry.path;
    entries.push_back(entry);
  }
  return entries;
}

TEST(KitDebianPackage, HoldsTheKitUnderUsr) {
  ScratchDir const scratch;
  if (RunTool(scratch, {"dpkg-deb", "--version"}).status != 0) {
    GTEST_SKIP() << "dpkg-deb is not available to read the package";
  }
  RunResult const cpack = RunTool(scratch, {NESTBOX_CPACK, "-G", "DEB", "--config",
                                            NESTBOX_BUILD_DIR "/CPackConfig.cmake", "-B",
                                            scratch / "packages"});
  ASSERT_EQ(cpack.status, 0) << cpack.out << cpack.err;
  std::string const package = scratch / "packages/nestbox_" NESTBOX_VERSION_STRING "_amd64.deb";

  RunResult const contents = RunTool(scratch, {"dpkg", "-c", package});
  ASSERT_EQ(contents.status, 0) << contents.err;
  std::set<std::string> files;
  for (PackageEntry const& entry : ParseContents(contents.out)) {
    EXPECT_EQ(entry.path.rfind("./usr/", 0), 0u) << entry.path;
    EXPECT_EQ(entry.owner, "root/root") << entry.path;
    if (entry.permissions.starts_with('d')) continue;
    files.insert(entry.path);
    EXPECT_EQ(entry.permissions, entry.path == "./usr/bin/nestbox-pack" ? "-rwxr-xr-x" : "-rw-r--r--")
        << entry.path;
  }
  std::set<std::string> const expected = {
      "./usr/bin/nestbox-pack",
      "./usr/lib/nestbox/libnestbox_launcher.a",
      "./usr/lib/cmake/nestbox/nestboxConfig.cmake",
      "./usr/lib/cmake/nestbox/nestboxConfigVersion.cmake",
      "./usr/lib/cmake/nestbox/nestboxTargets.cmake",
      "./usr/lib/cmake/nestbox/nestboxTargets-" NESTBOX_BUILD_CONFIG ".cmake",
      "./usr/lib/cmake/nestbox/NestboxDeliverable.cmake",
      "./usr/share/man/man1/nestbox-pack.1",
      "./usr/share/doc/nestbox/README.md",
  };
  EXPECT_EQ(files, expected);

  RunResult const fields =
      RunTool(scratch, {"dpkg-deb", "--field", package, "Package", "Version", "Architecture"});
  EXPECT_EQ(fields.out, "Package: nestbox\nVersion: " NESTBOX_VERSION_STRING "\nArchitecture: amd64\n");
  RunResult const depends = RunTool(scratch, {"dpkg-deb", "--field", package, "Depends"});
  EXPECT_NE(depends.out.find("g++"), std::string::npos) << depends.out;

  // Unpacked, as apt would put it under /usr: the tool links deliverables.
  RunResult const unpack = RunTool(scratch, {"dpkg-deb", "-x", package, scratch / "root"});
  ASSERT_EQ(unpack.status, 0) << unpack.err;
  MakeDir(scratch / "app", 0755);
  WriteFile(scratch / "app/run", "#!/bin/sh\n", 0755);
  std::string const tool = scratch / "root/usr/bin/nestbox-pack";
  RunResult const pack =
      RunProgram({tool, "--entry", "run", "--output", scratch / "packed", scratch / "app"});
  ASSERT_EQ(pack.status, 0) << pack.err;
  RunResult const list = RunProgram({tool, "--list", scratch / "packed"});
  EXPECT_EQ(Lines(list.out), (std::vector<std::string>{"d 0755 .", "f 0755 10 run", "entry run"}));
}

}  // namespace
}  // namespace kittest
