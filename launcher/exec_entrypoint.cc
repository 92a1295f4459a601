#include "launcher/exec_entrypoint.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "contents/embedded_contents.h"
#include "launcher/child_process.h"
#include "support/paths.h"
#include "support/system_error.h"
#include "support/syslogger.h"

namespace {

constexpr int EXIT_EXEC_REFUSED = 253;
constexpr int EXIT_EXEC_FAILED = 254;
constexpr int EXIT_CHILD_SETUP_FAILED = 255;

// The dynamic loader splits its search path at ':' and ';' and expands
// "$ORIGIN" and the like; a working directory path with such characters (the
// launcher's name or directory may hold them) would send it to directories
// that anyone can create in /tmp. Such a path is named through the working
// directory's descriptor, which the entry executable inherits, instead.
std::string LibraryDirectory(std::string const& dirPath) {
  if (dirPath.find_first_of(":;$") == std::string::npos) return dirPath;
  int const dirFd = ::open(dirPath.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW);
  if (dirFd < 0) ThrowSystemError("Failed to open working directory.");
  return "/proc/self/fd/" + std::to_string(dirFd);
}

// The working directory goes last in the search path, after every entry the
// caller set.
std::string ChildLibraryPath(std::string const& dirPath) {
  std::string const directory = LibraryDirectory(dirPath);
  char const* const inherited = std::getenv("LD_LIBRARY_PATH");
  if (inherited == nullptr || *inherited == '\0') return directory;
  return std::string(inherited) + ":" + directory;
}

[[noreturn]] void RunEntrypoint(std::string const& dirPath,
                                std::string const& binPath,
                                std::vector<char*> const& childArgv) {
  try {
    ::setenv("LD_LIBRARY_PATH", ChildLibraryPath(dirPath).c_str(), 1);
    std::string const launcherPath = GetExecPath();
    if (!launcherPath.empty()) {
      ::setenv("NESTBOX_PATH", launcherPath.c_str(), 1);
    }
    if (!binPath.empty()) {
      ::setenv("NESTBOX_UNPACKED_PATH", binPath.c_str(), 1);
    }
  } catch (std::exception const& error) {
    // Never back into the run loop: the parent still holds the directory.
    g_logger.LogError(error);
    ::_exit(EXIT_CHILD_SETUP_FAILED);
  }
  ::execv(binPath.c_str(), childArgv.data());
  ::_exit(errno == EACCES ? EXIT_EXEC_REFUSED : EXIT_EXEC_FAILED);
}

}  // namespace

void BuildBinPath(std::string const& dirPath, std::string& binPath) {
  binPath = dirPath + "/" + _exec;
}

int ExecEntrypoint(std::string const& dirPath, int argc, char** argv) {
  std::string binPath;
  BuildBinPath(dirPath, binPath);
  InstallForwardingHandlers();

  std::vector<char*> childArgv;
  childArgv.reserve(static_cast<std::size_t>(argc) + 1);
  childArgv.push_back(binPath.data());
  for (int i = 1; i < argc; ++i) childArgv.push_back(argv[i]);
  childArgv.push_back(nullptr);

  if (ForkChild() == 0) RunEntrypoint(dirPath, binPath, childArgv);
  return WaitForChild();
}
