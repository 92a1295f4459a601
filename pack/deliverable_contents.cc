#include "pack/deliverable_contents.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>

#include "pack/contents_assembly.h"
#include "pack/elf_sections.h"
#include "pack/pack_error.h"
#include "support/unique_fd.h"

namespace {

std::uint64_t ReadLittleEndian(std::string_view bytes, std::size_t offset, unsigned count) {
  unsigned char raw[8] = {};
  std::memcpy(raw, bytes.data() + offset, count);
  std::uint64_t value = 0;
  for (unsigned i = 0; i < count; ++i) value |= static_cast<std::uint64_t>(raw[i]) << (8 * i);
  return value;
}

}  // namespace

DeliverableContents::DeliverableContents(std::string const& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) {
    int const savedErrno = errno;
    ThrowPackErrno(path, "cannot open", savedErrno);
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) {
    int const savedErrno = errno;
    ThrowPackErrno(path, "cannot examine", savedErrno);
  }
  if (!S_ISREG(status.st_mode)) ThrowPackError(path, "not a deliverable: not a regular file");
  std::size_t const size = static_cast<std::size_t>(status.st_size);
  if (size != 0) {
    void* const address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (address == MAP_FAILED) {
      int const savedErrno = errno;
      ThrowPackErrno(path, "cannot read", savedErrno);
    }
    mapping_.address = address;
    mapping_.size = size;
  }
  std::string_view const image(static_cast<char const*>(mapping_.address), mapping_.size);
  std::optional<ElfSection> const section = FindElfSection(image, CONTENTS_SECTION, path);
  if (!section) ThrowPackError(path, "not a deliverable: no .nestbox section");
  if (section->type != SHT_PROGBITS || section->offset > image.size() ||
      section->size > image.size() - section->offset) {
    ThrowPackError(path, "not a deliverable: .nestbox section lies outside the file");
  }
  std::string_view const contents = image.substr(section->offset, section->size);
  if (contents.size() < CONTENTS_HEADER_SIZE || ReadLittleEndian(contents, 8, 4) != 0) {
    ThrowPackError(path, "not a deliverable: malformed .nestbox section");
  }
  std::uint64_t const streamSize = ReadLittleEndian(contents, 0, 8);
  std::string_view const afterHeader = contents.substr(CONTENTS_HEADER_SIZE);
  if (streamSize >= afterHeader.size()) {
    ThrowPackError(path, "not a deliverable: stream length exceeds the .nestbox section");
  }
  std::string_view const tail = afterHeader.substr(streamSize);
  // The entry name and its one NUL end the section exactly.
  std::size_t const nul = tail.find('\0');
  if (nul == 0 || nul != tail.size() - 1) {
    ThrowPackError(path, "not a deliverable: malformed entry name in .nestbox section");
  }
  stream_ = afterHeader.substr(0, streamSize);
  entryName_ = tail.substr(0, nul);
}

DeliverableContents::Mapping::~Mapping() {
  if (address != nullptr) ::munmap(address, size);
}
