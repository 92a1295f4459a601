#include "kit_test_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>
#include <system_error>

namespace kittest {

namespace {

void CollectTree(std::string const& top, std::string const& relative, Tree& tree) {
  std::string const dir = relative.empty() ? top : top + "/" + relative;
  for (std::string const& name : packtest::ListDir(dir)) {
    std::string const path = relative.empty() ? name : relative + "/" + name;
    std::string const full = top + "/" + path;
    struct stat status {};
    if (::lstat(full.c_str(), &status) != 0) {
      throw std::system_error(errno, std::generic_category(), "lstat " + full);
    }
    TreeEntry entry;
    entry.permissions = status.st_mode & 07777;
    if (S_ISDIR(status.st_mode)) {
      entry.kind = 'd';
      tree[path] = entry;
      CollectTree(top, path, tree);
      continue;
    }
    if (S_ISLNK(status.st_mode)) {
      char target[4096];
      ssize_t const length = ::readlink(full.c_str(), target, sizeof target);
      if (length < 0) throw std::system_error(errno, std::generic_category(), "readlink " + full);
      entry.kind = 'l';
      entry.content.assign(target, static_cast<std::size_t>(length));
    } else {
      entry.kind = S_ISREG(status.st_mode) ? 'f' : '?';
      if (entry.kind == 'f') entry.content = packtest::ReadFile(full);
    }
    tree[path] = entry;
  }
}

}  // namespace

void PrintTo(TreeEntry const& entry, std::ostream* out) {
  *out << entry.kind << " " << std::oct << entry.permissions << std::dec << " ";
  if (entry.content.size() > 64) {
    *out << entry.content.size() << " bytes";
  } else {
    *out << "\"" << entry.content << "\"";
  }
}

Tree TreeAt(std::string const& top) {
  Tree tree;
  CollectTree(top, "", tree);
  return tree;
}

RunResult RunTool(ScratchDir const& scratch, std::vector<std::string> const& argv,
                  std::vector<std::string> const& environment) {
  std::string const tmp = scratch / "tmp";
  ::mkdir(tmp.c_str(), 0700);
  packtest::RunOptions options;
  options.environment = environment;
  options.environment.push_back("TMPDIR=" + tmp);
  return packtest::RunProgram(argv, options);
}

std::vector<std::string> NeededLibraries(ScratchDir const& scratch, std::string const& elf) {
  RunResult const readelf = RunTool(scratch, {"readelf", "--dynamic", "--wide", elf});
  EXPECT_EQ(readelf.status, 0) << readelf.err;
  std::vector<std::string> needed;
  for (std::string const& line : packtest::Lines(readelf.out)) {
    if (line.find("(NEEDED)") == std::string::npos) continue;
    std::size_t const open = line.find('[');
    std::size_t const close = line.rfind(']');
    if (open != std::string::npos && close != std::string::npos && open < close) {
      needed.push_back(line.substr(open + 1, close - open - 1));
    }
  }
  return needed;
}

void ExpectRefusal(RunResult const& result, int status, std::string const& path,
                   std::string const& problem) {
  EXPECT_EQ(result.status, status);
  EXPECT_EQ(result.out, "");
  std::vector<std::string> const lines = packtest::Lines(result.err);
  ASSERT_EQ(lines.size(), 1u) << result.err;
  EXPECT_TRUE(result.err.ends_with('\n')) << result.err;
  std::string const prefix = "nestbox-pack: " + path + ": ";
  EXPECT_EQ(lines[0].substr(0, prefix.size()), prefix) << lines[0];
  EXPECT_NE(lines[0].find(problem), std::string::npos) << lines[0];
}

}  // namespace kittest
