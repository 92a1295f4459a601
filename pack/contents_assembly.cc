#include "pack/contents_assembly.h"

namespace {

bool IsPlainPathByte(unsigned char byte) {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= '0' && byte <= '9') || byte == '/' || byte == '.' ||
         byte == '_' || byte == '-' || byte == '+';
}

// Every byte that is not plainly safe becomes a three-digit octal escape, so
// the string means the same to the assembler whether or not the C
// preprocessor has seen it first (quotes, backslashes, '#', "/*", newlines).
std::string AssemblerString(std::string const& bytes) {
  std::string text = "\"";
  for (char const c : bytes) {
    auto const byte = static_cast<unsigned char>(c);
    if (IsPlainPathByte(byte)) {
      text += c;
    } else {
      text += '\\';
      text += static_cast<char>('0' + ((byte >> 6) & 7));
      text += static_cast<char>('0' + ((byte >> 3) & 7));
      text += static_cast<char>('0' + (byte & 7));
    }
  }
  text += '"';
  return text;
}

std::string ByteDirectives(std::string const& bytes) {
  std::string text;
  std::size_t column = 0;
  for (std::size_t i = 0; i <= bytes.size(); ++i) {
    unsigned const byte = i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0;
    text += column == 0 ? "\t.byte " : ",";
    text += std::to_string(byte);
    if (++column == 16 || i == bytes.size()) {
      text += '\n';
      column = 0;
    }
  }
  return text;
}

}  // namespace

std::string ContentsAssembly(std::string const& streamPath, std::string const& entryName) {
  std::string text;
  text += "# Contents of a nestbox deliverable, written by nestbox-pack.\n";
  text += "\t.section ";
  text += CONTENTS_SECTION;
  text += ",\"a\",@progbits\n";
  text +=
      "\t.p2align 3\n"
      "\t.quad _data_tail - _data_start\n"
      "\t.4byte 0\n"
      "\t.globl _data_start\n"
      "\t.type _data_start, @object\n"
      "\t.size _data_start, _data_tail - _data_start\n"
      "_data_start:\n"
      "\t.incbin ";
  text += AssemblerString(streamPath);
  text += '\n';
  text +=
      "\t.globl _data_tail\n"
      "\t.globl _exec\n"
      "\t.type _exec, @object\n";
  text += "\t.size _exec, " + std::to_string(entryName.size() + 1) + "\n";
  text +=
      "_data_tail:\n"
      "_exec:\n";
  text += ByteDirectives(entryName);
  text += "\t.section .note.GNU-stack,\"\",%progbits\n";
  return text;
}
