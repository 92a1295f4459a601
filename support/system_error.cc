#include "support/system_error.h"

#include <cerrno>
#include <string>
#include <system_error>

void ThrowSystemError(int errorNumber, char const* message) {
  throw std::system_error(errorNumber, std::generic_category(),
                          std::string(message));
}

void ThrowSystemError(char const* message) {
  ThrowSystemError(errno, message);
}
