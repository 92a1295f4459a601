#pragma once

// Helpers for the tests of nestbox as a kit, on top of the producer's test
// helpers (scratch directories under the build tree, runs of real
// processes): snapshots of whole trees, runs of the build machinery that
// keep its temporary files in the scratch directory, and the check of a
// one-line refusal.

#include <sys/types.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "pack_test_support.h"

namespace kittest {

using packtest::RunResult;
using packtest::ScratchDir;

struct TreeEntry {
  char kind = '?';  // 'd' directory, 'f' regular file, 'l' symbolic link
  mode_t permissions = 0;
  std::string content;  // a file's bytes, a link's target
  friend bool operator==(TreeEntry const&, TreeEntry const&) = default;
};
void PrintTo(TreeEntry const& entry, std::ostream* out);

// Everything below top (top itself excluded), by path relative to top,
// without following symbolic links.
using Tree = std::map<std::string, TreeEntry>;
Tree TreeAt(std::string const& top);

// Runs a program of the build machinery (cmake, cpack, readelf, dpkg, ...)
// with TMPDIR inside the scratch directory, so that neither it nor the
// compilers it starts write to the host's /tmp.
RunResult RunTool(ScratchDir const& scratch, std::vector<std::string> const& argv,
                  std::vector<std::string> const& environment = {});

// The NEEDED entries of an ELF file's dynamic section, in order.
std::vector<std::string> NeededLibraries(ScratchDir const& scratch, std::string const& elf);

// A refusal: the status, nothing on stdout, and one line on stderr that
// reads "nestbox-pack: PATH: ..." and holds the problem.
void ExpectRefusal(RunResult const& result, int status, std::string const& path,
                   std::string const& problem);

}  // namespace kittest
