#include "contents/contents_reader.h"

#include <cstdint>
#include <stdexcept>

namespace {

template <typename T>
T AssembleLittleEndian(char const* bytes) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    value |= static_cast<T>(static_cast<unsigned char>(bytes[i])) << (8 * i);
  }
  return value;
}

}  // namespace

char const* ContentsReader::PopContentImpl(std::uint64_t count) {
  // Compared as addresses and as unsigned counts, so a reader whose begin lies
  // past its end, and a count near 2^64, both fail instead of wrapping.
  auto const at = reinterpret_cast<std::uintptr_t>(cursor);
  auto const limit = reinterpret_cast<std::uintptr_t>(end);
  if (at > limit) throw std::runtime_error("Invalid contents buffer");
  std::uint64_t const left = limit - at;
  if (count > left) throw std::runtime_error("Invalid contents buffer");
  char const* const start = cursor;
  cursor += count;
  return start;
}

template <>
std::uint32_t ContentsReader::PopContent<std::uint32_t>() {
  return AssembleLittleEndian<std::uint32_t>(PopContentImpl(4));
}

template <>
std::uint64_t ContentsReader::PopContent<std::uint64_t>() {
  return AssembleLittleEndian<std::uint64_t>(PopContentImpl(8));
}

template <>
bool ContentsReader::PopContent<bool>() {
  return *PopContentImpl(1) != 0;
}

std::uint32_t ContentsReader::ReadUInt32() { return PopContent<std::uint32_t>(); }

std::uint64_t ContentsReader::ReadUInt64() { return PopContent<std::uint64_t>(); }

bool ContentsReader::ReadBool() { return PopContent<bool>(); }

std::string ContentsReader::ReadString() {
  std::uint32_t const length = ReadUInt32();
  char const* const bytes = PopContentImpl(length);  // checked before allocating
  return std::string(bytes, length);
}

char const* ContentsReader::ReadBinary(std::uint64_t count) {
  return PopContentImpl(count);
}
