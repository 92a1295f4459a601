#include "pack_test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "support/unique_fd.h"

namespace packtest {

namespace {

[[noreturn]] void Fail(std::string const& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

int RemoveEntry(char const* path, struct stat const*, int type, FTW*) {
  int const result = type == FTW_DP ? ::rmdir(path) : ::unlink(path);
  if (result != 0 && errno != ENOENT) return -1;
  return 0;
}

int OpenUp(char const* path, struct stat const* status, int type, FTW*) {
  if (type == FTW_D || type == FTW_DNR) ::chmod(path, (status->st_mode & 07777) | 0700);
  return 0;
}

}  // namespace

void RemoveTree(std::string const& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return;
  // Pre-order pass first: a directory must be readable and writable before
  // the depth-first pass can empty it.
  ::nftw(path.c_str(), OpenUp, 16, FTW_PHYS);
  if (::nftw(path.c_str(), RemoveEntry, 16, FTW_PHYS | FTW_DEPTH) != 0) {
    Fail("cannot remove " + path);
  }
}

ScratchDir::ScratchDir() {
  ::testing::TestInfo const* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "." + info->name();
  std::replace(name.begin(), name.end(), '/', '_');
  path_ = std::string(NESTBOX_PACK_TEST_TMP) + "/" + name;
  RemoveTree(path_);
  ::mkdir(NESTBOX_PACK_TEST_TMP, 0755);
  if (::mkdir(path_.c_str(), 0755) != 0) Fail("cannot create " + path_);
}

ScratchDir::~ScratchDir() {
  try {
    RemoveTree(path_);
  } catch (std::exception const& error) {
    ADD_FAILURE() << error.what();
  }
}

void WriteFile(std::string const& path, std::string const& content, mode_t mode) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd) Fail("cannot create " + path);
  std::size_t done = 0;
  while (done < content.size()) {
    ssize_t const written = ::write(fd.get(), content.data() + done, content.size() - done);
    if (written <= 0) Fail("cannot write " + path);
    done += static_cast<std::size_t>(written);
  }
  if (::fchmod(fd.get(), mode) != 0) Fail("cannot chmod " + path);
}

void MakeDir(std::string const& path, mode_t mode) {
  if (::mkdir(path.c_str(), 0700) != 0) Fail("cannot create " + path);
  if (::chmod(path.c_str(), mode) != 0) Fail("cannot chmod " + path);
}

void MakeVariedTree(std::string const& app) {
  MakeDir(app, 0755);
  WriteFile(app + "/\x01" "ctl", "one", 0644);
  WriteFile(app + "/a b", "blank", 0640);
  WriteFile(app + "/back\\slash", std::string(70000, '\xa5'), 0644);
  MakeDir(app + "/bin", 0700);
  WriteFile(app + "/bin/Tool", "#!/bin/sh\n", 0500);
  WriteFile(app + "/caf\xc3\xa9", "setuid", 04755);
  MakeDir(app + "/lib", 0755);
  MakeDir(app + "/lib/sub", 0750);
  WriteFile(app + "/lib/sub/deep", "deep data", 0644);
  WriteFile(app + "/lib/empty", "", 0600);
  if (::symlink("../a b", (app + "/lib/link").c_str()) != 0) {
    Fail("cannot link " + app + "/lib/link");
  }
}

std::string ReadFile(std::string const& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("cannot open " + path);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::string> ListDir(std::string const& path) {
  DirStream dir(::opendir(path.c_str()));
  if (dir.get() == nullptr) Fail("cannot open " + path);
  std::vector<std::string> names;
  while (dirent const* entry = ::readdir(dir.get())) {
    std::string const name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

RunResult RunProgram(std::vector<std::string> const& argv, RunOptions const& options) {
  std::vector<std::string> environment = {"LC_ALL=C", "PATH=/usr/local/bin:/usr/bin:/bin"};
  environment.insert(environment.end(), options.environment.begin(), options.environment.end());
  std::vector<char*> args;
  for (std::string const& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string const& variable : environment) envp.push_back(const_cast<char*>(variable.c_str()));
  envp.push_back(nullptr);

  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) Fail("pipe");
  UniqueFd outRead(outPipe[0]);
  UniqueFd outWrite(outPipe[1]);
  if (::pipe2(errPipe, O_CLOEXEC) != 0) Fail("pipe");
  UniqueFd errRead(errPipe[0]);
  UniqueFd errWrite(errPipe[1]);

  // Standard input is a pipe that is closed at once: the child reads EOF.
  int inPipe[2];
  if (::pipe2(inPipe, O_CLOEXEC) != 0) Fail("pipe");
  UniqueFd inRead(inPipe[0]);
  UniqueFd inWrite(inPipe[1]);

  pid_t const child = ::fork();
  if (child < 0) Fail("fork");
  if (child == 0) {
    if (::dup2(inRead.get(), 0) < 0 || ::dup2(outWrite.get(), 1) < 0 ||
        ::dup2(errWrite.get(), 2) < 0) {
      ::_exit(126);
    }
    if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) {
      ::_exit(126);
    }
    if (options.uid) {
      gid_t const gid = static_cast<gid_t>(*options.uid);
      if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
          ::setresuid(*options.uid, *options.uid, *options.uid) != 0) {
        ::_exit(126);
      }
    }
    ::execvpe(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  inRead.reset();
  inWrite.reset();
  outWrite.reset();
  errWrite.reset();

  RunResult result;
  pollfd fds[2] = {{outRead.get(), POLLIN, 0}, {errRead.get(), POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      Fail("poll");
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      ssize_t const got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) Fail("waitpid");
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

RunResult RunPack(std::vector<std::string> const& arguments, RunOptions const& options) {
  std::vector<std::string> argv = {NESTBOX_PACK_EXE};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunProgram(argv, options);
}

std::vector<std::string> Lines(std::string const& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t const end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace packtest
