#pragma once

#include <cstdint>
#include <string>

// Bounds-checked cursor over a contents stream. Borrows the bytes (they live
// in the executable's read-only data for the life of the process). Every read
// fails with "Invalid contents buffer" rather than step past the end, and a
// failed read leaves the cursor where it was.
class ContentsReader {
 public:
  ContentsReader(char const* begin, char const* end)
      : cursor(begin), end(end) {}

  bool IsEnd() const { return cursor == end; }

  char const* PopContentImpl(std::uint64_t count);

  // Little-endian; defined for std::uint32_t, std::uint64_t and bool only.
  template <typename T>
  T PopContent();

  std::uint32_t ReadUInt32();
  std::uint64_t ReadUInt64();
  bool ReadBool();
  std::string ReadString();
  // The bytes in place, not copied.
  char const* ReadBinary(std::uint64_t count);

 private:
  char const* cursor;
  char const* end;
};

template <>
std::uint32_t ContentsReader::PopContent<std::uint32_t>();
template <>
std::uint64_t ContentsReader::PopContent<std::uint64_t>();
template <>
bool ContentsReader::PopContent<bool>();
