#include "fips/prepare_openssl.h"

#include <sys/file.h>

#include "support/paths.h"
#include "support/syslogger.h"
#include "support/system_error.h"
#include "support/unique_fd.h"
#include "workdir/lock_file.h"

namespace {

// Runs that share a working directory must take turns: a second run can
// verify the directory after the first has placed it and before it has
// prepared it, and two preparations at once would write the same copy and
// append to the same file. The lock lives in the working directory itself,
// so it binds exactly the runs that share it: the parent's lock file can
// belong to another user's run at this moment and be closed to us. It is
// never removed while the directory exists, so every run locks the same
// file; the release erases it with the rest.
UniqueFd LockPreparation(std::string const& dirPath) {
  UniqueFd lock(LockFile::OpenLockPath(dirPath + "/openssl.cnf.lock"));
  if (!lock) ThrowSystemError("Failed to create lock file");
  if (::flock(lock.get(), LOCK_EX) != 0) {
    ThrowSystemError("Failed to flock lock file");
  }
  return lock;
}

}  // namespace

void PrepareOpenSsl(std::string const& dirPath) {
  std::string const toolPath = dirPath + "/openssl";
  std::string const modulePath = dirPath + "/fips.so";
  std::string const configPath = dirPath + "/openssl.cnf";
  if (!FileExists(toolPath) || !FileExists(modulePath) ||
      !FileExists(configPath)) {
    Log("OpenSSL files are not provided, skipping OpenSSL initialization");
    return;
  }
  UniqueFd const turn = LockPreparation(dirPath);
  ReplaceInFile(configPath, "# fips = fips_sect", "fips = fips_sect");
  GenerateFipsConfig(toolPath, modulePath, configPath);
}
