// Copies a file to another through a read-only mapping of it, as the launcher
// copies each file out of its own image: one write per SIZE bytes (0: the
// whole file in one write), with or without mapping the source pages of each
// piece first. Erases the copy again, so every run starts alike.
//
//   probe SIZE plain|mapped SOURCE TARGET

#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static int Fail(char const* what) {
  fprintf(stderr, "probe: %s: %s\n", what, strerror(errno));
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: probe SIZE plain|mapped SOURCE TARGET\n");
    return 2;
  }
  uint64_t const piece = strtoull(argv[1], NULL, 0);
  int const mapAhead = strcmp(argv[2], "mapped") == 0;
  int const source = open(argv[3], O_RDONLY | O_CLOEXEC);
  struct stat status;
  if (source < 0 || fstat(source, &status) != 0) return Fail(argv[3]);
  uint64_t const size = (uint64_t)status.st_size;
  char const* const data = mmap(NULL, size, PROT_READ, MAP_PRIVATE, source, 0);
  if (data == MAP_FAILED) return Fail("mmap");
  int const target = open(argv[4], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (target < 0) return Fail(argv[4]);
  uintptr_t const pageMask = (uintptr_t)sysconf(_SC_PAGESIZE) - 1;
  for (uint64_t written = 0; written < size;) {
    uint64_t chunk = size - written;
    if (piece != 0 && chunk > piece) chunk = piece;
    if (mapAhead && chunk >= 65536) {
      uintptr_t const begin = (uintptr_t)(data + written) & ~pageMask;
      uintptr_t const end = ((uintptr_t)(data + written + chunk) + pageMask) & ~pageMask;
      madvise((void*)begin, end - begin, MADV_POPULATE_READ);
    }
    ssize_t const result = write(target, data + written, chunk);
    if (result <= 0) return Fail("write");
    written += (uint64_t)result;
  }
  if (close(target) != 0) return Fail("close");
  munmap((void*)data, size);
  return unlink(argv[4]) == 0 ? 0 : Fail("unlink");
}
