/* The entry executable of the FIPS deliverables. It prints its own path and
 * the OpenSSL configuration file of the directory it was started from, as
 * it finds it there:
 *
 *   entry.argv0=PATH
 *   entry.config-mode=OCTAL            or "entry.config-missing"
 *   entry.config-begin
 *   ...the file's bytes, unchanged...
 *   entry.config-end
 *   entry.ready
 *
 * then, when SHOW_CONFIG_WAIT names a file, waits until that file exists,
 * and exits with 0. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static void PrintFile(int fd) {
  char buffer[65536];
  for (;;) {
    ssize_t const n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    fwrite(buffer, 1, (size_t)n, stdout);
  }
}

int main(int argc, char** argv) {
  (void)argc;
  printf("entry.argv0=%s\n", argv[0]);
  char config[4096];
  char const* slash = strrchr(argv[0], '/');
  int const dirLength = slash == NULL ? 1 : (int)(slash - argv[0]);
  snprintf(config, sizeof config, "%.*s/openssl.cnf", dirLength,
           slash == NULL ? "." : argv[0]);
  int const fd = open(config, O_RDONLY | O_CLOEXEC);
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0) {
    printf("entry.config-missing\n");
  } else {
    printf("entry.config-mode=%o\n", (unsigned)(status.st_mode & 07777));
    printf("entry.config-begin\n");
    fflush(stdout);
    PrintFile(fd);
    printf("entry.config-end\n");
  }
  if (fd >= 0) close(fd);
  printf("entry.ready\n");
  fflush(stdout);

  char const* wait = getenv("SHOW_CONFIG_WAIT");
  if (wait != NULL) {
    struct timespec const tick = {0, 5 * 1000 * 1000};
    while (access(wait, F_OK) != 0) nanosleep(&tick, NULL);
  }
  return 0;
}
