// nestbox-pack: makes deliverables out of application directories, lists
// what a deliverable carries and unpacks it for inspection.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pack/deliverable_extraction.h"
#include "pack/deliverable_listing.h"
#include "pack/pack_config.h"
#include "pack/pack_error.h"
#include "pack/packer.h"
#include "pack/printable.h"

namespace {

constexpr char USAGE[] =
    "Usage:\n"
    "  nestbox-pack --entry NAME --output FILE APPDIR\n"
    "  nestbox-pack --entry NAME --emit-asm FILE.S [--depfile FILE.d] APPDIR\n"
    "  nestbox-pack --list FILE\n"
    "  nestbox-pack --extract FILE DIR\n"
    "  nestbox-pack --help | --version\n"
    "\n"
    "Packs the tree under APPDIR into a deliverable: one executable that carries\n"
    "the tree and, when run, unpacks it and runs NAME from it. Also shows and\n"
    "unpacks what a deliverable carries, without running it.\n"
    "\n"
    "Options:\n"
    "  --entry NAME      the entry executable, a path relative to APPDIR\n"
    "  --output FILE     link the deliverable FILE (replaced whole, never half-written)\n"
    "  --emit-asm FILE.S write the assembler file FILE.S and the contents stream\n"
    "                    FILE.S.stream that it embeds, for a build system to\n"
    "                    assemble and link with the launcher library\n"
    "  --depfile FILE.d  with --emit-asm: also write a Makefile-style depfile\n"
    "                    naming every packed file and directory\n"
    "  --list FILE       print the records that the deliverable FILE carries\n"
    "  --extract FILE DIR\n"
    "                    write what the deliverable FILE carries into DIR as a run\n"
    "                    would (owner's permission bits only); DIR must be empty\n"
    "                    or absent, and is created with mode 0700 when absent\n"
    "  --help            print this help and exit\n"
    "  --version         print the version and exit\n"
    "\n"
    "Environment:\n"
    "  NESTBOX_CXX       C++ compiler driver used to link (default: the one that\n"
    "                    built nestbox-pack, else c++)\n"
    "\n"
    "Files:\n"
    "  ../lib/nestbox/libnestbox_launcher.a, from the directory of nestbox-pack:\n"
    "                    the launcher library that every deliverable is linked with\n"
    "\n"
    "Exit status: 0 on success, 1 when the input is refused or packing fails,\n"
    "2 for a command line that is not understood.\n";

struct CommandLine {
  bool help = false;
  bool version = false;
  std::optional<std::string> entry;
  std::optional<std::string> output;
  std::optional<std::string> emitAsm;
  std::optional<std::string> depfile;
  std::optional<std::string> list;
  std::optional<std::string> extract;
  // APPDIR, or DIR with --extract.
  std::vector<std::string> operands;
};

// Accepts "--option VALUE" and "--option=VALUE"; "--" ends the options.
CommandLine ParseCommandLine(int argc, char** argv) {
  CommandLine line;
  struct ValueOption {
    std::string_view name;
    std::optional<std::string> CommandLine::*field;
  };
  ValueOption const valueOptions[] = {
      {"--entry", &CommandLine::entry},     {"--output", &CommandLine::output},
      {"--emit-asm", &CommandLine::emitAsm}, {"--depfile", &CommandLine::depfile},
      {"--list", &CommandLine::list},       {"--extract", &CommandLine::extract},
  };
  bool optionsDone = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view const arg = argv[i];
    if (optionsDone || arg.size() < 2 || arg[0] != '-') {
      line.operands.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsDone = true;
      continue;
    }
    if (arg == "--help") {
      line.help = true;
      continue;
    }
    if (arg == "--version") {
      line.version = true;
      continue;
    }
    std::string_view const name = arg.substr(0, arg.find('='));
    ValueOption const* option = nullptr;
    for (ValueOption const& candidate : valueOptions) {
      if (candidate.name == name) option = &candidate;
    }
    if (option == nullptr) throw UsageError("unknown option '" + std::string(name) + "'");
    std::string value;
    if (name.size() < arg.size()) {
      value = std::string(arg.substr(name.size() + 1));
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      throw UsageError("option '" + std::string(name) + "' needs an argument");
    }
    if (line.*(option->field)) throw UsageError("option '" + std::string(name) + "' given twice");
    line.*(option->field) = std::move(value);
  }
  return line;
}

int Run(CommandLine const& line) {
  if (line.help) {
    std::fputs(USAGE, stdout);
    return 0;
  }
  if (line.version) {
    std::printf("nestbox-pack %s\n", NESTBOX_VERSION);
    return 0;
  }
  bool const packing = line.entry || line.output || line.emitAsm || line.depfile;
  if (line.list && line.extract) throw UsageError("give only one of --list and --extract");
  if (line.list) {
    if (packing || !line.operands.empty()) {
      throw UsageError("--list takes a deliverable and nothing else");
    }
    std::string const listing = ListDeliverable(*line.list);
    std::fwrite(listing.data(), 1, listing.size(), stdout);
    return 0;
  }
  if (line.extract) {
    if (packing) throw UsageError("--extract takes a deliverable and a directory and nothing else");
    if (line.operands.empty()) throw UsageError("missing the directory to extract into");
    if (line.operands.size() > 1) {
      throw UsageError("unexpected argument '" + Printable(line.operands[1]) + "'");
    }
    ExtractDeliverable(*line.extract, line.operands[0]);
    return 0;
  }
  if (!line.entry) throw UsageError("missing --entry NAME");
  if (line.operands.empty()) throw UsageError("missing the application directory");
  if (line.operands.size() > 1) throw UsageError("more than one application directory given");
  std::string const& appDir = line.operands[0];
  if (line.output.has_value() == line.emitAsm.has_value()) {
    throw UsageError("give exactly one of --output FILE and --emit-asm FILE.S");
  }
  if (line.output) {
    if (line.depfile) throw UsageError("--depfile goes with --emit-asm only");
    PackDeliverable(appDir, *line.entry, *line.output);
  } else {
    EmitContentsAssembly(appDir, *line.entry, *line.emitAsm, line.depfile.value_or(""));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int status = 1;
  try {
    status = Run(ParseCommandLine(argc, argv));
  } catch (UsageError const& error) {
    std::fprintf(stderr, "nestbox-pack: %s (see nestbox-pack --help)\n", error.what());
    return 2;
  } catch (std::exception const& error) {
    std::fprintf(stderr, "nestbox-pack: %s\n", error.what());
    return 1;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "nestbox-pack: cannot write to standard output: %s\n",
                 std::strerror(errno));
    return 1;
  }
  return status;
}
