#pragma once

#include <string>

// Writes what the deliverable at `path` carries into targetDir, with the
// launcher's own walk over its contents stream: the same order, the same
// modes (the owner's bits of each stored mode, under the umask) and the same
// errors as when a run fills a fresh working directory. Nothing is run.
//
// The stream is parsed whole before anything is written, so a file that is
// not an intact deliverable leaves targetDir as it was. targetDir is created
// with mode 0700 when absent (its parent must exist); an existing targetDir
// must be an empty directory and keeps its mode. When the walk fails midway,
// what it wrote is removed again, and targetDir too when this call made it.
// Raises a PackError naming `path` or targetDir.
void ExtractDeliverable(std::string const& path, std::string const& targetDir);
