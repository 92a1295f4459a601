// Prints what GetExecPath() gives in this process: the path, or the line of
// the error it raised. The paths test runs copies of it from long paths.

#include <unistd.h>

#include <string>

#include "support/paths.h"
#include "unit_support.h"

int main() {
  std::string output;
  std::string const raised = RaisedBy([&] { output = "path " + GetExecPath(); });
  if (!raised.empty()) output = "raised " + raised;
  return ::write(STDOUT_FILENO, output.data(), output.size()) ==
                 static_cast<ssize_t>(output.size())
             ? 0
             : 1;
}
