#include "fips_test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include "support/unique_fd.h"

namespace nestbox::fips_test {

namespace {

using Clock = std::chrono::steady_clock;

// How long anything may take before a helper calls it hung. A guard against
// hangs only, far above what any case needs.
constexpr std::chrono::seconds HANG_GUARD{60};
constexpr unsigned CHILD_ALARM_SECONDS = 60;

[[noreturn]] void Fail(int savedErrno, std::string const& what) {
  throw std::system_error(savedErrno, std::generic_category(), what);
}

std::vector<std::string> ListDirectory(std::string const& path) {
  std::vector<std::string> names;
  DirStream stream(::opendir(path.c_str()));
  if (stream.get() == nullptr) return names;
  while (dirent const* entry = ::readdir(stream.get())) {
    std::string const name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Tests leave directories without write permission and trees owned by
// other users; open each directory up before emptying it.
void RemoveTree(std::string const& path) {
  struct stat status;
  if (::lstat(path.c_str(), &status) != 0) return;
  if (S_ISDIR(status.st_mode)) {
    ::chmod(path.c_str(), 0700);
    for (auto const& name : ListDirectory(path)) RemoveTree(path + "/" + name);
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t const n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void SnapshotInto(std::string const& root, std::string const& relative,
                  std::ostringstream& out) {
  std::string const path = relative.empty() ? root : root + "/" + relative;
  struct stat status;
  if (::lstat(path.c_str(), &status) != 0) return;
  char line[160];
  std::snprintf(line, sizeof line, " mode=%o uid=%u ino=%llu size=%lld",
                static_cast<unsigned>(status.st_mode),
                static_cast<unsigned>(status.st_uid),
                static_cast<unsigned long long>(status.st_ino),
                static_cast<long long>(status.st_size));
  out << (relative.empty() ? "." : relative) << line;
  if (S_ISREG(status.st_mode)) out << " data=[" << ReadHostFile(path) << "]";
  if (S_ISLNK(status.st_mode)) {
    char target[4096] = {};
    if (::readlink(path.c_str(), target, sizeof target - 1) < 0) target[0] = '\0';
    out << " ->" << target;
  }
  out << '\n';
  if (S_ISDIR(status.st_mode)) {
    for (auto const& name : ListDirectory(path)) {
      SnapshotInto(root, relative.empty() ? name : relative + "/" + name, out);
    }
  }
}

// "MAJ:MIN:INODE" as /proc/locks names a file.
std::string LockedFileId(struct stat const& status) {
  char id[64];
  std::snprintf(id, sizeof id, "%02x:%02x:%lu", major(status.st_dev),
                minor(status.st_dev), static_cast<unsigned long>(status.st_ino));
  return id;
}

}  // namespace

std::string StandInSection(std::string_view moduleBytes) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char const byte : moduleBytes) {
    hash ^= byte;
    hash *= 0x100000001b3ULL;
  }
  char digest[17];
  std::snprintf(digest, sizeof digest, "%016" PRIx64, hash);
  return std::string("[fips_sect]\n") + "activate = 1\n" +
         "module-digest = fnv1a64:" + digest + "\n";
}

std::vector<std::vector<std::string>> StandInCalls(std::string const& recordPath) {
  std::vector<std::vector<std::string>> calls;
  std::ifstream in(recordPath);
  std::vector<std::string>* current = nullptr;
  for (std::string line; std::getline(in, line);) {
    if (line == "call") {
      current = &calls.emplace_back();
    } else if (line == "end") {
      current = nullptr;
    } else if (current != nullptr) {
      current->push_back(line);
    } else {
      calls.push_back({"outside a call: " + line});
    }
  }
  return calls;
}

std::vector<std::string> ExpectedStandInCall(std::string const& workDir,
                                             std::optional<std::string> const& libraryPath,
                                             std::vector<std::string> const& inherited) {
  std::vector<std::string> lines{
      "argv[0]=" + workDir + "/openssl",
      "argv[1]=fipsinstall",
      "argv[2]=-quiet",
      "argv[3]=-module",
      "argv[4]=" + workDir + "/fips.so",
      libraryPath ? "env.LD_LIBRARY_PATH=" + *libraryPath : "unset.LD_LIBRARY_PATH",
      "unset.NESTBOX_PATH",
      "unset.NESTBOX_UNPACKED_PATH",
      "stdout=" + workDir + "/openssl.cnf",
  };
  for (std::string const& target : inherited) lines.push_back("inherited=" + target);
  return lines;
}

ScratchDir::ScratchDir() {
  std::string pattern = std::string(NESTBOX_FIPS_TMP) + "/t.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) Fail(errno, "mkdtemp " + pattern);
  if (::chmod(pattern.c_str(), 0755) != 0) Fail(errno, "chmod " + pattern);
  path_ = pattern;
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

std::string Snapshot(std::string const& root) {
  std::ostringstream out;
  SnapshotInto(root, "", out);
  return out.str();
}

std::string ReadHostFile(std::string const& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail(errno, "open " + path);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

void WriteHostFile(std::string const& path, std::string_view data, mode_t mode) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (!fd) Fail(errno, "create " + path);
  if (!WriteAll(fd.get(), data)) Fail(errno, "write " + path);
  if (::fchmod(fd.get(), mode) != 0) Fail(errno, "fchmod " + path);
}

void CopyHostFile(std::string const& from, std::string const& to, mode_t mode) {
  WriteHostFile(to, ReadHostFile(from), mode);
}

ChildResult RunInChild(std::function<std::string()> const& body) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) Fail(errno, "pipe2");
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  pid_t const pid = ::fork();
  if (pid < 0) Fail(errno, "fork");
  if (pid == 0) {
    ::alarm(CHILD_ALARM_SECONDS);
    std::string output;
    try {
      output = body();
    } catch (std::exception const& error) {
      output = std::string("uncaught: ") + error.what();
    } catch (...) {
      output = "uncaught: not a standard exception";
    }
    WriteAll(writeEnd.get(), output);
    ::_exit(0);
  }
  writeEnd.reset();
  ChildResult result;
  char buffer[4096];
  for (;;) {
    ssize_t const n = ::read(readEnd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(buffer, static_cast<std::size_t>(n));
  }
  result.status = WaitForChild(pid);
  return result;
}

pid_t StartChild(std::function<void()> const& body) {
  pid_t const pid = ::fork();
  if (pid < 0) Fail(errno, "fork");
  if (pid == 0) {
    ::alarm(CHILD_ALARM_SECONDS);
    try {
      body();
    } catch (...) {
      ::_exit(111);
    }
    ::_exit(0);
  }
  return pid;
}

int WaitForChild(pid_t pid) {
  auto const deadline = Clock::now() + HANG_GUARD;
  int status = 0;
  for (;;) {
    pid_t const done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno != EINTR) Fail(errno, "waitpid");
    if (Clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

namespace {

// The flocks on the file that path names: the pids of their holders, or
// with waiters, of the processes that wait for one.
std::vector<pid_t> FlockPids(std::string const& path, bool waiters) {
  std::vector<pid_t> pids;
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) return pids;
  std::string const file = LockedFileId(status);
  // A holder's line: "1: FLOCK  ADVISORY  WRITE PID MAJ:MIN:INODE 0 EOF"; a
  // waiter's has "->" after the number.
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::vector<std::string> field;
    for (std::string word; fields >> word;) field.push_back(word);
    bool const waiting = field.size() > 1 && field[1] == "->";
    if (waiting != waiters) continue;
    if (waiting) field.erase(field.begin() + 1);
    if (field.size() > 5 && field[1] == "FLOCK" && field[5] == file) {
      pids.push_back(static_cast<pid_t>(std::stol(field[4])));
    }
  }
  return pids;
}

}  // namespace

bool WaitForBlockedFlock(pid_t pid, std::string const& path) {
  auto const deadline = Clock::now() + HANG_GUARD;
  while (Clock::now() < deadline) {
    std::vector<pid_t> const waiting = FlockPids(path, true);
    if (std::find(waiting.begin(), waiting.end(), pid) != waiting.end()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

std::vector<pid_t> FlockHolders(std::string const& path) { return FlockPids(path, false); }

bool WaitForFile(std::string const& path) {
  auto const deadline = Clock::now() + HANG_GUARD;
  while (Clock::now() < deadline) {
    if (::access(path.c_str(), F_OK) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

bool CanReach(uid_t uid, std::string const& path) {
  ChildResult const child = RunInChild([&] {
    if (!BecomeUser(uid)) return std::string("cannot switch users");
    return std::string(::access(path.c_str(), F_OK) == 0 ? "yes" : "no");
  });
  return child.output == "yes";
}

bool BecomeUser(uid_t uid) {
  gid_t const gid = static_cast<gid_t>(uid);
  return ::setgroups(0, nullptr) == 0 && ::setresgid(gid, gid, gid) == 0 &&
         ::setresuid(uid, uid, uid) == 0;
}

}  // namespace nestbox::fips_test
