// Builds a reference deliverable: copies the extractor stub and appends the
// application tree in the layout of format.h.
//
//   pack STUB ENTRY APPDIR OUTPUT

#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "format.h"

static FILE* out;
static char* index_data;
static size_t index_size, index_capacity;

static void Die(char const* what, char const* path) {
  fprintf(stderr, "pack: %s %s: %s\n", what, path, strerror(errno));
  exit(1);
}

static void Append(void const* bytes, size_t size) {
  if (index_size + size > index_capacity) {
    index_capacity = 2 * (index_capacity + size);
    index_data = realloc(index_data, index_capacity);
    if (index_data == NULL) Die("out of memory", "");
  }
  memcpy(index_data + index_size, bytes, size);
  index_size += size;
}

static void Record(uint8_t kind, uint32_t mode, uint64_t offset, uint64_t size,
                   char const* path) {
  uint32_t const length = (uint32_t)strlen(path);
  Append(&kind, 1);
  Append(&mode, 4);
  Append(&offset, 8);
  Append(&size, 8);
  Append(&length, 4);
  Append(path, length);
}

static void CopyInto(char const* path, uint64_t* offset_out, uint64_t* size_out) {
  long position = ftell(out);
  long const aligned = (position + REF_ALIGN - 1) / REF_ALIGN * REF_ALIGN;
  for (; position < aligned; ++position) fputc(0, out);
  FILE* const in = fopen(path, "rb");
  if (in == NULL) Die("cannot open", path);
  char buffer[1 << 16];
  uint64_t size = 0;
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, in)) > 0; size += n) {
    if (fwrite(buffer, 1, n, out) != n) Die("cannot write", "output");
  }
  fclose(in);
  *offset_out = (uint64_t)aligned;
  *size_out = size;
}

static int ByName(struct dirent const** a, struct dirent const** b) {
  return strcmp((*a)->d_name, (*b)->d_name);
}

static void Walk(char const* root, char const* relative) {
  char path[4096];
  snprintf(path, sizeof path, "%s%s%s", root, *relative ? "/" : "", relative);
  struct dirent** entries;
  int const count = scandir(path, &entries, NULL, ByName);
  if (count < 0) Die("cannot read", path);
  for (int i = 0; i < count; ++i) {
    char const* const name = entries[i]->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    char child[4096], full[8192];
    snprintf(child, sizeof child, "%s%s%s", relative, *relative ? "/" : "", name);
    snprintf(full, sizeof full, "%s/%s", root, child);
    struct stat status;
    if (lstat(full, &status) != 0) Die("cannot stat", full);
    if (S_ISDIR(status.st_mode)) {
      Record(1, status.st_mode & 07777, 0, 0, child);
      Walk(root, child);
    } else if (S_ISREG(status.st_mode)) {
      uint64_t offset, size;
      CopyInto(full, &offset, &size);
      Record(2, status.st_mode & 07777, offset, size, child);
    }
  }
  free(entries);
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: pack STUB ENTRY APPDIR OUTPUT\n");
    return 2;
  }
  out = fopen(argv[4], "wb");
  if (out == NULL) Die("cannot create", argv[4]);
  uint64_t stub_offset, stub_size;
  CopyInto(argv[1], &stub_offset, &stub_size);
  Walk(argv[3], "");
  uint64_t const index_offset = (uint64_t)ftell(out);
  uint64_t const entry_length = strlen(argv[2]);
  if (fwrite(index_data, 1, index_size, out) != index_size ||
      fwrite(argv[2], 1, entry_length, out) != entry_length) {
    Die("cannot write", argv[4]);
  }
  uint64_t const trailer[3] = {index_offset, index_size, entry_length};
  if (fwrite(trailer, sizeof trailer, 1, out) != 1 ||
      fwrite(REF_MAGIC, 8, 1, out) != 1 || fclose(out) != 0) {
    Die("cannot write", argv[4]);
  }
  return chmod(argv[4], 0755) == 0 ? 0 : 1;
}
