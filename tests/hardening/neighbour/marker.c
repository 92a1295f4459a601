/* What a hostile neighbour puts where the probe's library might be looked
 * for. Loaded into the victim's entry executable, it marks that the
 * neighbour's code ran there, as the victim, and tells the probe so. */
#include <fcntl.h>
#include <unistd.h>

__attribute__((constructor)) static void MarkThatNeighbourCodeRan(void) {
  int const fd = open("/tmp/neighbour-code-ran", O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) close(fd);
}

char const* probe_marker(void) { return "neighbour library loaded"; }
