#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct ElfSection {
  std::uint32_t type = 0;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

// Finds the section called `name` through the section headers of a 64-bit
// little-endian ELF image. Every field is read with a bounds test, so a
// truncated or corrupt image is refused rather than read past its end.
// Raises a PackError naming `path` when the image is not such an ELF file
// or its headers do not fit in it; nullopt when no section has that name.
// The section's own bytes are not checked against the image.
std::optional<ElfSection> FindElfSection(std::string_view image, std::string_view name,
                                         std::string const& path);
