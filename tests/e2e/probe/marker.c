/* A library that the probe finds only through LD_LIBRARY_PATH: the probe
 * carries no RPATH or RUNPATH, so it starts only when the launcher has put
 * the working directory on the library path. */
char const* probe_marker(void) { return "marker library loaded"; }
