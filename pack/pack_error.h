#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

// Why nestbox-pack refuses its input or gives up. what() is the text that
// follows "nestbox-pack: " on the one line that the tool writes to stderr;
// it names the path concerned first.
class PackError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A command line that the tool does not understand (exit status 2 rather
// than 1).
class UsageError : public PackError {
 public:
  using PackError::PackError;
};

// "PATH: PROBLEM", with the path made printable.
[[noreturn]] void ThrowPackError(std::string_view path, std::string_view problem);

// "PATH: PROBLEM: <description of errorNumber>".
[[noreturn]] void ThrowPackErrno(std::string_view path, std::string_view problem,
                                 int errorNumber);
