// What nestbox-pack puts into a deliverable, seen three ways: the listing
// of a packed tree, the stream bytes themselves, and where the linked
// executable holds them.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "pack_test_support.h"

namespace packtest {
namespace {

// Every kind of name and mode that the listing has to show faithfully.
void MakeOddTree(std::string const& app) {
  MakeDir(app, 0750);
  WriteFile(app + "/\x01" "ctl", "one", 0644);
  WriteFile(app + "/a b", "blank", 0644);
  WriteFile(app + "/back\\slash", "bs", 0644);
  MakeDir(app + "/bin", 0700);
  WriteFile(app + "/bin/Tool", "#!/bin/sh\nexit 0\n", 0500);
  WriteFile(app + "/caf\xc3\xa9", "setuid", 04755);
  MakeDir(app + "/lib", 0755);
  MakeDir(app + "/lib/sub", 0755);
  WriteFile(app + "/lib/sub/deep", "deep data", 0644);
  WriteFile(app + "/lib/z", "", 0644);
  ASSERT_EQ(::symlink("a b", (app + "/link").c_str()), 0);
}

TEST(PackListing, ShowsNestedTreeWithOddNamesAndModesInStreamOrder) {
  ScratchDir const scratch;
  MakeOddTree(scratch / "app");
  RunResult const pack = RunPack({"--entry", "bin/Tool", "--output", scratch / "out", scratch / "app"});
  ASSERT_EQ(pack.status, 0) << pack.err;
  EXPECT_EQ(pack.err, "");

  RunResult const list = RunPack({"--list", scratch / "out"});
  ASSERT_EQ(list.status, 0) << list.err;
  std::vector<std::string> const expected = {
      "d 0750 .",
      "f 0644 3 \\x01ctl",
      "f 0644 5 a b",
      "f 0644 2 back\\x5cslash",
      "d 0700 bin",
      "f 0500 17 bin/Tool",
      "f 4755 6 caf\xc3\xa9",
      "d 0755 lib",
      "d 0755 lib/sub",
      "f 0644 9 lib/sub/deep",
      "f 0644 0 lib/z",
      "f 0644 5 link",  // the link's target, carried as a file
      "entry bin/Tool",
  };
  EXPECT_EQ(Lines(list.out), expected);
  EXPECT_EQ(list.err, "");
}

TEST(PackListing, SurvivesStrip) {
  ScratchDir const scratch;
  MakeOddTree(scratch / "app");
  ASSERT_EQ(RunPack({"--entry", "bin/Tool", "--output", scratch / "out", scratch / "app"}).status, 0);
  RunResult const strip = RunProgram({"strip", "-o", scratch / "stripped", scratch / "out"});
  ASSERT_EQ(strip.status, 0) << strip.err;
  ASSERT_NE(ReadFile(scratch / "stripped").size(), ReadFile(scratch / "out").size());

  RunResult const original = RunPack({"--list", scratch / "out"});
  RunResult const stripped = RunPack({"--list", scratch / "stripped"});
  ASSERT_EQ(stripped.status, 0) << stripped.err;
  EXPECT_EQ(stripped.out, original.out);
}

std::string Hex(std::string const& bytes) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string text;
  for (char const c : bytes) {
    auto const byte = static_cast<unsigned char>(c);
    text += DIGITS[byte >> 4];
    text += DIGITS[byte & 0xf];
  }
  return text;
}

void MakeSmallTree(std::string const& app) {
  MakeDir(app, 0755);
  MakeDir(app + "/d", 0700);
  WriteFile(app + "/d/f", "x", 0600);
  WriteFile(app + "/run", "hi", 0755);
}

TEST(PackStream, WritesRecordsByteForByte) {
  ScratchDir const scratch;
  MakeSmallTree(scratch / "app");
  RunResult const emit = RunPack({"--entry", "run", "--emit-asm", scratch / "c.S", scratch / "app"});
  ASSERT_EQ(emit.status, 0) << emit.err;
  std::string const expected =
      "01000000" "2e" "01" "ed010000"                       // "." directory 0755
      "01000000" "64" "01" "c0010000"                       // "d" directory 0700
      "01000000" "66" "00" "01000000" "64"                  // file "f" in "d"
      "0100000000000000" "80010000" "78"                    //   size 1, 0600, "x"
      "03000000" "72756e" "00" "01000000" "2e"              // file "run" in "."
      "0200000000000000" "ed010000" "6869";                 //   size 2, 0755, "hi"
  EXPECT_EQ(Hex(ReadFile(scratch / "c.S.stream")), expected);
}

struct SymbolTable {
  std::uint64_t dataStart = 0, dataTail = 0, exec = 0;
  std::uint64_t sectionAddress = 0, sectionOffset = 0, sectionSize = 0;
};

SymbolTable ReadSymbols(std::string const& file) {
  SymbolTable table;
  RunResult const symbols = RunProgram({"readelf", "-sW", file});
  EXPECT_EQ(symbols.status, 0) << symbols.err;
  for (std::string const& line : Lines(symbols.out)) {
    std::istringstream in(line);
    std::string number, value, size, type, bind, visibility, index, name;
    if (!(in >> number >> value >> size >> type >> bind >> visibility >> index >> name)) continue;
    if (name != "_data_start" && name != "_data_tail" && name != "_exec") continue;
    std::uint64_t const address = std::stoull(value, nullptr, 16);
    if (name == "_data_start") table.dataStart = address;
    if (name == "_data_tail") table.dataTail = address;
    if (name == "_exec") table.exec = address;
  }
  RunResult const sections = RunProgram({"readelf", "-SW", file});
  EXPECT_EQ(sections.status, 0) << sections.err;
  for (std::string const& line : Lines(sections.out)) {
    std::size_t const bracket = line.find(']');
    if (bracket == std::string::npos) continue;
    std::istringstream in(line.substr(bracket + 1));
    std::string name, type, address, offset, size;
    if (!(in >> name >> type >> address >> offset >> size) || name != ".nestbox") continue;
    table.sectionAddress = std::stoull(address, nullptr, 16);
    table.sectionOffset = std::stoull(offset, nullptr, 16);
    table.sectionSize = std::stoull(size, nullptr, 16);
  }
  return table;
}

// The contract with the launcher: the stream between _data_start and
// _data_tail, the entry name and one NUL at _exec right behind it, and the
// stream deliberately not 8-aligned.
TEST(PackStream, LiesBetweenTheLauncherSymbolsWithTheEntryNameBehind) {
  ScratchDir const scratch;
  MakeSmallTree(scratch / "app");
  ASSERT_EQ(RunPack({"--entry", "run", "--emit-asm", scratch / "c.S", scratch / "app"}).status, 0);
  RunResult const pack = RunPack({"--entry", "run", "--output", scratch / "out", scratch / "app"});
  ASSERT_EQ(pack.status, 0) << pack.err;

  std::string const stream = ReadFile(scratch / "c.S.stream");
  SymbolTable const symbols = ReadSymbols(scratch / "out");
  ASSERT_NE(symbols.sectionAddress, 0u);
  EXPECT_EQ(symbols.dataStart % 8, 4u);
  EXPECT_EQ(symbols.dataTail - symbols.dataStart, stream.size());
  EXPECT_EQ(symbols.exec, symbols.dataTail);
  EXPECT_EQ(symbols.sectionSize, 12 + stream.size() + 4);  // "run" and its NUL

  std::string const image = ReadFile(scratch / "out");
  std::uint64_t const start = symbols.dataStart - symbols.sectionAddress + symbols.sectionOffset;
  ASSERT_LE(start + stream.size() + 4, image.size());
  EXPECT_EQ(image.substr(start, stream.size()), stream);
  EXPECT_EQ(image.substr(start + stream.size(), 4), std::string("run\0", 4));
}

}  // namespace
}  // namespace packtest
