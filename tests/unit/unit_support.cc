#include "unit_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <typeinfo>
#include <vector>

namespace {

std::vector<std::string> ListDirectory(std::string const& path) {
  std::vector<std::string> names;
  DIR* const stream = ::opendir(path.c_str());
  if (stream == nullptr) return names;
  while (dirent const* entry = ::readdir(stream)) {
    std::string const name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(stream);
  std::sort(names.begin(), names.end());
  return names;
}

// Tests leave directories without write permission and trees owned by other
// users behind; make each directory usable again before emptying it.
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

void WriteAll(int fd, std::string const& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t const n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

void SnapshotInto(std::string const& root, std::string const& relative,
                  std::ostringstream& out) {
  std::string const path = relative.empty() ? root : root + "/" + relative;
  struct stat status;
  if (::lstat(path.c_str(), &status) != 0) return;
  char line[128];
  std::snprintf(line, sizeof line, " mode=%o uid=%u links=%lu size=%lld",
                static_cast<unsigned>(status.st_mode),
                static_cast<unsigned>(status.st_uid),
                static_cast<unsigned long>(status.st_nlink),
                static_cast<long long>(status.st_size));
  out << (relative.empty() ? "." : relative) << line;
  if (S_ISREG(status.st_mode)) out << " data=" << ReadWholeFile(path);
  if (S_ISLNK(status.st_mode)) {
    char target[4096] = {};
    ::readlink(path.c_str(), target, sizeof target - 1);
    out << " ->" << target;
  }
  out << '\n';
  if (S_ISDIR(status.st_mode)) {
    for (auto const& name : ListDirectory(path)) {
      SnapshotInto(root, relative.empty() ? name : relative + "/" + name, out);
    }
  }
}

}  // namespace

TempDir::TempDir() {
  ::mkdir(NESTBOX_UNIT_TMP, 0755);
  std::string pattern = std::string(NESTBOX_UNIT_TMP) + "/t.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp");
  }
  path_ = pattern;
}

TempDir::~TempDir() { RemoveTree(path_); }

StreamBuilder& StreamBuilder::Directory(std::string const& name,
                                        std::uint32_t mode) {
  return String(name).Flag(1).UInt32(mode);
}

StreamBuilder& StreamBuilder::File(std::string const& parent,
                                   std::string const& name,
                                   std::string const& data,
                                   std::uint32_t mode) {
  return FileHeader(parent, name, data.size(), mode).Raw(data);
}

StreamBuilder& StreamBuilder::FileHeader(std::string const& parent,
                                         std::string const& name,
                                         std::uint64_t declaredSize,
                                         std::uint32_t mode) {
  return String(name).Flag(0).String(parent).UInt64(declaredSize).UInt32(mode);
}

StreamBuilder& StreamBuilder::String(std::string const& text) {
  return UInt32(static_cast<std::uint32_t>(text.size())).Raw(text);
}

StreamBuilder& StreamBuilder::Flag(unsigned char value) {
  bytes_.push_back(static_cast<char>(value));
  return *this;
}

StreamBuilder& StreamBuilder::UInt32(std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<char>(value >> (8 * i)));
  return *this;
}

StreamBuilder& StreamBuilder::UInt64(std::uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<char>(value >> (8 * i)));
  return *this;
}

StreamBuilder& StreamBuilder::Raw(std::string const& bytes) {
  bytes_ += bytes;
  return *this;
}

std::string RaisedBy(std::function<void()> const& call) {
  try {
    call();
    return "";
  } catch (std::system_error const& error) {
    return "system_error " + std::string(error.code().category().name()) +
           " " + std::to_string(error.code().value()) + ": " + error.what();
  } catch (std::exception const& error) {
    if (typeid(error) == typeid(std::runtime_error)) {
      return "runtime_error: " + std::string(error.what());
    }
    return "other " + std::string(typeid(error).name()) + ": " + error.what();
  } catch (...) {
    return "other: not a standard exception";
  }
}

std::string SystemErrorLine(int errorNumber, std::string const& message) {
  return "system_error generic " + std::to_string(errorNumber) + ": " +
         message + ": " + std::strerror(errorNumber);
}

