/* Writes log entries through the C library, as the launcher does.
 * Usage: log_writer IDENT ENTRY...   where ENTRY is PRIORITY:TEXT, or
 *        "repeat:N" for N info entries "entry 0" to "entry N-1". */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  openlog(argv[1], LOG_PID, LOG_USER);
  for (int i = 2; i < argc; ++i) {
    char* colon = strchr(argv[i], ':');
    if (colon == NULL) return 2;
    *colon = '\0';
    if (strcmp(argv[i], "repeat") == 0) {
      int const count = atoi(colon + 1);
      for (int n = 0; n < count; ++n) syslog(LOG_INFO, "entry %d", n);
    } else {
      syslog(atoi(argv[i]), "%s", colon + 1);
    }
  }
  closelog();
  return 0;
}
