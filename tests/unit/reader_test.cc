#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "contents/contents_reader.h"
#include "unit_support.h"

namespace {
// The largest single allocation since the last reset, to show that a length
// field is checked before storage is taken for it.
std::size_t g_largestAllocation = 0;
}  // namespace

void* operator new(std::size_t size) {
  if (size > g_largestAllocation) g_largestAllocation = size;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

ContentsReader ReaderOver(std::string const& bytes) {
  return ContentsReader(bytes.data(), bytes.data() + bytes.size());
}

std::string const INVALID = RuntimeErrorLine("Invalid contents buffer");

TEST(ContentsReaderTest, EmptyStreamIsAtItsEndAndRefusesEveryRead) {
  std::string const empty;
  ContentsReader reader = ReaderOver(empty);
  EXPECT_TRUE(reader.IsEnd());
  EXPECT_EQ(RaisedBy([&] { reader.ReadBool(); }), INVALID);
  EXPECT_EQ(RaisedBy([&] { reader.ReadUInt32(); }), INVALID);
  EXPECT_EQ(RaisedBy([&] { reader.ReadString(); }), INVALID);
  // A read of nothing always fits, even at the end.
  EXPECT_EQ(reader.ReadBinary(0), empty.data());
  EXPECT_TRUE(reader.IsEnd());
}

TEST(ContentsReaderTest, ReadsTheTopLevelDirectoryRecord) {
  std::string const bytes("\x01\x00\x00\x00\x2E\x01\xED\x01\x00\x00", 10);
  ContentsReader reader = ReaderOver(bytes);
  EXPECT_EQ(reader.ReadString(), ".");
  EXPECT_TRUE(reader.ReadBool());
  EXPECT_EQ(reader.ReadUInt32(), 0755u);
  EXPECT_TRUE(reader.IsEnd());
}

TEST(ContentsReaderTest, ReadsAFileRecordInOrder) {
  StreamBuilder stream;
  std::string const data("ELF\0data", 8);
  stream.File("lib", "libx.so", data, 0644);
  ContentsReader reader = stream.Reader();
  EXPECT_EQ(reader.ReadString(), "libx.so");
  EXPECT_FALSE(reader.ReadBool());
  EXPECT_EQ(reader.ReadString(), "lib");
  std::uint64_t const size = reader.ReadUInt64();
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(reader.ReadUInt32(), 0644u);
  // In place: a view into the stream, not a copy.
  char const* const view = reader.ReadBinary(size);
  EXPECT_EQ(view, stream.Bytes().data() + stream.Bytes().size() - 8);
  EXPECT_EQ(std::string(view, size), data);
  EXPECT_TRUE(reader.IsEnd());
}

TEST(ContentsReaderTest, EmptyStringConsumesOnlyItsLength) {
  std::string const bytes("\x00\x00\x00\x00\x07", 5);
  ContentsReader reader = ReaderOver(bytes);
  EXPECT_EQ(reader.ReadString(), "");
  EXPECT_TRUE(reader.ReadBool());
  EXPECT_TRUE(reader.IsEnd());
}

TEST(ContentsReaderTest, EveryNonZeroFlagByteIsTrue) {
  struct Case {
    unsigned char byte;
    bool expected;
  };
  for (Case const c : {Case{0, false}, Case{1, true}, Case{2, true},
                       Case{0x80, true}, Case{255, true}}) {
    SCOPED_TRACE(static_cast<int>(c.byte));
    std::string const bytes(1, static_cast<char>(c.byte));
    ContentsReader reader = ReaderOver(bytes);
    EXPECT_EQ(reader.ReadBool(), c.expected);
    EXPECT_TRUE(reader.IsEnd());
  }
}

TEST(ContentsReaderTest, NamesComeBackByteForByte) {
  std::string const name("a/b\x80\xff\x00z", 7);
  StreamBuilder stream;
  stream.String(name).String("next");
  ContentsReader reader = stream.Reader();
  EXPECT_EQ(reader.ReadString(), name);
  EXPECT_EQ(reader.ReadString(), "next");
  EXPECT_TRUE(reader.IsEnd());
}

TEST(ContentsReaderTest, ReadingExactlyTheRestEndsTheStream) {
  std::string const bytes = "12345";
  ContentsReader reader = ReaderOver(bytes);
  EXPECT_EQ(reader.ReadBinary(5), bytes.data());
  EXPECT_TRUE(reader.IsEnd());
}

// A read that does not fit fails and leaves the cursor where it was: the
// same bytes are still there for a read that fits.
TEST(ContentsReaderTest, ReadPastTheEndFailsAndKeepsTheCursor) {
  std::string const bytes("\x01\x02\x03\x04\x05\x06\x07", 7);
  struct Case {
    char const* what;
    std::function<void(ContentsReader&)> read;
  };
  Case const cases[] = {
      {"one byte more than left", [](ContentsReader& r) { r.ReadBinary(8); }},
      {"uint64 from seven bytes", [](ContentsReader& r) { r.ReadUInt64(); }},
      {"count near 2^64",
       [](ContentsReader& r) {
         r.ReadBinary(std::numeric_limits<std::uint64_t>::max());
       }},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    ContentsReader reader = ReaderOver(bytes);
    reader.ReadBool();
    EXPECT_EQ(RaisedBy([&] { c.read(reader); }), INVALID);
    EXPECT_FALSE(reader.IsEnd());
    EXPECT_EQ(reader.ReadUInt32(), 0x05040302u);
    EXPECT_EQ(reader.ReadBinary(2), bytes.data() + 5);
    EXPECT_TRUE(reader.IsEnd());
  }
}

// The length is checked against what is left before any storage is taken;
// the cursor stays just behind the length field.
TEST(ContentsReaderTest, HugeStringLengthFailsWithoutAllocating) {
  std::string const bytes("\xFF\xFF\xFF\xFF" "abc", 7);
  ContentsReader reader = ReaderOver(bytes);
  std::string raised;
  g_largestAllocation = 0;
  try {
    reader.ReadString();
  } catch (std::runtime_error const& error) {
    raised = error.what();
  }
  EXPECT_LT(g_largestAllocation, 4096u);
  EXPECT_EQ(raised, "Invalid contents buffer");
  EXPECT_EQ(reader.ReadBinary(3), bytes.data() + 4);
  EXPECT_TRUE(reader.IsEnd());
}

TEST(ContentsReaderTest, IntegersAreLittleEndianAtAnyAlignment) {
  alignas(8) char buffer[32] = {};
  for (std::size_t offset : {0, 1, 3, 5, 7}) {
    SCOPED_TRACE(offset);
    std::memcpy(buffer + offset,
                "\x01\x02\x03\x04\x05\x06\x07\x08\xF0\xDE\xBC\x9A", 12);
    ContentsReader reader(buffer + offset, buffer + offset + 12);
    EXPECT_EQ(reader.ReadUInt64(), 0x0807060504030201u);
    EXPECT_EQ(reader.ReadUInt32(), 0x9ABCDEF0u);
    EXPECT_TRUE(reader.IsEnd());
  }
}

TEST(ContentsReaderTest, BeginAfterEndIsNotAtItsEndAndFailsAtOnce) {
  std::string const bytes = "abcdef";
  ContentsReader reader(bytes.data() + 4, bytes.data() + 2);
  EXPECT_FALSE(reader.IsEnd());
  EXPECT_EQ(RaisedBy([&] { reader.ReadBinary(0); }), INVALID);
  EXPECT_EQ(RaisedBy([&] { reader.ReadBool(); }), INVALID);
}

}  // namespace
