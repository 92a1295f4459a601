#include "pack/packer.h"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string_view>

#include "pack/contents_assembly.h"
#include "pack/deliverable_linker.h"
#include "pack/depfile.h"
#include "pack/output_files.h"
#include "pack/pack_error.h"
#include "pack/stream_writer.h"

namespace {

constexpr std::uint32_t OWNER_EXECUTE = 0100;

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

void CheckEntryNameForm(std::string const& entryName) {
  if (entryName.empty()) {
    throw PackError("the entry executable's name is empty");
  }
  if (entryName.front() == '/') {
    ThrowPackError(entryName, "entry executable must be a path relative to the application directory");
  }
  std::string_view rest = entryName;
  for (;;) {
    std::size_t const slash = rest.find('/');
    std::string_view const component = rest.substr(0, slash);
    if (component.empty() || component == "." || component == "..") {
      ThrowPackError(entryName,
                     "entry executable must be a path inside the application directory "
                     "without empty, \".\" or \"..\" components");
    }
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
}

void CheckEntry(std::vector<AppEntry> const& entries, std::string const& appDir,
                std::string const& entryName) {
  std::string const entryPath = appDir + "/" + entryName;
  for (AppEntry const& entry : entries) {
    if (RelativePath(entry) != entryName) continue;
    if (entry.isDirectory) ThrowPackError(entryPath, "entry executable is not a regular file");
    if ((entry.mode & OWNER_EXECUTE) == 0) {
      ThrowPackError(entryPath, "entry executable lacks the owner's execute permission");
    }
    return;
  }
  ThrowPackError(entryPath, "entry executable does not exist");
}

void WriteStreamFile(std::vector<AppEntry> const& entries, PendingFile& file) {
  WriteStream(entries, file.fd(), file.finalPath());
}

}  // namespace

std::vector<AppEntry> CollectApplication(std::string const& appDir, std::string const& entryName) {
  CheckEntryNameForm(entryName);
  std::vector<AppEntry> entries = WalkAppTree(appDir);
  CheckEntry(entries, appDir, entryName);
  std::uint64_t const size = StreamSize(entries);
  if (size > MAX_STREAM_SIZE) {
    ThrowPackError(appDir, "application too large for a deliverable: its contents stream would take " +
                               std::to_string(size) + " bytes, the limit is " +
                               std::to_string(MAX_STREAM_SIZE) + " bytes");
  }
  return entries;
}

void PackDeliverable(std::string const& appDirArgument, std::string const& entryName,
                     std::string const& outputPath) {
  std::string const appDir = WithoutTrailingSlashes(appDirArgument);
  std::vector<AppEntry> const entries = CollectApplication(appDir, entryName);

  // Fixed names inside a private directory: nothing about this run's paths
  // can reach the deliverable, which is then the same for the same input.
  static constexpr char STREAM_NAME[] = "contents.stream";
  static constexpr char ASM_NAME[] = "contents.S";
  static constexpr char OUTPUT_NAME[] = "deliverable";
  ScratchDir const scratch(AbsolutePath(outputPath));
  {
    PendingFile stream(scratch.path() + "/" + STREAM_NAME);
    WriteStreamFile(entries, stream);
    stream.Commit();
    PendingFile assembly(scratch.path() + "/" + ASM_NAME);
    assembly.Write(ContentsAssembly(stream.finalPath(), entryName));
    assembly.Commit();
  }
  LinkDeliverable(scratch.path(), ASM_NAME, OUTPUT_NAME, outputPath);
  std::string const linked = scratch.path() + "/" + OUTPUT_NAME;
  if (::rename(linked.c_str(), outputPath.c_str()) != 0) {
    int const savedErrno = errno;
    ThrowPackErrno(outputPath, "cannot create", savedErrno);
  }
}

void EmitContentsAssembly(std::string const& appDirArgument, std::string const& entryName,
                          std::string const& asmPath, std::string const& depfilePath) {
  std::string const appDir = WithoutTrailingSlashes(appDirArgument);
  std::vector<AppEntry> const entries = CollectApplication(appDir, entryName);

  std::string const streamPath = AbsolutePath(asmPath) + ".stream";
  PendingFile stream(streamPath);
  WriteStreamFile(entries, stream);
  PendingFile assembly(asmPath);
  assembly.Write(ContentsAssembly(streamPath, entryName));

  std::optional<PendingFile> depfile;
  if (!depfilePath.empty()) {
    std::vector<std::string> inputs;
    for (AppEntry const& entry : entries) {
      inputs.push_back(AbsolutePath(entry.sourcePath));
      if (!entry.linkTarget.empty()) inputs.push_back(entry.linkTarget);
    }
    depfile.emplace(depfilePath);
    depfile->Write(Depfile(AbsolutePath(asmPath), inputs));
  }
  // Everything is written before anything is renamed into place; the
  // assembler file goes last since it is what the build looks at.
  stream.Commit();
  if (depfile) depfile->Commit();
  assembly.Commit();
}
