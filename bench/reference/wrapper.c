// The least that any launcher which starts its application as a child does:
// fork, exec the entry, wait, pass its status on. Run around an already
// extracted entry it is the floor for a run that reuses a working directory.
//
//   wrapper ENTRY [ARG...]

#include <errno.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: wrapper ENTRY [ARG...]\n");
    return 2;
  }
  pid_t const child = fork();
  if (child < 0) return 255;
  if (child == 0) {
    execv(argv[1], argv + 1);
    _exit(errno == EACCES ? 253 : 254);
  }
  int status;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return 255;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}
