// One shared library of the W40 workload: BENCH_MIB names its function and
// is its result; padding.S gives the file its size.

#define NAME2(a, b) a##b
#define NAME(a, b) NAME2(a, b)

extern unsigned char const bench_padding[];

int NAME(BenchLibrary, BENCH_MIB)(void) {
  volatile unsigned char first = bench_padding[0];
  (void)first;
  return BENCH_MIB;
}
