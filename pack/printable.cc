#include "pack/printable.h"

std::string Printable(std::string_view bytes) {
  static constexpr char HEX_DIGITS[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size());
  for (char const c : bytes) {
    auto const byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || byte == '\\') {
      text += "\\x";
      text += HEX_DIGITS[byte >> 4];
      text += HEX_DIGITS[byte & 0xf];
    } else {
      text += c;
    }
  }
  return text;
}
