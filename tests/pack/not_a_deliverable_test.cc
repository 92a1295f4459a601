// `nestbox-pack --list` on files that are not deliverables, or whose
// contents section has been tampered with: refused with one line naming
// the file and status 1, never a crash or a partial listing.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pack_test_support.h"

namespace packtest {
namespace {

// A small deliverable and the facts a case needs to spoil it: where its
// stream starts in the file and how long it is.
struct Fixture {
  std::string image;
  std::size_t streamOffset = 0;
  std::size_t streamSize = 0;
};

Fixture MakeFixture(ScratchDir const& scratch) {
  MakeDir(scratch / "app");
  WriteFile(scratch / "app/run", "#!/bin/sh\n", 0755);
  WriteFile(scratch / "app/data", "some data", 0644);
  Fixture fixture;
  RunResult const emit = RunPack({"--entry", "run", "--emit-asm", scratch / "c.S", scratch / "app"});
  EXPECT_EQ(emit.status, 0) << emit.err;
  RunResult const pack = RunPack({"--entry", "run", "--output", scratch / "good", scratch / "app"});
  EXPECT_EQ(pack.status, 0) << pack.err;
  std::string const stream = ReadFile(scratch / "c.S.stream");
  fixture.image = ReadFile(scratch / "good");
  fixture.streamOffset = fixture.image.find(stream);
  fixture.streamSize = stream.size();
  EXPECT_NE(fixture.streamOffset, std::string::npos);
  EXPECT_EQ(fixture.image.find(stream, fixture.streamOffset + 1), std::string::npos);
  return fixture;
}

void PutUInt(std::string& image, std::size_t offset, std::uint64_t value, int byteCount) {
  for (int i = 0; i < byteCount; ++i) image[offset + i] = static_cast<char>(value >> (8 * i));
}

struct Spoiled {
  char const* label;
  std::function<std::string(Fixture const&)> make;  // the file's bytes
  char const* problem;
};

TEST(PackListRefusal, RefusesWhatIsNotAnIntactDeliverable) {
  ScratchDir const scratch;
  Fixture const fixture = MakeFixture(scratch);
  ASSERT_EQ(RunPack({"--list", scratch / "good"}).status, 0);

  std::vector<Spoiled> const cases = {
      {"text file", [](Fixture const&) { return std::string("#!/bin/sh\necho hello\n"); },
       "not an ELF file"},
      {"empty file", [](Fixture const&) { return std::string(); }, "not an ELF file"},
      {"32-bit class",
       [](Fixture const& f) {
         std::string image = f.image;
         image[4] = 1;
         return image;
       },
       "64-bit"},
      {"truncated before the section headers",
       [](Fixture const& f) { return f.image.substr(0, f.image.size() / 2); }, "outside the file"},
      {"section renamed",
       [](Fixture const& f) {
         std::string image = f.image;
         std::size_t const name = image.find(std::string(".nestbox\0", 9));
         image[name + 7] = 'y';
         return image;
       },
       "no .nestbox section"},
      {"stream length beyond the section",
       [](Fixture const& f) {
         std::string image = f.image;
         PutUInt(image, f.streamOffset - 12, f.streamSize + 1000, 8);
         return image;
       },
       "exceeds"},
      {"stream length one short",
       [](Fixture const& f) {
         std::string image = f.image;
         PutUInt(image, f.streamOffset - 12, f.streamSize - 1, 8);
         return image;
       },
       "does not parse"},
      {"padding not zero",
       [](Fixture const& f) {
         std::string image = f.image;
         image[f.streamOffset - 4] = 1;
         return image;
       },
       "malformed .nestbox section"},
      {"entry name without its NUL",
       [](Fixture const& f) {
         std::string image = f.image;
         image[f.streamOffset + f.streamSize + 3] = 'x';
         return image;
       },
       "entry name"},
      {"name length past the end",
       [](Fixture const& f) {
         std::string image = f.image;
         PutUInt(image, f.streamOffset, 0xffffffff, 4);
         return image;
       },
       "does not parse"},
  };
  for (Spoiled const& spoiled : cases) {
    SCOPED_TRACE(spoiled.label);
    std::string const path = scratch / "spoiled";
    WriteFile(path, spoiled.make(fixture), 0755);
    RunResult const result = RunPack({"--list", path});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("nestbox-pack: " + path + ": ", 0), 0u) << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
    EXPECT_NE(result.err.find(spoiled.problem), std::string::npos) << result.err;
  }
}

TEST(PackListRefusal, RefusesAnElfWithoutContentsAndNonFiles) {
  ScratchDir const scratch;
  struct Case {
    std::string path;
    char const* problem;
  };
  for (Case const& other : {Case{NESTBOX_PACK_EXE, "no .nestbox section"},
                            Case{scratch.path(), "not a regular file"},
                            Case{scratch / "absent", "No such file or directory"}}) {
    SCOPED_TRACE(other.path);
    RunResult const result = RunPack({"--list", other.path});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("nestbox-pack: " + other.path + ": ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(other.problem), std::string::npos) << result.err;
  }
}

}  // namespace
}  // namespace packtest
