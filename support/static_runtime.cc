// The deliverables link the C++ runtime statically so that their only
// dynamic dependency is libc.so.6. One object of the static runtime
// (eh_globals.o) reaches its thread-local exception state through a
// local-dynamic TLS sequence that calls __tls_get_addr, a symbol of the
// dynamic loader. In an executable the linker rewrites that sequence to the
// local-exec model and the call disappears, but the reference alone still
// puts ld-linux-x86-64.so.2 into the NEEDED list. A hidden definition here
// satisfies the reference inside the executable; it is not exported, so it
// never stands in for the loader's own function in any shared object, and
// since no call to it survives relaxation it is never reached. Should a
// future runtime keep a call, the launcher stops at once instead of
// misbehaving.

#include <cstdlib>

extern "C" __attribute__((visibility("hidden"), used)) void* __tls_get_addr(
    void*) {
  std::abort();
}
