#pragma once

#include <string>

// Enables the OpenSSL FIPS provider in a working directory whose contents
// carry the OpenSSL tool ("openssl"), its FIPS module ("fips.so") and a
// configuration file ("openssl.cnf"); logs and does nothing when one of them
// is missing.
void PrepareOpenSsl(std::string const& dirPath);
