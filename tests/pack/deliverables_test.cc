// The repository's own deliverables and the stand-in applications that they
// carry, as the build leaves them; and what any packed deliverable links.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pack_test_support.h"

namespace packtest {
namespace {

struct Product {
  std::string name;
  std::string deliverable;
  std::string appDir;
  std::string libraryPrefix;
};

std::vector<Product> Products() {
  return {{"Halyard", HALYARD_DELIVERABLE, HALYARD_APP_DIR, "libhalyard_"},
          {"Bowline", BOWLINE_DELIVERABLE, BOWLINE_APP_DIR, "libbowline_"}};
}

// The values of one kind of dynamic entry ("NEEDED", "RPATH", ...).
std::vector<std::string> DynamicEntries(std::string const& file, std::string const& tag) {
  RunResult const dynamic = RunProgram({"readelf", "-dW", file});
  EXPECT_EQ(dynamic.status, 0) << dynamic.err;
  std::vector<std::string> values;
  for (std::string const& line : Lines(dynamic.out)) {
    if (line.find("(" + tag + ")") == std::string::npos) continue;
    std::size_t const open = line.find('[');
    std::size_t const close = line.rfind(']');
    if (open != std::string::npos && close > open) values.push_back(line.substr(open + 1, close - open - 1));
  }
  return values;
}

std::size_t SizeOf(std::string const& path) { return ReadFile(path).size(); }

TEST(PackDeliverables, CarryTheirApplicationAsDotThenFiveExecutableFiles) {
  for (Product const& product : Products()) {
    SCOPED_TRACE(product.name);
    std::vector<std::string> const files = ListDir(product.appDir);
    ASSERT_EQ(files.size(), 5u);
    ASSERT_TRUE(std::count(files.begin(), files.end(), product.name) == 1);
    std::vector<std::string> expected = {"d 0755 ."};
    for (std::string const& file : files) {
      if (file != product.name) {
        EXPECT_EQ(file.rfind(product.libraryPrefix, 0), 0u) << file;
      }
      expected.push_back("f 0755 " + std::to_string(SizeOf(product.appDir + "/" + file)) + " " + file);
    }
    expected.push_back("entry " + product.name);

    RunResult const list = RunPack({"--list", product.deliverable});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(Lines(list.out), expected);
  }
}

TEST(PackDeliverables, NeedOnlyTheCLibrary) {
#ifdef NESTBOX_SANITIZED
  GTEST_SKIP() << "a sanitized build links the sanitizer runtimes into every deliverable";
#endif
  ScratchDir const scratch;
  MakeDir(scratch / "app");
  WriteFile(scratch / "app/run", "#!/bin/sh\n", 0755);
  RunResult const pack = RunPack({"--entry", "run", "--output", scratch / "packed", scratch / "app"});
  ASSERT_EQ(pack.status, 0) << pack.err;

  for (std::string const& file : {std::string(HALYARD_DELIVERABLE), std::string(BOWLINE_DELIVERABLE),
                                  scratch / "packed"}) {
    SCOPED_TRACE(file);
    EXPECT_EQ(DynamicEntries(file, "NEEDED"), std::vector<std::string>{"libc.so.6"});
  }
}

TEST(PackStandIns, FindTheirLibrariesOnlyThroughTheLibraryPath) {
  for (Product const& product : Products()) {
    SCOPED_TRACE(product.name);
    std::string const entry = product.appDir + "/" + product.name;
    EXPECT_EQ(DynamicEntries(entry, "RPATH"), std::vector<std::string>{});
    EXPECT_EQ(DynamicEntries(entry, "RUNPATH"), std::vector<std::string>{});
    std::vector<std::string> needed = DynamicEntries(entry, "NEEDED");
    std::vector<std::string> libraries;
    for (std::string const& file : ListDir(product.appDir)) {
      if (file != product.name) libraries.push_back(file);
      EXPECT_EQ(DynamicEntries(product.appDir + "/" + file, "RUNPATH"), std::vector<std::string>{});
    }
    std::sort(needed.begin(), needed.end());
    for (std::string const& library : libraries) {
      EXPECT_TRUE(std::binary_search(needed.begin(), needed.end(), library)) << library;
    }

    RunResult const alone = RunProgram({entry});
    EXPECT_EQ(alone.status, 127) << "started without LD_LIBRARY_PATH: " << alone.out;

    RunOptions withPath;
    withPath.environment = {"LD_LIBRARY_PATH=/nonexistent:" + product.appDir,
                            "NESTBOX_PATH=/somewhere/" + product.name};
    RunResult const run = RunProgram({entry, "-x", "", "a b", "back\\slash"}, withPath);
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> const lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 14u) << run.out;
    EXPECT_EQ(lines[0].rfind(product.name + ": ", 0), 0u);
    EXPECT_EQ(lines[1], "argc=5");
    EXPECT_EQ(lines[2], "argv[0]=" + entry);
    EXPECT_EQ(lines[3], "argv[1]=-x");
    EXPECT_EQ(lines[4], "argv[2]=");
    EXPECT_EQ(lines[5], "argv[3]=a b");
    EXPECT_EQ(lines[6], "argv[4]=back\\x5cslash");
    EXPECT_EQ(lines[7], "NESTBOX_PATH=/somewhere/" + product.name);
    EXPECT_EQ(lines[8], "NESTBOX_UNPACKED_PATH unset");
    EXPECT_EQ(lines[9], "LD_LIBRARY_PATH=/nonexistent:" + product.appDir);
    for (std::size_t i = 0; i < libraries.size(); ++i) {
      EXPECT_NE(std::find_if(lines.begin() + 10, lines.end(),
                             [&](std::string const& line) {
                               return line.rfind(libraries[i] + ": ", 0) == 0;
                             }),
                lines.end())
          << libraries[i];
    }
  }
}

}  // namespace
}  // namespace packtest
