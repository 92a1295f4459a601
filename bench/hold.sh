#!/usr/bin/env bash
# Starts or ends a run of a deliverable whose entry holds its working
# directory (see workloads/entry.c).
#   hold.sh start LAUNCHER DIR   start LAUNCHER, wait until its entry runs;
#                                DIR/ready then holds the launcher's pid
#   hold.sh stop DIR             let the entry end, wait for the launcher
set -euo pipefail

wait_for() {
  local what=$1 i
  shift
  for ((i = 0; i < 30000; ++i)); do
    "$@" && return 0
    sleep 0.001
  done
  echo "hold.sh: gave up waiting for $what" >&2
  exit 1
}

case $1 in
start)
  launcher=$2 dir=$3
  rm -rf "$dir"
  mkdir -p "$dir"
  NESTBOX_BENCH_HOLD=$dir "$launcher" </dev/null >/dev/null 2>&1 &
  echo $! >"$dir/pid"
  wait_for "the entry of $launcher" test -e "$dir/ready"
  ;;
stop)
  dir=$2
  pid=$(cat "$dir/pid")
  touch "$dir/release"
  wait_for "launcher $pid to end" eval '! kill -0 '"$pid"' 2>/dev/null'
  rm -rf "$dir"
  ;;
*)
  echo "usage: hold.sh start LAUNCHER DIR | stop DIR" >&2
  exit 2
  ;;
esac
