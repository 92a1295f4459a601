#pragma once

#include <string>
#include <vector>

#include "pack/app_tree.h"

// The entries of appDir in stream order, checked for what a deliverable
// needs: entryName is a relative path without ".", ".." or empty components
// that names a carried regular file with the owner's execute bit, and the
// stream stays within MAX_STREAM_SIZE. Raises a PackError otherwise.
std::vector<AppEntry> CollectApplication(std::string const& appDir, std::string const& entryName);

// Packs appDir into a new deliverable at outputPath whose entry executable
// is entryName. outputPath appears whole or not at all.
void PackDeliverable(std::string const& appDir, std::string const& entryName,
                     std::string const& outputPath);

// The same pack without the link: writes asmPath, the stream beside it at
// asmPath + ".stream" and, unless depfilePath is empty, a depfile naming
// every packed file and directory.
void EmitContentsAssembly(std::string const& appDir, std::string const& entryName,
                          std::string const& asmPath, std::string const& depfilePath);
