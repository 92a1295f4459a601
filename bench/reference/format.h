// Layout of the reference extractor's payload, appended to its own executable:
//
//   stub | file data, each file starting at a 4 KiB boundary | index | trailer
//
// index: records laid end to end, all integers little-endian (this is x86-64):
//   u8 kind (1 directory, 2 file), u32 mode, u64 offset, u64 size,
//   u32 path length, path bytes (relative, directories before their files)
// trailer: u64 index offset, u64 index size, u64 entry path length,
//   then the 8 bytes of REF_MAGIC; the entry path precedes the trailer.

#pragma once

#define REF_MAGIC "nbrefv01"
#define REF_ALIGN 4096u
