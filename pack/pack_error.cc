#include "pack/pack_error.h"

#include <cstring>

#include "pack/printable.h"

void ThrowPackError(std::string_view path, std::string_view problem) {
  std::string text = Printable(path);
  text += ": ";
  text += problem;
  throw PackError(text);
}

void ThrowPackErrno(std::string_view path, std::string_view problem,
                    int errorNumber) {
  std::string text(problem);
  text += ": ";
  text += std::strerror(errorNumber);
  ThrowPackError(path, text);
}
