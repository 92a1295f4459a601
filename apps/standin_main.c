/* Entry executable of a stand-in application (Halyard, Bowline): prints what
 * it was started with and one line from each of its four shared libraries.
 * Built once per application with STANDIN_NAME, STANDIN_KIND and
 * STANDIN_LINE_1 to STANDIN_LINE_4 naming the libraries' functions. Written
 * in C so that, like a real carried application, it needs nothing from the
 * system beyond the C library and its own libraries.
 *
 * Output on stdout, one item per line:
 *   STANDIN_NAME: STANDIN_KIND
 *   argc=N
 *   argv[I]=VALUE                     for every argument, argv[0] included
 *   NAME=VALUE or "NAME unset"        NESTBOX_PATH, NESTBOX_UNPACKED_PATH,
 *                                     LD_LIBRARY_PATH
 *   LIBRARY: ROLE                     once per library
 * In values, bytes below 0x20, 0x7f and the backslash appear as \xHH, so
 * every value stays on its line and reads back exactly. */

#include <stdio.h>
#include <stdlib.h>

char const* STANDIN_LINE_1(void);
char const* STANDIN_LINE_2(void);
char const* STANDIN_LINE_3(void);
char const* STANDIN_LINE_4(void);

static void PrintBytes(char const* text) {
  for (unsigned char const* c = (unsigned char const*)text; *c != '\0'; ++c) {
    if (*c < 0x20 || *c == 0x7f || *c == '\\') {
      printf("\\x%02x", *c);
    } else {
      putchar(*c);
    }
  }
}

static void PrintVariable(char const* name) {
  char const* const value = getenv(name);
  if (value == NULL) {
    printf("%s unset\n", name);
    return;
  }
  printf("%s=", name);
  PrintBytes(value);
  putchar('\n');
}

int main(int argc, char** argv) {
  printf("%s: %s\n", STANDIN_NAME, STANDIN_KIND);
  printf("argc=%d\n", argc);
  for (int i = 0; i < argc; ++i) {
    printf("argv[%d]=", i);
    PrintBytes(argv[i]);
    putchar('\n');
  }
  PrintVariable("NESTBOX_PATH");
  PrintVariable("NESTBOX_UNPACKED_PATH");
  PrintVariable("LD_LIBRARY_PATH");
  char const* const lines[] = {STANDIN_LINE_1(), STANDIN_LINE_2(), STANDIN_LINE_3(),
                               STANDIN_LINE_4()};
  for (int i = 0; i < 4; ++i) printf("%s\n", lines[i]);
  return fflush(stdout) == 0 ? 0 : 1;
}
