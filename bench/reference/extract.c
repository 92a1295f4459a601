// The reference extractor: the least work that puts an appended tree on disk,
// runs its entry and erases it again, copying file data inside the kernel
// (copy_file_range, else sendfile, else read and write). It takes no locks,
// shares nothing between runs and checks little; it exists only to give the
// benchmark a limit to measure the launcher against.
//
// The tree goes to OWN_PATH.ref next to the executable; the entry runs with
// the launcher's arguments and LD_LIBRARY_PATH extended by that directory.

#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "format.h"

static int Fail(char const* what) {
  fprintf(stderr, "reference: %s: %s\n", what, strerror(errno));
  return 255;
}

static uint64_t Load64(char const* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}

static uint32_t Load32(char const* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

enum Method { COPY_FILE_RANGE, SENDFILE, READ_WRITE };
static enum Method method = COPY_FILE_RANGE;

static int IsUnsupported(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS ||
         error == EOPNOTSUPP || error == EBADF;
}

static int CopyData(int in, int out, uint64_t offset, uint64_t size) {
  off_t position = (off_t)offset;
  while (size > 0) {
    ssize_t n;
    if (method == COPY_FILE_RANGE) {
      n = copy_file_range(in, &position, out, NULL, size, 0);
      if (n < 0 && IsUnsupported(errno)) {
        method = SENDFILE;
        continue;
      }
    } else if (method == SENDFILE) {
      n = sendfile(out, in, &position, size);
      if (n < 0 && IsUnsupported(errno)) {
        method = READ_WRITE;
        continue;
      }
    } else {
      static char buffer[1 << 20];
      n = pread(in, buffer, size < sizeof buffer ? size : sizeof buffer,
                position);
      for (ssize_t done = 0; n > 0 && done < n;) {
        ssize_t const w = write(out, buffer + done, (size_t)(n - done));
        if (w <= 0) return -1;
        done += w;
      }
      if (n > 0) position += n;
    }
    if (n <= 0) return -1;
    size -= (uint64_t)n;
  }
  return 0;
}

static int Extract(int self, char const* root) {
  struct stat status;
  if (fstat(self, &status) != 0) return -1;
  char trailer[32];
  if (pread(self, trailer, sizeof trailer, status.st_size - 32) != 32 ||
      memcmp(trailer + 24, REF_MAGIC, 8) != 0) {
    errno = EINVAL;
    return -1;
  }
  uint64_t const index_offset = Load64(trailer), index_size = Load64(trailer + 8);
  char* const index = malloc(index_size + 1);
  if (index == NULL ||
      pread(self, index, index_size, (off_t)index_offset) != (ssize_t)index_size) {
    return -1;
  }
  if (mkdir(root, 0700) != 0) return -1;
  int const dir = open(root, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return -1;
  for (char const* p = index; p < index + index_size;) {
    uint8_t const kind = (uint8_t)p[0];
    mode_t const mode = Load32(p + 1) & 0700;
    uint64_t const offset = Load64(p + 5), size = Load64(p + 13);
    uint32_t const length = Load32(p + 21);
    char path[4096];
    memcpy(path, p + 25, length);
    path[length] = '\0';
    p += 25 + length;
    if (kind == 1) {
      if (mkdirat(dir, path, mode) != 0) return -1;
      continue;
    }
    int const out =
        openat(dir, path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (out < 0 || CopyData(self, out, offset, size) != 0 || close(out) != 0) {
      return -1;
    }
  }
  close(dir);
  free(index);
  return 0;
}

static int EraseContents(int dir) {
  DIR* const stream = fdopendir(dir);
  if (stream == NULL) return -1;
  int result = 0;
  for (struct dirent* entry; (entry = readdir(stream)) != NULL;) {
    char const* const name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    if (entry->d_type == DT_DIR) {
      int const child = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW |
                                              O_CLOEXEC);
      if (child < 0 || EraseContents(child) != 0 ||
          unlinkat(dir, name, AT_REMOVEDIR) != 0) {
        result = -1;
      }
    } else if (unlinkat(dir, name, 0) != 0) {
      result = -1;
    }
  }
  closedir(stream);
  return result;
}

static int Erase(char const* root) {
  int const dir = open(root, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0 || EraseContents(dir) != 0) return -1;
  return rmdir(root);
}

static int Run(char const* root, char const* entry, char** argv) {
  char path[8192];
  snprintf(path, sizeof path, "%s/%s", root, entry);
  char const* const previous = getenv("LD_LIBRARY_PATH");
  char libraries[8192];
  if (previous != NULL && *previous != '\0') {
    snprintf(libraries, sizeof libraries, "%s:%s", previous, root);
  } else {
    snprintf(libraries, sizeof libraries, "%s", root);
  }
  pid_t const child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    setenv("LD_LIBRARY_PATH", libraries, 1);
    argv[0] = path;
    execv(path, argv);
    _exit(errno == EACCES ? 253 : 254);
  }
  int status;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

int main(int argc, char** argv) {
  (void)argc;
  char self_path[4096];
  ssize_t const n = readlink("/proc/self/exe", self_path, sizeof self_path - 8);
  if (n <= 0) return Fail("readlink /proc/self/exe");
  memcpy(self_path + n, ".ref", 5);
  int const self = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (self < 0) return Fail("open /proc/self/exe");

  struct stat status;
  char trailer[32];
  if (fstat(self, &status) != 0 ||
      pread(self, trailer, sizeof trailer, status.st_size - 32) != 32) {
    return Fail("read trailer");
  }
  uint64_t const entry_length = Load64(trailer + 16);
  char entry[4096];
  if (entry_length >= sizeof entry ||
      pread(self, entry, entry_length,
            status.st_size - 32 - (off_t)entry_length) != (ssize_t)entry_length) {
    return Fail("read entry name");
  }
  entry[entry_length] = '\0';

  if (Extract(self, self_path) != 0) {
    int const error = errno;
    Erase(self_path);
    errno = error;
    return Fail("extract");
  }
  close(self);
  int const result = Run(self_path, entry, argv);
  if (result < 0) return Fail("run");
  if (Erase(self_path) != 0) return Fail("erase");
  return result;
}
