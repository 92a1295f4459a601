#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// What a deliverable carries, found through its contents section alone (so
// a stripped deliverable still reads): the contents stream and the entry
// name, as views into the file mapped read-only for the life of the object.
class DeliverableContents {
 public:
  // Raises a PackError naming `path` for a file that cannot be read or is
  // not a deliverable. The stream itself is not parsed here.
  explicit DeliverableContents(std::string const& path);
  DeliverableContents(DeliverableContents const&) = delete;
  DeliverableContents& operator=(DeliverableContents const&) = delete;

  std::string_view stream() const { return stream_; }
  std::string_view entryName() const { return entryName_; }

 private:
  // Unmaps when it goes, also when the constructor refuses the file.
  struct Mapping {
    Mapping() = default;
    Mapping(Mapping const&) = delete;
    Mapping& operator=(Mapping const&) = delete;
    ~Mapping();
    void* address = nullptr;
    std::size_t size = 0;
  };

  Mapping mapping_;
  std::string_view stream_;
  std::string_view entryName_;
};
