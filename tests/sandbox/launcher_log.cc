#include "sandbox/launcher_log.h"

namespace nestbox::sandbox {

std::vector<std::string> Placement(std::string const& lockFile, std::string const& workDir) {
  return {"info: acquired lock " + lockFile, "info: Extracting contents to " + workDir,
          "info: releasing lock " + lockFile};
}

std::vector<std::string> FailedPlacement(std::string const& lockFile) {
  return {"info: acquired lock " + lockFile, "info: releasing lock " + lockFile};
}

std::vector<std::string> Release(std::string const& lockFile, std::string const& workDir,
                                 bool erase) {
  std::vector<std::string> lines{"info: acquired lock " + lockFile};
  if (erase) lines.push_back("info: Erasing contents at " + workDir);
  lines.push_back("info: releasing lock " + lockFile);
  return lines;
}

std::string OpenSslSkipped() {
  return "info: OpenSSL files are not provided, skipping OpenSSL initialization";
}

std::string ChildExit(int status) {
  return "err: Child has exited with exit code " + std::to_string(status);
}

std::string Error(std::string const& text) { return "err: " + text; }

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (auto const& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

}  // namespace nestbox::sandbox
