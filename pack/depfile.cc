#include "pack/depfile.h"

#include "pack/pack_error.h"

namespace {

std::string Escaped(std::string const& path) {
  std::string text;
  for (std::size_t i = 0; i < path.size(); ++i) {
    char const c = path[i];
    if (c == '\n' || c == '\r') {
      ThrowPackError(path, "a newline in a path cannot be written to a depfile");
    }
    if (c == ' ' || c == '\t' || c == '#') {
      // Backslashes right before a blank or '#' are doubled so that they do
      // not escape it; elsewhere a backslash stands for itself.
      for (std::size_t j = i; j > 0 && path[j - 1] == '\\'; --j) text += '\\';
      text += '\\';
      text += c;
    } else if (c == '$') {
      text += "$$";
    } else {
      text += c;
    }
  }
  return text;
}

}  // namespace

std::string Depfile(std::string const& target, std::vector<std::string> const& prerequisites) {
  std::string text = Escaped(target) + ":";
  for (std::string const& prerequisite : prerequisites) {
    text += " \\\n  ";
    text += Escaped(prerequisite);
  }
  text += "\n";
  return text;
}
