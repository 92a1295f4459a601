#pragma once

// The log entries that the launcher writes for each of its steps, as the
// sandbox's log reader renders them ("info: TEXT", "err: TEXT"), so that
// every end-to-end suite states the expected sequences the same way.

#include <initializer_list>
#include <string>
#include <vector>

namespace nestbox::sandbox {

std::vector<std::string> Placement(std::string const& lockFile, std::string const& workDir);
// An attempt that failed after taking the lock file.
std::vector<std::string> FailedPlacement(std::string const& lockFile);
std::vector<std::string> Release(std::string const& lockFile, std::string const& workDir,
                                 bool erase);
std::string OpenSslSkipped();
std::string ChildExit(int status);
std::string Error(std::string const& text);
std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts);

}  // namespace nestbox::sandbox
