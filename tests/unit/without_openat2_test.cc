// Kernels before 5.6 have no openat2, and some container profiles refuse it.
// The extraction and verification cases run again in a child whose openat2
// calls fail with ENOSYS (a seccomp filter), so the component-by-component
// fallback has to keep every one of their promises: no link followed, nothing
// written outside the working directory, the same errors.

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "contents/beneath.h"
#include "unit_support.h"

namespace {

bool RefuseOpenat2() {
  sock_filter const filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog const program{static_cast<unsigned short>(std::size(filter)),
                           const_cast<sock_filter*>(filter)};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST(WithoutOpenat2, ExtractionAndVerificationKeepTheirRules) {
  int output[2];
  ASSERT_EQ(::pipe2(output, O_CLOEXEC), 0);
  pid_t const child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The re-run's output goes to the pipe, never to ours: ctest reads any
    // "[  SKIPPED ]" line of a case as a skip of the case.
    ::dup2(output[1], STDOUT_FILENO);
    ::dup2(output[1], STDERR_FILENO);
    if (!RefuseOpenat2()) ::_exit(120);
    if (::syscall(SYS_openat2, AT_FDCWD, ".", nullptr, 0) != -1 || errno != ENOSYS) {
      ::_exit(122);
    }
    char self[] = "/proc/self/exe";
    char filter[] =
        "--gtest_filter=ExtractionTest.*:VerificationTest.*:"
        "EmbeddedContents*";
    char* const argv[] = {self, filter, nullptr};
    ::execv(self, argv);
    ::_exit(121);
  }
  ::close(output[1]);
  std::string report;
  char buffer[4096];
  for (ssize_t n; (n = ::read(output[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    report.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(output[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 120) << "seccomp filter could not be installed";
  ASSERT_NE(WEXITSTATUS(status), 122) << "the filter let openat2 through";
  // The re-run ran cases at all, and every one of them passed.
  EXPECT_NE(report.find("[  PASSED  ]"), std::string::npos);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "failures of the re-run:\n"
                                    << report.substr(report.find("[==========]"));
}

TEST(BeneathPath, LeadingSlashesAndEmptyNamesStayInside) {
  struct Case {
    char const* in;
    char const* out;
  } const cases[] = {{"a", "a"},     {"/a", "a"},     {"//a/b", "a/b"},
                     {"", "."},      {"/", "."},      {"a/", "a/"},
                     {"./a", "./a"}, {"a//b", "a//b"}};
  for (auto const& c : cases) {
    EXPECT_EQ(BeneathPath(c.in), c.out) << "input '" << c.in << "'";
  }
}

}  // namespace
