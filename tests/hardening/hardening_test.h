#pragma once

// The fixture of the attack cases. A sandbox whose /var/tmp and /tmp are
// shared, as on any multi-user machine, by a victim who runs a deliverable
// and a hostile neighbour (another user) who plants links, fifos, files and
// libraries there. By default the deliverable lies in a read-only directory,
// as an installed program does, so the victim's runs place their working
// directory in the shared /var/tmp. The victim acts through the launcher
// (optionally under strace, which widens a race window deterministically)
// and through shell commands of its own; the attacker only through shell
// commands. Every process of a user is a real process of that uid.

#include <sys/types.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "sandbox/launcher_log.h"
#include "sandbox/sandbox.h"
#include "support/unique_fd.h"

namespace nestbox::hardening {

using sandbox::Outcome;
using sandbox::Process;

struct Account {
  char const* name;
  uid_t uid;
  char const* dataSuffix;  // what the account adds to a working directory name
};
inline Account const ROOT{"Root", 0, ""};
inline Account const NOBODY{"Nobody", 65534, "_nobody"};
// Without a password entry: it can plant things but cannot run the launcher.
inline Account const UID4242{"Uid4242", 4242, nullptr};

struct Parties {
  Account victim;
  Account attacker;
};
inline std::vector<Parties> const VICTIMS_AND_ATTACKERS{{ROOT, NOBODY}, {NOBODY, UID4242}};
std::string NameOf(Parties const& parties);  // "RootAttackedByNobody"
void PrintTo(Parties const& parties, std::ostream* out);

inline constexpr char APP_DIR[] = "/tmp/apps";
inline constexpr char VAR_TMP[] = "/var/tmp";
// The victim's home: private, on the file system of the working directories
// in /var/tmp (so that hard links between them are possible), with a fake
// ~/.ssh as the canary that no attack may change.
inline constexpr char HOME[] = "/var/tmp/home";
inline constexpr char SSH_DIR[] = "/var/tmp/home/.ssh";
inline constexpr char AUTHORIZED_KEYS[] = "/var/tmp/home/.ssh/authorized_keys";
// The neighbour's own tree: an entry executable, the neighbour's library and
// the probe's nested file, all of the right names.
inline constexpr char NEIGHBOUR_TREE[] = "/tmp/neighbour";
// Left by the neighbour's code when it runs anywhere.
inline constexpr char NEIGHBOUR_MARK[] = "/tmp/neighbour-code-ran";
// What the probe reports when its own library was loaded.
inline constexpr char OWN_MARKER[] = "marker library loaded";

enum class Deliverable { PROBE, OPENSSL_PROBE };

struct Layout {
  Deliverable deliverable = Deliverable::PROBE;
  std::string launcherName = "Probe";
  // The launcher's own directory: read-only when no mode is given, else a
  // writable directory of that mode, owned by the victim.
  std::optional<mode_t> launcherDirMode;
  mode_t varTmpMode = 01777;
  mode_t tmpMode = 01777;
};

struct Invocation {
  std::vector<std::string> environment;  // added to the clean one
  // strace options (after -f -qq -o TRACE_FILE); none: no strace.
  std::vector<std::string> strace;
};

// Where strace writes what it traces, inside the sandbox.
inline constexpr char TRACE_FILE[] = "/tmp/strace.out";
// Long enough for a test to act while strace holds a process at a system
// call, far beyond the few milliseconds that the acts take.
inline constexpr char RACE_DELAY_USEC[] = "3000000";

// Everything about a tree that an attack could change: for each entry, the
// root included, its kind, permission bits, owner, inode, link count and
// size, and a file's bytes or a link's target. Links are never followed.
using Snapshot = std::map<std::string, std::string>;
Snapshot TakeSnapshot(std::string const& path);

class HardeningTest : public ::testing::Test {
 protected:
  virtual Parties CaseParties() const { return {ROOT, NOBODY}; }
  virtual Layout CaseLayout() const { return {}; }

  void SetUp() override;

  Account const& Victim() const { return parties_.victim; }
  Account const& Attacker() const { return parties_.attacker; }
  std::string const& Launcher() const { return launcher_; }
  std::string LockFile(std::string const& parent) const;
  std::string WorkDir(std::string const& parent, int attempt = 0) const;
  static std::string Entry(std::string const& workDir) { return workDir + "/probe"; }

  // The launcher, run by the victim.
  Process Start(Invocation const& run = {});
  Process RunToEnd(Invocation const& run = {});
  // The launcher run under strace: the process that strace started.
  pid_t TracedLauncher(Process const& strace);

  // A shell script run by a user; the test fails unless it ends with 0.
  void Shell(Account const& user, std::string const& script);
  // A shell script that goes on running (to hold something open); it has
  // done its setup once it has printed "ready".
  Process StartShell(Account const& user, std::string const& script);

  // The victim's home with the fake ~/.ssh.
  void MakeHome();
  // An extract-only run of another copy of the deliverable that lies in the
  // victim's home: a kept extraction that verifies, as a link target that
  // the victim itself could have made. Returns its path.
  std::string KeptExtractionInHome();
  // The neighbour's tree, owned by the attacker.
  void MakeNeighbourTree();

  // Log entries of launchers as "info: TEXT" or "err: TEXT", from the mark
  // on; every entry must come from the launcher's identity and facility.
  size_t LogMark();
  std::vector<std::string> LogSince(size_t mark);

  std::unique_ptr<sandbox::Sandbox> sandbox_;

 private:
  Parties parties_{ROOT, NOBODY};
  Layout layout_;
  std::string launcher_;
  UniqueFd deliverable_;
  UniqueFd neighbourLibrary_;
};

// Expected log entries of the launcher's steps.
using sandbox::Concat;
using sandbox::Error;
using sandbox::FailedPlacement;
using sandbox::OpenSslSkipped;
using sandbox::Placement;
using sandbox::Release;
// Log lines: the exact ones, then one that begins with each prefix (for
// errors whose description depends on the kernel's choice of errno).
::testing::Matcher<std::vector<std::string> const&> LogIs(
    std::vector<std::string> const& exact, std::vector<std::string> const& prefixes);

// The value of the probe's line "probe.KEY=VALUE" in its output.
std::optional<std::string> ProbeValue(std::string const& output, std::string const& key);

// The text quoted for the shell.
std::string Quoted(std::string const& text);

// The children of a process, from /proc.
std::vector<pid_t> ChildrenOf(pid_t parent);
// Waits until the process has a child; its id, or -1 at the guard.
pid_t WaitForChildOf(pid_t parent,
                     std::chrono::milliseconds guard = sandbox::HANG_GUARD);
// Waits until the process is inside the system call with that number; with
// strace holding it there, the process stays in it while the test acts.
bool WaitForSyscall(pid_t pid, long number,
                    std::chrono::milliseconds guard = sandbox::HANG_GUARD);
// Waits until the trace file holds a line with the text.
bool WaitForTrace(std::string_view text,
                  std::chrono::milliseconds guard = sandbox::HANG_GUARD);

// Holds an exclusive flock on the file (created for the owner, mode 0755,
// as a launcher run would) until destroyed.
UniqueFd HoldLockFile(std::string const& path, uid_t owner);

}  // namespace nestbox::hardening
