// Writes the benchmark's payload data: deterministic, so every machine packs
// the same bytes, and neither all zeros nor pure noise, so that gzip has real
// work to do (it shrinks the code-like bytes to some 70 %, the text to some
// 60 %).
//
//   generate blob code|text SIZE SEED FILE     one file of SIZE bytes
//   generate tree DIR DIRS FILES TOTAL SEED    DIRS directories pkgNN holding
//                                              FILES files each, TOTAL bytes

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static uint64_t state;

static uint64_t Next(void) {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

static void Seed(uint64_t seed) { state = seed * 0x9E3779B97F4A7C15ull + 1; }

static void Fill(unsigned char* buffer, size_t size, int text) {
  static char const alphabet[] = "etaoinshrdlu  _().:=\n";
  for (size_t i = 0; i < size; ++i) {
    uint64_t const r = Next();
    if (text) {
      buffer[i] = (unsigned char)alphabet[r % (sizeof alphabet - 1)];
    } else {
      buffer[i] = (r & 1) ? 0 : (unsigned char)(r >> 8);
    }
  }
}

static void Die(char const* what, char const* path) {
  fprintf(stderr, "generate: %s %s: %s\n", what, path, strerror(errno));
  exit(1);
}

static void WriteBlob(char const* path, size_t size, int text) {
  int const fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) Die("cannot create", path);
  unsigned char buffer[1 << 16];
  while (size > 0) {
    size_t const n = size < sizeof buffer ? size : sizeof buffer;
    Fill(buffer, n, text);
    for (size_t done = 0; done < n;) {
      ssize_t const w = write(fd, buffer + done, n - done);
      if (w <= 0) Die("cannot write", path);
      done += (size_t)w;
    }
    size -= n;
  }
  if (close(fd) != 0) Die("cannot close", path);
}

int main(int argc, char** argv) {
  if (argc == 6 && strcmp(argv[1], "blob") == 0) {
    Seed(strtoull(argv[4], NULL, 10));
    WriteBlob(argv[5], strtoull(argv[3], NULL, 10),
              strcmp(argv[2], "text") == 0);
    return 0;
  }
  if (argc == 7 && strcmp(argv[1], "tree") == 0) {
    char const* const root = argv[2];
    unsigned const dirs = (unsigned)strtoul(argv[3], NULL, 10);
    unsigned const files = (unsigned)strtoul(argv[4], NULL, 10);
    uint64_t const total = strtoull(argv[5], NULL, 10);
    Seed(strtoull(argv[6], NULL, 10));
    // Sizes spread evenly from a tenth to nearly twice the mean.
    uint64_t const mean = total / ((uint64_t)dirs * files);
    uint64_t const low = mean / 10, span = 2 * (mean - low) + 1;
    char path[4096];
    for (unsigned d = 0; d < dirs; ++d) {
      snprintf(path, sizeof path, "%s/pkg%02u", root, d);
      if (mkdir(path, 0755) != 0 && errno != EEXIST) Die("cannot create", path);
      for (unsigned f = 0; f < files; ++f) {
        snprintf(path, sizeof path, "%s/pkg%02u/module%03u.py", root, d, f);
        WriteBlob(path, low + Next() % span, 1);
      }
    }
    return 0;
  }
  fprintf(stderr,
          "usage: generate blob code|text SIZE SEED FILE\n"
          "       generate tree DIR DIRS FILES TOTAL SEED\n");
  return 2;
}
