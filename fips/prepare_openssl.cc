#include "fips/prepare_openssl.h"

#include "support/paths.h"
#include "support/syslogger.h"
#include "workdir/lock_file.h"

void PrepareOpenSsl(std::string const& dirPath,
                    std::string const& lockFilePath) {
  std::string const toolPath = dirPath + "/openssl";
  std::string const modulePath = dirPath + "/fips.so";
  std::string const configPath = dirPath + "/openssl.cnf";
  if (!FileExists(toolPath) || !FileExists(modulePath) ||
      !FileExists(configPath)) {
    Log("OpenSSL files are not provided, skipping OpenSSL initialization");
    return;
  }
  LockFile parentLock(lockFilePath);
  ReplaceInFile(configPath, "# fips = fips_sect", "fips = fips_sect");
  GenerateFipsConfig(toolPath, modulePath, configPath);
}
