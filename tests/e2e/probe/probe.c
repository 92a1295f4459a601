/* The entry executable of the end-to-end tests. It reports on standard
 * output how it was started, one "probe.KEY=VALUE" line at a time, then acts
 * as its environment tells it:
 *
 *   PROBE_QUIET        set: report nothing at all
 *   PROBE_CATCH        signal names (TERM,HUP,INT) to catch; each one caught
 *                      is reported as "probe.caught=NAME"
 *   PROBE_IGNORE       signal names to ignore
 *   PROBE_WAIT         "signal": wait until a caught signal has come;
 *                      "file:PATH": wait until PATH exists
 *   PROBE_EXIT         exit status (default 0), or "signal:NAME" to die of it
 *   PROBE_FIRST_EXIT   "STATUS:PATH": when PATH is missing, create it and
 *                      exit with STATUS instead (one failing run, then others)
 *
 * "probe.ready" is printed once the signal actions are in place. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

char const* probe_marker(void);

static struct {
  char const* name;
  int number;
} const SIGNALS[] = {
    {"HUP", SIGHUP},   {"INT", SIGINT},   {"TERM", SIGTERM}, {"KILL", SIGKILL},
    {"ABRT", SIGABRT}, {"SEGV", SIGSEGV}, {"USR1", SIGUSR1},
};

static volatile sig_atomic_t g_caught[NSIG];
static int g_quiet;

static int SignalNumber(char const* name) {
  for (size_t i = 0; i < sizeof SIGNALS / sizeof SIGNALS[0]; ++i) {
    if (strcmp(SIGNALS[i].name, name) == 0) return SIGNALS[i].number;
  }
  fprintf(stderr, "probe: unknown signal %s\n", name);
  exit(120);
}

static char const* SignalName(int number) {
  for (size_t i = 0; i < sizeof SIGNALS / sizeof SIGNALS[0]; ++i) {
    if (SIGNALS[i].number == number) return SIGNALS[i].name;
  }
  return "?";
}

static void Report(char const* format, ...) __attribute__((format(printf, 1, 2)));
static void Report(char const* format, ...) {
  if (g_quiet) return;
  va_list args;
  va_start(args, format);
  fputs("probe.", stdout);
  vprintf(format, args);
  fputc('\n', stdout);
  fflush(stdout);
  va_end(args);
}

/* Backslashes and line ends escaped, so that every value stays on its line. */
static char const* Escaped(char const* text) {
  static char buffer[8192];
  size_t n = 0;
  for (; *text != '\0' && n + 2 < sizeof buffer; ++text) {
    if (*text == '\\' || *text == '\n') {
      buffer[n++] = '\\';
      buffer[n++] = *text == '\n' ? 'n' : '\\';
    } else {
      buffer[n++] = *text;
    }
  }
  buffer[n] = '\0';
  return buffer;
}

static void OnSignal(int number) { g_caught[number] = 1; }

static void ForEachSignal(char const* list, void (*apply)(int)) {
  if (list == NULL) return;
  char copy[256];
  snprintf(copy, sizeof copy, "%s", list);
  for (char* save = NULL, *name = strtok_r(copy, ",", &save); name != NULL;
       name = strtok_r(NULL, ",", &save)) {
    apply(SignalNumber(name));
  }
}

static void Catch(int number) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnSignal;
  sigaction(number, &action, NULL);
}

static void Ignore(int number) { signal(number, SIG_IGN); }

static void ReportEnvironment(char const* name) {
  char const* value = getenv(name);
  if (value == NULL) {
    Report("unset.%s", name);
  } else {
    Report("env.%s=%s", name, Escaped(value));
  }
}

static void ReportDescriptors(void) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == NULL) return;
  int const own = dirfd(dir);
  for (struct dirent* entry; (entry = readdir(dir)) != NULL;) {
    int const fd = atoi(entry->d_name);
    if (entry->d_name[0] == '.' || fd < 3 || fd == own) continue;
    char link[64];
    char target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t const n = readlink(link, target, sizeof target - 1);
    target[n < 0 ? 0 : n] = '\0';
    Report("fd.%d=%s", fd, Escaped(target));
  }
  closedir(dir);
}

static int AnyCaught(void) {
  int any = 0;
  for (int number = 1; number < NSIG; ++number) {
    if (g_caught[number]) {
      g_caught[number] = 0;
      Report("caught=%s", SignalName(number));
      any = 1;
    }
  }
  return any;
}

static void Wait(char const* how) {
  if (how == NULL) return;
  struct timespec const tick = {0, 10 * 1000 * 1000};
  int const forSignal = strcmp(how, "signal") == 0;
  char const* const file = strncmp(how, "file:", 5) == 0 ? how + 5 : NULL;
  if (!forSignal && file == NULL) {
    fprintf(stderr, "probe: unknown PROBE_WAIT %s\n", how);
    exit(120);
  }
  while (1) {
    int const caught = AnyCaught();
    if (forSignal && caught) return;
    if (file != NULL && access(file, F_OK) == 0) return;
    nanosleep(&tick, NULL);
  }
}

static void Finish(void) {
  char const* first = getenv("PROBE_FIRST_EXIT");
  if (first != NULL) {
    char const* colon = strchr(first, ':');
    if (colon == NULL) exit(120);
    int const fd = open(colon + 1, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd >= 0) {
      close(fd);
      Report("first-exit=%d", atoi(first));
      exit(atoi(first));
    }
  }
  char const* how = getenv("PROBE_EXIT");
  if (how != NULL && strncmp(how, "signal:", 7) == 0) {
    int const number = SignalNumber(how + 7);
    signal(number, SIG_DFL);
    raise(number);
    exit(121);  /* not reached for a deadly signal */
  }
  exit(how == NULL ? 0 : atoi(how));
}

int main(int argc, char** argv) {
  g_quiet = getenv("PROBE_QUIET") != NULL;
  struct sigaction hangup;
  sigaction(SIGHUP, NULL, &hangup);
  ForEachSignal(getenv("PROBE_CATCH"), Catch);
  ForEachSignal(getenv("PROBE_IGNORE"), Ignore);

  Report("argc=%d", argc);
  for (int i = 0; i < argc; ++i) Report("argv[%d]=%s", i, Escaped(argv[i]));
  ReportEnvironment("LD_LIBRARY_PATH");
  ReportEnvironment("NESTBOX_PATH");
  ReportEnvironment("NESTBOX_UNPACKED_PATH");
  Report("pid=%d", (int)getpid());
  Report("ppid=%d", (int)getppid());
  Report("sighup=%s", hangup.sa_handler == SIG_IGN   ? "ignored"
                      : hangup.sa_handler == SIG_DFL ? "default"
                                                     : "handled");
  ReportDescriptors();
  Report("marker=%s", probe_marker());
  Report("ready");

  Wait(getenv("PROBE_WAIT"));
  AnyCaught();
  Finish();
}
