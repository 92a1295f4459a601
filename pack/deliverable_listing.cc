#include "pack/deliverable_listing.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "contents/contents_reader.h"
#include "pack/contents_assembly.h"
#include "pack/elf_sections.h"
#include "pack/pack_error.h"
#include "pack/printable.h"
#include "support/unique_fd.h"

namespace {

// A whole file mapped read-only for the life of the object.
class MappedFile {
 public:
  explicit MappedFile(std::string const& path) {
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
    size_ = static_cast<std::size_t>(status.st_size);
    if (size_ == 0) return;
    void* const address = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (address == MAP_FAILED) {
      int const savedErrno = errno;
      ThrowPackErrno(path, "cannot read", savedErrno);
    }
    data_ = static_cast<char const*>(address);
  }
  MappedFile(MappedFile const&) = delete;
  MappedFile& operator=(MappedFile const&) = delete;
  ~MappedFile() {
    if (data_ != nullptr) ::munmap(const_cast<char*>(data_), size_);
  }

  std::string_view bytes() const { return {data_, size_}; }

 private:
  char const* data_ = nullptr;
  std::size_t size_ = 0;
};

std::uint64_t ReadLittleEndian(std::string_view bytes, std::size_t offset, unsigned count) {
  unsigned char raw[8] = {};
  std::memcpy(raw, bytes.data() + offset, count);
  std::uint64_t value = 0;
  for (unsigned i = 0; i < count; ++i) value |= static_cast<std::uint64_t>(raw[i]) << (8 * i);
  return value;
}

std::string ModeText(std::uint32_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%04" PRIo32, mode);
  return text;
}

}  // namespace

std::string ListStream(std::string_view stream, std::string_view entryName,
                       std::string const& path) {
  std::string listing;
  ContentsReader reader(stream.data(), stream.data() + stream.size());
  try {
    while (!reader.IsEnd()) {
      std::string const name = reader.ReadString();
      if (reader.ReadBool()) {
        std::uint32_t const mode = reader.ReadUInt32();
        listing += "d " + ModeText(mode) + " " + Printable(name) + "\n";
        continue;
      }
      std::string const parent = reader.ReadString();
      std::uint64_t const size = reader.ReadUInt64();
      std::uint32_t const mode = reader.ReadUInt32();
      reader.ReadBinary(size);
      std::string const filePath = parent == "." ? name : parent + "/" + name;
      listing += "f " + ModeText(mode) + " " + std::to_string(size) + " " +
                 Printable(filePath) + "\n";
    }
  } catch (std::runtime_error const& error) {
    ThrowPackError(path, std::string("contents stream does not parse: ") + error.what());
  }
  listing += "entry " + Printable(entryName) + "\n";
  return listing;
}

std::string ListDeliverable(std::string const& path) {
  MappedFile const file(path);
  std::string_view const image = file.bytes();
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
  std::string_view const stream = afterHeader.substr(0, streamSize);
  std::string_view const tail = afterHeader.substr(streamSize);
  // The entry name and its one NUL end the section exactly.
  std::size_t const nul = tail.find('\0');
  if (nul == 0 || nul != tail.size() - 1) {
    ThrowPackError(path, "not a deliverable: malformed entry name in .nestbox section");
  }
  return ListStream(stream, tail.substr(0, nul), path);
}
