#include <fcntl.h>
#include <unistd.h>

#include "fips/prepare_openssl.h"
#include "launcher/child_process.h"

namespace {

// A failed exec of the tool: -2 taken to 8 bits. It does not stop the run.
constexpr int EXIT_TOOL_EXEC_FAILED = 254;

}  // namespace

void GenerateFipsConfig(std::string toolPath, std::string modulePath,
                        std::string configPath) {
  InstallForwardingHandlers();
  char fipsinstall[] = "fipsinstall";
  char quiet[] = "-quiet";
  char module[] = "-module";
  char* const argv[] = {toolPath.data(), fipsinstall, quiet, module,
                        modulePath.data(), nullptr};

  if (ForkChild() == 0) {
    // Failures here only mean that the output does not reach the file.
    int const config =
        ::open(configPath.c_str(), O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (config == STDOUT_FILENO) {
      // Our standard output was closed and the file took its number.
      ::fcntl(config, F_SETFD, 0);
    } else if (config >= 0) {
      ::dup2(config, STDOUT_FILENO);
      ::close(config);
    }
    ::execv(toolPath.c_str(), argv);
    ::_exit(EXIT_TOOL_EXEC_FAILED);
  }
  WaitForChild();
}
