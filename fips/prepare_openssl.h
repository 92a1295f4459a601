#pragma once

#include <string>

// Enables the OpenSSL FIPS provider in a working directory whose contents
// carry the OpenSSL tool ("openssl"), its FIPS module ("fips.so") and a
// configuration file ("openssl.cnf"): the line that names the FIPS section is
// switched on and the tool's `fipsinstall` output is appended to the file.
// When one of the three is missing it only logs that. Runs that share the
// directory take turns through "openssl.cnf.lock" in it, so their rewrites of
// the file never interleave.
void PrepareOpenSsl(std::string const& dirPath);

// Rewrites the text file at path with every line equal to lineToFind replaced
// by newLine; every line ends with '\n' afterwards. The file is replaced only
// by renaming a complete copy (path + ".tmp") over it; on any failure the copy
// is removed, the original stays as it was, and the failure is logged.
// Raises nothing.
void ReplaceInFile(std::string const& path, std::string const& lineToFind,
                   std::string const& newLine);

// Runs `toolPath fipsinstall -quiet -module modulePath` with its standard
// output appended to configPath, forwarding SIGTERM, SIGHUP and SIGINT to it.
// The tool's exit status is not examined; raises "Unable to start executable"
// when a signal ended it.
void GenerateFipsConfig(std::string toolPath, std::string modulePath,
                        std::string configPath);
