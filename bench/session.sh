#!/usr/bin/env bash
# The measuring half of the benchmark, run by run.sh inside a private mount
# namespace: nothing here reaches the host's /tmp, /var/tmp or /dev.
#
# /tmp and /var/tmp are bind mounts of SCRATCH, a directory on the disk file
# system that holds the host's /tmp; /tmp/disk and /tmp/tmpfs (a tmpfs) are
# the two places where every command runs. Each place gets its own copy of
# every deliverable, since a launcher extracts next to itself.
#
# Usage: session.sh WORK SCRATCH ROUNDS RUNS "WORKLOADS" "PLACES"
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$1 scratch=$2 rounds=$3 runs=$4
read -ra workloads <<<"$5"
read -ra places <<<"$6"
raw=$work/raw

# A /dev of our own: the launcher's system log socket and everything else in
# /dev stay out of reach; the few devices the tools need are bound in.
private_dev() {
  local dev=$scratch/.dev node
  mkdir -p "$dev"
  mount -t tmpfs -o mode=0755,size=1m nestbox-bench-dev "$dev"
  for node in null zero full random urandom; do
    touch "$dev/$node"
    mount --bind "/dev/$node" "$dev/$node"
  done
  ln -s /proc/self/fd "$dev/fd"
  ln -s /proc/self/fd/0 "$dev/stdin"
  ln -s /proc/self/fd/1 "$dev/stdout"
  ln -s /proc/self/fd/2 "$dev/stderr"
  mount --move "$dev" /dev
}

mount --bind "$scratch" /tmp
mount --bind "$scratch" /var/tmp
private_dev
mkdir -p /tmp/disk /tmp/tmpfs
mount -t tmpfs -o mode=0755,size=4g nestbox-bench /tmp/tmpfs

for place in "${places[@]}"; do
  base=/tmp/$place
  mkdir -p "$base/nb" "$base/ref" "$base/tar" "$base/direct" "$base/hold"
  for w in "${workloads[@]}"; do
    cp "$work/deliverables/nestbox/$w" "$base/nb/$w"
    cp "$work/deliverables/reference/$w" "$base/ref/$w"
    cp "$work/deliverables/tar/$w.tar" "$work/deliverables/tar/$w.tar.gz" "$base/tar/"
    cp -a "$work/apps/$w" "$base/direct/$w"
  done
done
# Written back now, not in the middle of a measurement.
for place in "${places[@]}"; do sync -f "/tmp/$place"; done

{
  for place in "${places[@]}"; do
    echo "place=$place fs=$(findmnt -no FSTYPE -T "/tmp/$place") source=$(findmnt -no SOURCE -T "/tmp/$place")"
  done
} >"$raw/places.txt"

# The launcher's anonymous memory while its child runs.
for w in "${workloads[@]}"; do
  launcher=/tmp/${places[0]}/nb/$w
  hold=/tmp/${places[0]}/hold/$w
  "$here/hold.sh" start "$launcher" "$hold"
  pid=$(cat "$hold/ready")
  if [[ $(readlink "/proc/$pid/exe") != "$launcher" ]]; then
    echo "session.sh: process $pid is not the launcher of $w" >&2
    exit 1
  fi
  awk -v w="$w" '/^(RssAnon|RssFile|VmHWM|VmRSS):/ { v[$1] = $2 }
    END { print w, v["RssAnon:"], v["RssFile:"], v["VmRSS:"], v["VmHWM:"] }' \
    "/proc/$pid/status" >>"$raw/memory.txt"
  "$here/hold.sh" stop "$hold"
done

no_working_directory() {
  local d
  for d in "$1"/nb/*.data* "$1"/ref/*.ref "$1"/tar/*.x; do
    if [[ -e $d ]]; then
      echo "session.sh: $d is left over from an earlier run" >&2
      exit 1
    fi
  done
}

# What a shell-script launcher does: unpack into a private directory, run,
# erase.
shell_launcher() {
  local base=$1 w=$2 option=$3 suffix=$4
  local x=$base/tar/$w.x
  echo "sh -c 'mkdir -m 700 $x && tar $option $base/tar/$w$suffix -C $x &&" \
    "LD_LIBRARY_PATH=$x $x/$w && rm -rf $x'"
}

bench() {
  local json=$1
  shift
  hyperfine -N --style basic --warmup 1 --runs "$runs" \
    --export-json "$json" "$@" >>"$raw/hyperfine.log" 2>&1 || {
    echo "session.sh: hyperfine failed; see $raw/hyperfine.log" >&2
    exit 1
  }
}

for ((round = 1; round <= rounds; ++round)); do
  # Alternate the order of the places so that neither always goes first.
  order=("${places[@]}")
  if ((round % 2 == 0)); then
    order=()
    for ((i = ${#places[@]} - 1; i >= 0; --i)); do order+=("${places[i]}"); done
  fi
  for place in "${order[@]}"; do
    base=/tmp/$place
    for w in "${workloads[@]}"; do
      echo "round $round/$rounds: $w on $place" >&2
      tag=$raw/$round.$place.$w
      nb=$base/nb/$w
      no_working_directory "$base"
      bench "$tag.main.json" \
        -n fresh "$nb" \
        -n reference "$base/ref/$w" \
        -n tar "$(shell_launcher "$base" "$w" -xf .tar)" \
        -n targz "$(shell_launcher "$base" "$w" -xzf .tar.gz)"
      no_working_directory "$base"
      bench "$tag.reuse.json" \
        --setup "$here/hold.sh start $nb $base/hold/$w" \
        --cleanup "$here/hold.sh stop $base/hold/$w" \
        -n reuse "$nb"
      no_working_directory "$base"
      NESTBOX_UNTAR=1 bench "$tag.untar.json" \
        --prepare "sh -c 'rm -rf $nb.data*'" \
        --cleanup "sh -c 'rm -rf $nb.data*'" \
        -n untar "$nb"
      LD_LIBRARY_PATH=$base/direct/$w bench "$tag.direct.json" \
        -n direct "$base/direct/$w/$w" \
        -n wrapper "$work/tools/wrapper $base/direct/$w/$w"
    done
    # How the launcher's write size plays out: the W40 deliverable's bytes
    # copied out of a mapping of it, as the launcher copies out of its image.
    if [[ -e $base/nb/W40 ]]; then
      probe=()
      for size in 256k:262144 1m:1048576 4m:4194304 whole:0; do
        for mode in plain mapped; do
          probe+=(-n "write-${size%%:*}-$mode"
            "$work/tools/write-probe ${size#*:} $mode $base/nb/W40 $base/probe.out")
        done
      done
      bench "$raw/$round.$place.W40.write.json" "${probe[@]}"
    fi
  done
done

for place in "${places[@]}"; do rm -rf "/tmp/$place"/*; done
