#pragma once

#include <string>

// The launcher library that every deliverable is linked with: found beside
// this tool, at <bindir>/../lib/nestbox/libnestbox_launcher.a, in the build
// tree as after installation. Raises a PackError when it is not there.
std::string LauncherLibraryPath();

// The C++ compiler driver that links deliverables: $NESTBOX_CXX when set and
// not empty, else the compiler this tool was built with, else `c++` from
// PATH when that compiler is gone.
std::string CompilerDriver();

// Assembles workDir/asmName and links it with the launcher library into
// workDir/outputName. The compiler runs inside workDir on relative names
// (and with TMPDIR there), so no path of this run ends up in the output.
// Raises a PackError naming `deliverablePath` when the compiler cannot be
// started or fails; its own diagnostics go to stderr as they come.
void LinkDeliverable(std::string const& workDir, std::string const& asmName,
                     std::string const& outputName, std::string const& deliverablePath);
