#include "pack/deliverable_linker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pack/pack_config.h"
#include "pack/pack_error.h"
#include "support/unique_fd.h"

extern char** environ;

namespace {

std::string OwnDirectory() {
  std::vector<char> buffer(PATH_MAX + 1);
  ssize_t const length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (length < 0 || static_cast<std::size_t>(length) >= buffer.size()) {
    int const savedErrno = length < 0 ? errno : ENAMETOOLONG;
    ThrowPackErrno("/proc/self/exe", "cannot find this program's own path", savedErrno);
  }
  std::string const self(buffer.data(), static_cast<std::size_t>(length));
  return self.substr(0, self.rfind('/'));
}

bool IsRegularFile(std::string const& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// Runs argv[0] (searched along PATH when it has no slash) in workDir and
// waits for it. An exec failure comes back through a close-on-exec pipe, so
// "cannot run" and "ran and failed" are told apart.
void RunInDirectory(std::vector<std::string> const& argv, std::string const& workDir,
                    std::string const& deliverablePath) {
  std::vector<char*> args;
  for (std::string const& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> environment;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    if (std::strncmp(*variable, "TMPDIR=", 7) != 0) environment.emplace_back(*variable);
  }
  environment.push_back("TMPDIR=" + workDir);
  std::vector<char*> envp;
  for (std::string const& variable : environment) envp.push_back(const_cast<char*>(variable.c_str()));
  envp.push_back(nullptr);

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    int const savedErrno = errno;
    ThrowPackErrno(deliverablePath, "cannot start the compiler", savedErrno);
  }
  UniqueFd readEnd(pipeFds[0]);
  UniqueFd writeEnd(pipeFds[1]);

  pid_t const child = ::fork();
  if (child < 0) {
    int const savedErrno = errno;
    ThrowPackErrno(deliverablePath, "cannot start the compiler", savedErrno);
  }
  if (child == 0) {
    int failure = 0;
    if (::chdir(workDir.c_str()) != 0) {
      failure = errno;
    } else {
      ::execvpe(args[0], args.data(), envp.data());
      failure = errno;
    }
    ssize_t const ignored = ::write(writeEnd.get(), &failure, sizeof failure);
    (void)ignored;
    ::_exit(127);
  }
  writeEnd.reset();

  int execErrno = 0;
  ssize_t got = 0;
  do {
    got = ::read(readEnd.get(), &execErrno, sizeof execErrno);
  } while (got < 0 && errno == EINTR);

  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      int const savedErrno = errno;
      ThrowPackErrno(deliverablePath, "cannot wait for the compiler", savedErrno);
    }
  }
  if (got == static_cast<ssize_t>(sizeof execErrno)) {
    ThrowPackErrno(deliverablePath, "cannot run the compiler '" + argv[0] + "'", execErrno);
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
  std::string const outcome =
      WIFEXITED(status) ? "exited with status " + std::to_string(WEXITSTATUS(status))
                        : "was killed by signal " + std::to_string(WTERMSIG(status));
  ThrowPackError(deliverablePath, "cannot link: the compiler '" + argv[0] + "' " + outcome);
}

}  // namespace

std::string LauncherLibraryPath() {
  std::string const ownDir = OwnDirectory();
  std::string const candidates[] = {
      ownDir + "/../lib/nestbox/" + LAUNCHER_LIBRARY_NAME,
      ownDir + "/" + INSTALLED_LIBRARY_DIR_FROM_BINDIR + "/" + LAUNCHER_LIBRARY_NAME,
  };
  for (std::string const& candidate : candidates) {
    if (IsRegularFile(candidate)) return candidate;
  }
  ThrowPackError(candidates[0], "launcher library not found beside nestbox-pack");
}

std::string CompilerDriver() {
  char const* const chosen = std::getenv("NESTBOX_CXX");
  if (chosen != nullptr && *chosen != '\0') return chosen;
  if (IsRegularFile(BUILD_CXX_COMPILER)) return BUILD_CXX_COMPILER;
  return "c++";
}

void LinkDeliverable(std::string const& workDir, std::string const& asmName,
                     std::string const& outputName, std::string const& deliverablePath) {
  std::string const compiler = CompilerDriver();
  std::string const library = LauncherLibraryPath();
  std::string const objectName = asmName + ".o";
  RunInDirectory({compiler, "-c", asmName, "-o", objectName}, workDir, deliverablePath);
  std::vector<std::string> link = {compiler};
  for (char const* option : DELIVERABLE_LINK_OPTIONS) link.emplace_back(option);
  link.insert(link.end(), {objectName, library, "-o", outputName});
  RunInDirectory(link, workDir, deliverablePath);
}
