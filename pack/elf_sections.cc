#include "pack/elf_sections.h"

#include <cstring>

#include "pack/pack_error.h"

namespace {

constexpr unsigned char ELF_MAGIC[] = {0x7f, 'E', 'L', 'F'};
constexpr unsigned char ELF_CLASS_64 = 2;
constexpr unsigned char ELF_DATA_LITTLE_ENDIAN = 1;
constexpr std::uint64_t SECTION_HEADER_SIZE = 64;
constexpr std::uint32_t SECTION_INDEX_ESCAPE = 0xffff;  // SHN_XINDEX

class ImageReader {
 public:
  ImageReader(std::string_view image, std::string const& path) : image_(image), path_(path) {}

  std::uint64_t Read(std::uint64_t offset, unsigned byteCount) const {
    if (offset > image_.size() || byteCount > image_.size() - offset) {
      ThrowPackError(path_, "not a deliverable: ELF headers lie outside the file");
    }
    unsigned char bytes[8] = {};
    std::memcpy(bytes, image_.data() + offset, byteCount);
    std::uint64_t value = 0;
    for (unsigned i = 0; i < byteCount; ++i) {
      value |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
    }
    return value;
  }

  // offset + index * SECTION_HEADER_SIZE + field, refusing overflow.
  std::uint64_t HeaderField(std::uint64_t tableOffset, std::uint64_t index,
                            std::uint64_t field) const {
    std::uint64_t position = 0;
    if (__builtin_mul_overflow(index, SECTION_HEADER_SIZE, &position) ||
        __builtin_add_overflow(position, tableOffset, &position) ||
        __builtin_add_overflow(position, field, &position)) {
      ThrowPackError(path_, "not a deliverable: ELF headers lie outside the file");
    }
    return position;
  }

  std::string_view image() const { return image_; }

 private:
  std::string_view image_;
  std::string const& path_;
};

}  // namespace

std::optional<ElfSection> FindElfSection(std::string_view image, std::string_view name,
                                         std::string const& path) {
  if (image.size() < 64 || std::memcmp(image.data(), ELF_MAGIC, sizeof ELF_MAGIC) != 0) {
    ThrowPackError(path, "not a deliverable: not an ELF file");
  }
  if (static_cast<unsigned char>(image[4]) != ELF_CLASS_64 ||
      static_cast<unsigned char>(image[5]) != ELF_DATA_LITTLE_ENDIAN) {
    ThrowPackError(path, "not a deliverable: not a 64-bit little-endian ELF file");
  }
  ImageReader const reader(image, path);
  std::uint64_t const tableOffset = reader.Read(0x28, 8);
  std::uint64_t const entrySize = reader.Read(0x3a, 2);
  std::uint64_t count = reader.Read(0x3c, 2);
  std::uint64_t namesIndex = reader.Read(0x3e, 2);
  if (tableOffset == 0) ThrowPackError(path, "not a deliverable: no section headers");
  if (entrySize != SECTION_HEADER_SIZE) {
    ThrowPackError(path, "not a deliverable: unexpected ELF section header size");
  }
  // Extended numbering: the real values live in the first section header.
  if (count == 0) count = reader.Read(reader.HeaderField(tableOffset, 0, 32), 8);
  if (namesIndex == SECTION_INDEX_ESCAPE) {
    namesIndex = reader.Read(reader.HeaderField(tableOffset, 0, 40), 4);
  }
  if (namesIndex >= count) {
    ThrowPackError(path, "not a deliverable: no section name table");
  }
  // The whole table must fit before any entry of it is trusted.
  reader.Read(reader.HeaderField(tableOffset, count - 1, SECTION_HEADER_SIZE - 8), 8);

  std::uint64_t const namesOffset = reader.Read(reader.HeaderField(tableOffset, namesIndex, 24), 8);
  std::uint64_t const namesSize = reader.Read(reader.HeaderField(tableOffset, namesIndex, 32), 8);
  if (namesOffset > image.size() || namesSize > image.size() - namesOffset) {
    ThrowPackError(path, "not a deliverable: section name table lies outside the file");
  }
  std::string_view const names = image.substr(namesOffset, namesSize);

  for (std::uint64_t index = 0; index < count; ++index) {
    std::uint64_t const nameOffset = reader.Read(reader.HeaderField(tableOffset, index, 0), 4);
    if (nameOffset >= names.size()) continue;
    std::string_view candidate = names.substr(nameOffset);
    std::size_t const end = candidate.find('\0');
    if (end == std::string_view::npos) continue;
    if (candidate.substr(0, end) != name) continue;
    ElfSection section;
    section.type = static_cast<std::uint32_t>(reader.Read(reader.HeaderField(tableOffset, index, 4), 4));
    section.offset = reader.Read(reader.HeaderField(tableOffset, index, 24), 8);
    section.size = reader.Read(reader.HeaderField(tableOffset, index, 32), 8);
    return section;
  }
  return std::nullopt;
}