std::string RuntimeErrorLine(std::string const& message) {
  return "runtime_error: " + message;
}

int ModeOf(std::string const& path) {
  struct stat status;
  if (::lstat(path.c_str(), &status) != 0) return -1;
  return static_cast<int>(status.st_mode & 07777);
}

bool Exists(std::string const& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0;
}

std::string ReadWholeFile(std::string const& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

void WriteWholeFile(std::string const& path, std::string const& data,
                    int mode) {
  int const fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                        static_cast<mode_t>(mode));
  if (fd < 0) throw std::system_error(errno, std::generic_category(), path);
  WriteAll(fd, data);
  ::close(fd);
  ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

void MakeDirectory(std::string const& path, int mode) {
  if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0) {
    throw std::system_error(errno, std::generic_category(), path);
  }
  ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

void MakeSymlink(std::string const& target, std::string const& path) {
  if (::symlink(target.c_str(), path.c_str()) != 0) {
    throw std::system_error(errno, std::generic_category(), path);
  }
}

std::string SnapshotTree(std::string const& root) {
  std::ostringstream out;
  SnapshotInto(root, "", out);
  return out.str();
}

int CountOpenFds() {
  return static_cast<int>(ListDirectory("/proc/self/fd").size());
}

int CountDeletedFds() {
  int deleted = 0;
  for (auto const& name : ListDirectory("/proc/self/fd")) {
    char target[4096] = {};
    std::string const link = "/proc/self/fd/" + name;
    if (::readlink(link.c_str(), target, sizeof target - 1) < 0) continue;
    std::string const text = target;
    std::string const suffix = " (deleted)";
    if (text.size() >= suffix.size() &&
        text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0) {
      ++deleted;
    }
  }
  return deleted;
}

bool BecomeUser(uid_t uid, gid_t gid) { return BecomeUser(uid, uid, gid); }

bool BecomeUser(uid_t realUid, uid_t effectiveUid, gid_t gid) {
  return ::setgroups(0, nullptr) == 0 && ::setresgid(gid, gid, gid) == 0 &&
         ::setresuid(realUid, effectiveUid, effectiveUid) == 0;
}

bool CanReach(uid_t uid, std::string const& path) {
  ChildResult const child = RunInChild([&] {
    if (!BecomeUser(uid, uid)) return std::string("cannot drop");
    return std::string(::access(path.c_str(), F_OK) == 0 ? "yes" : "no");
  });
  return child.output == "yes";
}

ChildResult RunInChild(std::function<std::string()> const& body) {
  ChildResult result;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    result.output = "pipe failed";
    return result;
  }
  pid_t const pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    ::alarm(20);
    std::string output;
    std::string const raised = RaisedBy([&] { output = body(); });
    if (!raised.empty()) output = "uncaught: " + raised;
    WriteAll(fds[1], output);
    ::_exit(0);
  }
  ::close(fds[1]);
  if (pid < 0) {
    ::close(fds[0]);
    result.output = "fork failed";
    return result;
  }
  char buffer[4096];
  for (;;) {
    ssize_t const n = ::read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  while (::waitpid(pid, &result.status, 0) < 0 && errno == EINTR) {
  }
  return result;
}

bool WaitForBlockedFlock(pid_t pid, std::string const& path) {
  auto const deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::string const pidText = std::to_string(pid);
  while (std::chrono::steady_clock::now() < deadline) {
    struct stat status;
    if (::stat(path.c_str(), &status) == 0) {
      char file[64];
      std::snprintf(file, sizeof file, "%02x:%02x:%lu", major(status.st_dev),
                    minor(status.st_dev),
                    static_cast<unsigned long>(status.st_ino));
      std::ifstream locks("/proc/locks");
      std::string line;
      while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::vector<std::string> field;
        for (std::string word; fields >> word;) field.push_back(word);
        if (field.size() > 6 && field[1] == "->" && field[2] == "FLOCK" &&
            field[5] == pidText && field[6] == file) {
          return true;
        }
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}
