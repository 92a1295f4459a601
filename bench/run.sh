#!/usr/bin/env bash
# `make bench`: measures how close a deliverable's run comes to the machine's
# limit, beside what users would pick instead. Builds the workloads, packs
# each one four ways (nestbox, the reference extractor, tar, tar.gz), runs
# every command in one session inside a private mount namespace, then prints
# the table of medians and ratios and writes it to BUILD/bench/results.md.
#
# Usage: bench/run.sh [BUILD_DIR]
# Knobs (environment): BENCH_ROUNDS (10), BENCH_RUNS (5 timed runs per command
# and round), BENCH_WORKLOADS ("W40 W10k Wtiny"), BENCH_PLACES ("disk tmpfs").
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
rounds=${BENCH_ROUNDS:-10}
runs=${BENCH_RUNS:-5}
workloads=${BENCH_WORKLOADS:-W40 W10k Wtiny}
places=${BENCH_PLACES:-disk tmpfs}
work=$build/bench
scratch=$work/scratch
pack=$build/bin/nestbox-pack
cc=${CC:-cc}

if [[ $work =~ [[:space:]\'\"] ]]; then
  echo "bench: the build directory's path must not hold blanks or quotes" >&2
  exit 1
fi
if [[ ! -x $pack ]]; then
  echo "bench: $pack is missing; build first (make)" >&2
  exit 1
fi
if ! command -v hyperfine >/dev/null; then
  if [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
    apt-get install -y hyperfine >/dev/null ||
      { apt-get update >/dev/null && apt-get install -y hyperfine >/dev/null; }
  else
    echo "bench: hyperfine is missing (Debian: apt-get install hyperfine)" >&2
    exit 1
  fi
fi
# Root mounts directly; anyone else gets the same powers in a user namespace.
namespace=(unshare --mount --propagation private)
[[ $(id -u) == 0 ]] || namespace=(unshare --user --map-root-user --mount --propagation private)

echo "bench: building the workloads" >&2
rm -rf "$work/raw" "$work/deliverables" "$scratch"
mkdir -p "$work/tools" "$work/raw" "$scratch"
CC=$cc "$here/workloads/build.sh" "$work"
"$cc" -O2 -Wall -Wextra -o "$work/tools/reference-stub" "$here/reference/extract.c"
"$cc" -O2 -Wall -Wextra -o "$work/tools/reference-pack" "$here/reference/pack.c"
"$cc" -O2 -Wall -Wextra -o "$work/tools/write-probe" "$here/write_size/probe.c"
"$cc" -O2 -Wall -Wextra -o "$work/tools/wrapper" "$here/reference/wrapper.c"

echo "bench: packing" >&2
mkdir -p "$work/deliverables/nestbox" "$work/deliverables/reference" \
  "$work/deliverables/tar"
for w in $workloads; do
  "$pack" --entry "$w" --output "$work/deliverables/nestbox/$w" "$work/apps/$w" >/dev/null
  "$work/tools/reference-pack" "$work/tools/reference-stub" "$w" \
    "$work/apps/$w" "$work/deliverables/reference/$w"
  tar -cf "$work/deliverables/tar/$w.tar" --sort=name --owner=0 --group=0 \
    --numeric-owner --mtime=@0 -C "$work/apps/$w" .
  gzip -n -c "$work/deliverables/tar/$w.tar" >"$work/deliverables/tar/$w.tar.gz"
  echo "$w $(du -sb "$work/apps/$w" | cut -f1) $(find "$work/apps/$w" -type f | wc -l)" \
    "$(stat -c %s "$work/deliverables/nestbox/$w")" \
    "$(stat -c %s "$work/deliverables/tar/$w.tar.gz")" >>"$work/raw/workloads.txt"
done

# The disk case must run on the file system that holds the host's /tmp.
if [[ $(stat -c %d "$scratch") != $(stat -c %d /tmp) ]]; then
  echo "bench: note: $scratch and /tmp are on different file systems;" \
    "the disk rows measure $(stat -f -c %T "$scratch")" >&2
fi

{
  echo "date=$(date -u +%Y-%m-%dT%H:%MZ)"
  echo "nproc=$(nproc)"
  echo "cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)"
  echo "memory=$(awk '/^MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)"
  echo "kernel=$(uname -r)"
  echo "os=$(. /etc/os-release && echo "$PRETTY_NAME")"
  echo "hyperfine=$(hyperfine --version | awk '{ print $2 }')"
  echo "revision=$(git -C "$here/.." rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$here/.." diff --quiet HEAD 2>/dev/null || echo +changes)"
  echo "rounds=$rounds"
  echo "runs=$runs"
  echo "load_before=$(cut -d' ' -f1-3 /proc/loadavg)"
} >"$work/raw/machine.txt"

echo "bench: measuring ($rounds rounds of $runs runs per command)" >&2
status=0
"${namespace[@]}" "$here/session.sh" "$work" "$scratch" "$rounds" "$runs" \
  "$workloads" "$places" || status=$?
echo "load_after=$(cut -d' ' -f1-3 /proc/loadavg)" >>"$work/raw/machine.txt"
rm -rf "$scratch"
[[ $status == 0 ]] || exit "$status"

python3 "$here/summarize.py" "$work/raw" "$work/results.md"
echo "bench: results written to $work/results.md" >&2
