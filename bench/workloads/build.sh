#!/usr/bin/env bash
# Builds the benchmark's application trees under OUT/apps:
#   W40    an entry executable of 20 MiB and four shared libraries of 8, 6, 4
#          and 2 MiB, real ELF files padded with read-only data; the entry
#          calls one function of each library, found through LD_LIBRARY_PATH
#   W10k   a tiny entry and 10,000 files of source-like text in 100
#          directories, 100 MB in all
#   Wtiny  the entry alone, a few kilobytes
# Usage: build.sh OUT
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$1
cc=${CC:-cc}
cflags=(-O2 -Wall -Wextra)
tools=$out/tools
apps=$out/apps
pad=$out/padding
mkdir -p "$tools" "$pad"

"$cc" "${cflags[@]}" -o "$tools/generate" "$here/generate.c"

MiB=$((1024 * 1024))

# padding NAME BYTES SEED: an object whose read-only data is BYTES of code-like
# bytes.
padding() {
  local name=$1 bytes=$2 seed=$3
  "$tools/generate" blob code "$bytes" "$seed" "$pad/$name.bin"
  "$cc" -c -o "$pad/$name.o" -DBENCH_PADDING_FILE="\"$pad/$name.bin\"" \
    "$here/padding.S"
}

entry() {
  local dir=$1 name=$2 padname=$3
  shift 3
  "$cc" "${cflags[@]}" -o "$dir/$name" "$here/entry.c" "$pad/$padname.o" "$@"
}

rm -rf "$apps"
mkdir -p "$apps/W40" "$apps/W10k" "$apps/Wtiny"

# W40
seed=40
for mib in 8 6 4 2; do
  padding "lib$mib" $((mib * MiB)) $((seed++))
  "$cc" "${cflags[@]}" -shared -fPIC -DBENCH_MIB="$mib" \
    -o "$apps/W40/libbench$mib.so" "$here/library.c" "$pad/lib$mib.o"
done
padding entry20 $((20 * MiB)) $((seed++))
entry "$apps/W40" W40 entry20 -DBENCH_LIBRARIES -L"$apps/W40" \
  -lbench8 -lbench6 -lbench4 -lbench2

# W10k and Wtiny: the entry with a token of padding, stripped.
padding tiny 1024 1
entry "$apps/W10k" W10k tiny -s -Wl,-z,noseparate-code
entry "$apps/Wtiny" Wtiny tiny -s -Wl,-z,noseparate-code
"$tools/generate" tree "$apps/W10k" 100 100 100000000 10

rm -rf "$pad"
