#include "pack/deliverable_listing.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include "contents/contents_reader.h"
#include "pack/deliverable_contents.h"
#include "pack/pack_error.h"
#include "pack/printable.h"

namespace {

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
  DeliverableContents const contents(path);
  return ListStream(contents.stream(), contents.entryName(), path);
}
