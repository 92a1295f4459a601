#include "fips/prepare_openssl.h"

#include "support/paths.h"
#include "support/syslogger.h"

void PrepareOpenSsl(std::string const& dirPath) {
  std::string const toolPath = dirPath + "/openssl";
  std::string const modulePath = dirPath + "/fips.so";
  std::string const configPath = dirPath + "/openssl.cnf";
  if (!FileExists(toolPath) || !FileExists(modulePath) ||
      !FileExists(configPath)) {
    Log("OpenSSL files are not provided, skipping OpenSSL initialization");
    return;
  }
  // The configuration and the tool's run arrive with the FIPS preparation.
}
