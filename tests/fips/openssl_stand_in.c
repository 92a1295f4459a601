/* Stands in for the OpenSSL command-line tool in the FIPS tests. It answers
 * only `fipsinstall -quiet -module PATH`: on its standard output, a
 * configuration section for the module, whose digest is the 64-bit FNV-1a
 * of the module's bytes:
 *
 *   [fips_sect]
 *   activate = 1
 *   module-digest = fnv1a64:0123456789abcdef
 *
 * Any other command line ends it with status 2, a module that cannot be
 * read with status 1, both without output. Its environment steers it:
 *
 *   OPENSSL_STAND_IN_RECORD  append a record of this call to that file:
 *                            "call", "argv[N]=..." lines, the environment
 *                            that the launcher may not pass on, the target
 *                            of its standard output and of every other
 *                            descriptor it inherited, then "end"
 *   OPENSSL_STAND_IN_READY   create that file once the record is written
 *   OPENSSL_STAND_IN_WAIT    then wait until that file exists
 *   OPENSSL_STAND_IN_DIE     then die of that signal (TERM, KILL, ...)
 *   OPENSSL_STAND_IN_EXIT    exit status after the answer (default 0) */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static struct {
  char const* name;
  int number;
} const SIGNALS[] = {
    {"TERM", SIGTERM}, {"HUP", SIGHUP}, {"INT", SIGINT}, {"KILL", SIGKILL},
};

static char g_record[65536];
static size_t g_recordLength;

static void Append(char const* format, ...) __attribute__((format(printf, 1, 2)));
static void Append(char const* format, ...) {
  va_list args;
  va_start(args, format);
  int const n = vsnprintf(g_record + g_recordLength, sizeof g_record - g_recordLength,
                          format, args);
  va_end(args);
  if (n < 0 || (size_t)n >= sizeof g_record - g_recordLength) {
    fputs("openssl stand-in: record too long\n", stderr);
    exit(3);
  }
  g_recordLength += (size_t)n;
}

static void AppendVariable(char const* name) {
  char const* value = getenv(name);
  if (value == NULL) {
    Append("unset.%s\n", name);
  } else {
    Append("env.%s=%s\n", name, value);
  }
}

static void AppendDescriptor(char const* key, int fd) {
  char link[64];
  char target[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t const n = readlink(link, target, sizeof target - 1);
  target[n < 0 ? 0 : n] = '\0';
  Append("%s=%s\n", key, target);
}

/* Descriptors 3 and above, in number order (readdir gives no order). */
static void AppendInheritedDescriptors(void) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == NULL) return;
  int const own = dirfd(dir);
  int found[256];
  size_t count = 0;
  for (struct dirent* entry; (entry = readdir(dir)) != NULL;) {
    int const fd = atoi(entry->d_name);
    if (entry->d_name[0] == '.' || fd < 3 || fd == own) continue;
    if (count < sizeof found / sizeof found[0]) found[count++] = fd;
  }
  closedir(dir);
  for (size_t i = 0; i < count; ++i) {
    for (size_t j = i + 1; j < count; ++j) {
      if (found[j] < found[i]) {
        int const swap = found[i];
        found[i] = found[j];
        found[j] = swap;
      }
    }
  }
  for (size_t i = 0; i < count; ++i) AppendDescriptor("inherited", found[i]);
}

static void WriteAll(int fd, char const* data, size_t length) {
  while (length > 0) {
    ssize_t const n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      perror("openssl stand-in: write");
      exit(3);
    }
    data += n;
    length -= (size_t)n;
  }
}

static void Record(int argc, char** argv) {
  char const* path = getenv("OPENSSL_STAND_IN_RECORD");
  if (path == NULL) return;
  /* Looked at before anything of our own is opened. */
  Append("call\n");
  for (int i = 0; i < argc; ++i) Append("argv[%d]=%s\n", i, argv[i]);
  AppendVariable("LD_LIBRARY_PATH");
  AppendVariable("NESTBOX_PATH");
  AppendVariable("NESTBOX_UNPACKED_PATH");
  AppendDescriptor("stdout", STDOUT_FILENO);
  AppendInheritedDescriptors();
  Append("end\n");
  int const fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    perror("openssl stand-in: open the record");
    exit(3);
  }
  WriteAll(fd, g_record, g_recordLength);
  close(fd);
}

static void Touch(char const* path) {
  int const fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    perror("openssl stand-in: create the ready file");
    exit(3);
  }
  close(fd);
}

static void WaitForFile(char const* path) {
  struct timespec const tick = {0, 5 * 1000 * 1000};
  while (access(path, F_OK) != 0) nanosleep(&tick, NULL);
}

static void Die(char const* name) {
  for (size_t i = 0; i < sizeof SIGNALS / sizeof SIGNALS[0]; ++i) {
    if (strcmp(SIGNALS[i].name, name) == 0) {
      signal(SIGNALS[i].number, SIG_DFL);
      raise(SIGNALS[i].number);
    }
  }
  fprintf(stderr, "openssl stand-in: cannot die of %s\n", name);
  exit(3);
}

/* FNV-1a, 64 bits, of the whole file; 0 with errno set on failure. */
static int DigestOf(char const* path, uint64_t* digest) {
  int const fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  uint64_t hash = 0xcbf29ce484222325ULL;
  unsigned char buffer[65536];
  for (;;) {
    ssize_t const n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int const savedErrno = errno;
      close(fd);
      errno = savedErrno;
      return 0;
    }
    if (n == 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      hash ^= buffer[i];
      hash *= 0x100000001b3ULL;
    }
  }
  close(fd);
  *digest = hash;
  return 1;
}

int main(int argc, char** argv) {
  Record(argc, argv);
  char const* ready = getenv("OPENSSL_STAND_IN_READY");
  if (ready != NULL) Touch(ready);
  char const* wait = getenv("OPENSSL_STAND_IN_WAIT");
  if (wait != NULL) WaitForFile(wait);
  char const* die = getenv("OPENSSL_STAND_IN_DIE");
  if (die != NULL) Die(die);

  if (argc != 5 || strcmp(argv[1], "fipsinstall") != 0 ||
      strcmp(argv[2], "-quiet") != 0 || strcmp(argv[3], "-module") != 0) {
    fputs("usage: openssl fipsinstall -quiet -module PATH\n", stderr);
    return 2;
  }
  uint64_t digest = 0;
  if (!DigestOf(argv[4], &digest)) {
    fprintf(stderr, "openssl stand-in: cannot read the module %s: %s\n", argv[4],
            strerror(errno));
    return 1;
  }
  char section[256];
  int const length = snprintf(section, sizeof section,
                              "[fips_sect]\n"
                              "activate = 1\n"
                              "module-digest = fnv1a64:%016llx\n",
                              (unsigned long long)digest);
  WriteAll(STDOUT_FILENO, section, (size_t)length);
  char const* status = getenv("OPENSSL_STAND_IN_EXIT");
  return status == NULL ? 0 : atoi(status);
}
