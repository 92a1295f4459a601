#pragma once

#include <string>
#include <string_view>

// The bytes of a name as one line of text: bytes below 0x20, 0x7f and the
// backslash become \xHH (lower-case hex); every other byte, those above 127
// included, passes unchanged. Used for listings and for paths in messages.
std::string Printable(std::string_view bytes);
