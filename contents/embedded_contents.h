#pragma once

// Placed by the producer in each deliverable's read-only data: the contents
// stream runs from _data_start to _data_tail, and _exec (at the address of
// _data_tail) holds the entry executable's NUL-terminated name.
extern "C" {
extern char const _data_start[];
extern char const _data_tail[];
extern char const _exec[];
}
