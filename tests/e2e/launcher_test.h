#pragma once

// The fixture of the launcher's end-to-end cases: a sandbox with the probe
// deliverable installed as "Probe", runs of it as a chosen user, and the
// log entries and file names that the launcher is expected to produce.

#include <sys/types.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "probe_report.h"
#include "sandbox/launcher_log.h"
#include "sandbox/sandbox.h"

namespace nestbox::e2e {

using sandbox::Outcome;
using sandbox::Process;

inline constexpr char LAUNCHER_NAME[] = "Probe";
inline constexpr char APP_DIR[] = "/tmp/apps";

struct User {
  char const* name;
  std::optional<uid_t> uid;  // none: the test's own user, root
  char const* dataSuffix;    // what the user adds to the working dir name
};
inline User const ROOT{"Root", std::nullopt, ""};
inline User const NOBODY{"Nobody", 65534, "_nobody"};  // has a password entry
inline User const NO_PASSWORD_ENTRY{"Uid4242", 4242, ""};
inline std::vector<User> const USERS_WITH_NAMES{ROOT, NOBODY};
void PrintTo(User const& user, std::ostream* out);

// Where the launcher lies and whether its candidate parent directories let
// anything run.
struct Layout {
  std::string launcherDir = APP_DIR;
  bool noexecCandidates = false;  // launcher dir, /var/tmp and /tmp noexec
  std::size_t launcherDirBytes = 0;  // a tiny launcher dir; 0: no limit
};

struct Invocation {
  std::vector<std::string> args;
  std::vector<std::string> environment;  // added to the clean one
  std::vector<int> ignoredSignals;
};

// One entry of a file tree, relative to its top, for comparisons.
struct TreeEntry {
  mode_t type;
  mode_t permissions;
  uid_t owner;
  off_t size;  // files only
  friend bool operator==(TreeEntry const&, TreeEntry const&) = default;
};
using Tree = std::map<std::string, TreeEntry>;
void PrintTo(TreeEntry const& entry, std::ostream* out);

class LauncherTest : public ::testing::Test {
 protected:
  virtual User RunAs() const { return ROOT; }
  virtual Layout CaseLayout() const { return {}; }

  void SetUp() override;

  Process Start(Invocation const& run = {});
  // Start, then wait for the end with the hang guard; the process's Wait
  // then tells the outcome.
  Process RunToEnd(Invocation const& run = {});

  std::string const& Launcher() const { return launcher_; }
  std::string const& LauncherDir() const { return layout_.launcherDir; }
  std::string LockFile(std::string const& parent) const;
  std::string WorkDir(std::string const& parent, int attempt = 0) const;
  std::string WorkDir() const { return WorkDir(LauncherDir()); }
  std::string Entry(std::string const& workDir) const { return workDir + "/probe"; }

  // The entries of one launcher as "info: TEXT" or "err: TEXT". Every entry
  // in the log must come from a launcher that this case started, under the
  // launcher's identity and facility.
  std::vector<std::string> LauncherLog(pid_t launcher);

  // The probe's application as packed, with the modes and owner that the
  // extraction should give it.
  Tree ExpectedExtraction() const;
  static Tree TreeAt(std::string const& dir);

  std::unique_ptr<sandbox::Sandbox> sandbox_;
  User user_ = ROOT;

 private:
  Layout layout_;
  std::string launcher_;
  Tree packedApp_;  // as found in the build tree
  std::vector<pid_t> launchers_;
};

// The log entries of the launcher's steps.
using sandbox::ChildExit;
using sandbox::Concat;
using sandbox::Error;
using sandbox::FailedPlacement;
using sandbox::OpenSslSkipped;
using sandbox::Placement;
using sandbox::Release;

// Whether a flock of that kind can be had at once on the directory.
bool CanLock(std::string const& dir, int operation);

}  // namespace nestbox::e2e
