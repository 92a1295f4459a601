/* greeter NAME...: greets the names in one line, with the help of its two
 * libraries, and tells where it runs from; without a name it prints its
 * usage and ends with 2. */

#include <stdio.h>
#include <stdlib.h>

#include "greeting.h"
#include "punctuation.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs("usage: greeter NAME...\n", stderr);
    return 2;
  }
  int const count = argc - 1;
  fputs(greeting_opening(), stdout);
  for (int i = 0; i < count; ++i) {
    fputs(punctuation_before(i, count), stdout);
    fputs(argv[i + 1], stdout);
  }
  puts(punctuation_end());
  /* Set by the launcher: this program's path in its working directory. */
  char const* const unpacked = getenv("NESTBOX_UNPACKED_PATH");
  printf("(run from %s)\n", unpacked != NULL ? unpacked : "outside a deliverable");
  return 0;
}
