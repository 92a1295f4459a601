// The entry executable of every workload. With BENCH_LIBRARIES defined it
// calls one function of each of the four libraries, which the loader finds
// through LD_LIBRARY_PATH, so a run pays for loading them.
//
// With NESTBOX_BENCH_HOLD set to a directory it holds its working directory:
// it writes its parent's process id to DIR/ready, then waits until DIR/release
// exists. The benchmark uses that for the second run beside a running one and
// to read the launcher's memory while its child runs.

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#ifdef BENCH_LIBRARIES
int BenchLibrary8(void);
int BenchLibrary6(void);
int BenchLibrary4(void);
int BenchLibrary2(void);
#endif

// The padding that gives this file its size; see padding.S.
extern unsigned char const bench_padding[];

static int Hold(char const* dir) {
  char ready[4096], staged[4096], release[4096];
  snprintf(ready, sizeof ready, "%s/ready", dir);
  snprintf(staged, sizeof staged, "%s/ready.tmp", dir);
  snprintf(release, sizeof release, "%s/release", dir);
  FILE* const out = fopen(staged, "w");
  if (out == NULL) return 3;
  fprintf(out, "%d\n", (int)getppid());
  if (fclose(out) != 0 || rename(staged, ready) != 0) return 3;
  struct timespec const pause = {0, 1000000};
  while (access(release, F_OK) != 0) nanosleep(&pause, NULL);
  return 0;
}

int main(void) {
  int status = 0;
#ifdef BENCH_LIBRARIES
  if (BenchLibrary8() + BenchLibrary6() + BenchLibrary4() + BenchLibrary2() !=
      20) {
    status = 1;
  }
#endif
  volatile unsigned char first = bench_padding[0];
  (void)first;
  char const* const hold = getenv("NESTBOX_BENCH_HOLD");
  if (hold != NULL && status == 0) status = Hold(hold);
  return status;
}
