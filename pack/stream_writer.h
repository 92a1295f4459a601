#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/app_tree.h"

// The largest contents stream that goes into a deliverable. The stream and
// the entry name share one read-only section that code reaches with 32-bit
// PC-relative offsets (x86-64 small code model), so the section, and with
// it everything linked behind it, must stay well inside 2 GiB.
inline constexpr std::uint64_t MAX_STREAM_SIZE = 2'000'000'000;

// Exact number of bytes that WriteStream writes for these entries
// (saturating at UINT64_MAX).
std::uint64_t StreamSize(std::vector<AppEntry> const& entries);

// Writes the records end to end: little-endian integers, strings as a
// 32-bit length and the bytes, no header or padding. Directory record:
// name, flag 1, mode. File record: name, flag 0, parent, size, mode, data.
// File data is read from each entry's sourcePath; a file whose size is no
// longer what the walk saw is refused rather than carried half-changed.
// Failures raise a PackError naming the file read or outputPath.
void WriteStream(std::vector<AppEntry> const& entries, int outputFd,
                 std::string const& outputPath);
