#include <cstdlib>
#include <exception>
#include <set>
#include <string>

#include "fips/prepare_openssl.h"
#include "launcher/exec_entrypoint.h"
#include "support/syslogger.h"
#include "workdir/extracted_app.h"

namespace {

// Asks the entry executable's file system to be tried in another parent
// directory: the child's exec was refused with EACCES.
constexpr int EXIT_TRY_ANOTHER_PARENT = 253;

bool IsUntar() { return std::getenv("NESTBOX_UNTAR") != nullptr; }

}  // namespace

int main(int argc, char** argv) {
  try {
    std::set<std::string> skipDirs;
    for (;;) {
      bool const extractOnly = IsUntar();
      ExtractedApp app(extractOnly, skipDirs);
      if (extractOnly) return 0;

      PrepareOpenSsl(app.GetDirPath());
      int const status = ExecEntrypoint(app.GetDirPath(), argc, argv);
      if (status != 0) {
        std::string const message =
            "Child has exited with exit code " + std::to_string(status);
        g_logger.LogError(message.c_str());
      }
      if (status == EXIT_TRY_ANOTHER_PARENT) {
        skipDirs = app.GetSkipDirs();
        app.Cleanup();
        continue;
      }
      app.Cleanup();
      return status;
    }
  } catch (std::exception const& error) {
    // The pass's record has been destroyed, and so released, by now.
    g_logger.LogError(error);
    return -1;
  }
}
