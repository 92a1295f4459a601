#pragma once

#include <string>

// Name of the section that holds a deliverable's contents. Its layout:
//   offset 0   uint64 little-endian: stream length
//   offset 8   uint32: zero
//   offset 12  _data_start: the stream (its length in bytes)
//              _data_tail = _exec: the entry name's bytes, one NUL
// The section is 8-aligned, so the stream starts at an address that is 4
// modulo 8 and no reader of it can get away with assuming alignment. The
// length lets `nestbox-pack --list` find the stream by the section header
// alone, which survives strip.
inline constexpr char CONTENTS_SECTION[] = ".nestbox";
inline constexpr unsigned CONTENTS_HEADER_SIZE = 12;

// Assembler source (for the C preprocessor or plain `as`) that defines
// _data_start, _data_tail and _exec in the section above, taking the stream
// in with .incbin from streamPath. streamPath may hold any byte but NUL;
// entryName is emitted byte by byte.
std::string ContentsAssembly(std::string const& streamPath, std::string const& entryName);
