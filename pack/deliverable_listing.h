#pragma once

#include <string>
#include <string_view>

// The records of a contents stream in stream order, one line each, then the
// entry name:
//   d MODE NAME          a directory
//   f MODE SIZE PATH     a file; PATH is parent "/" name unless the parent is "."
//   entry NAME
// MODE is four octal digits; names pass through Printable. Raises a
// PackError naming `path` when the stream does not parse.
std::string ListStream(std::string_view stream, std::string_view entryName,
                       std::string const& path);

// ListStream for the stream that the deliverable at `path` carries, found
// through its contents section. Raises a PackError naming `path` for a file
// that cannot be read or is not a deliverable.
std::string ListDeliverable(std::string const& path);
