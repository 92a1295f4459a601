#pragma once

#include <string>

// The entry executable's path: the working directory, "/" and the name at
// _exec (the slash is always added).
void BuildBinPath(std::string const& dirPath, std::string& binPath);

// Runs the entry executable from the working directory as a child with the
// launcher's arguments 1..argc-1, forwards SIGTERM, SIGHUP and SIGINT to it
// and returns its exit status. A refused exec ends the child with 253 for
// EACCES and 254 otherwise.
int ExecEntrypoint(std::string const& dirPath, int argc, char** argv);
