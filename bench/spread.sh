#!/bin/bash
# The spread of one coordinated cut: three mounts on this machine, cut at
# one instant by tavrin-ctl -all and powered on again, N times (default
# 20); the median and the worst spread between the earliest and the latest
# cut, in milliseconds. Run as root, after a build in build/ (or
# BENCH_BUILD_DIR).
#
#   bench/spread.sh [N]
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-20}
build=${BENCH_BUILD_DIR:-build}
work=$(mktemp -d /tmp/tavrin-spread.XXXXXX)
pids=()
finish() {
    for n in 1 2 3; do fusermount -u "$work/mnt$n" 2>/dev/null || fusermount -uz "$work/mnt$n" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap finish EXIT
for n in 1 2 3; do
    mkdir -p "$work/base$n" "$work/mnt$n"
    "$build/tavrin" "$work/mnt$n" -basedir="$work/base$n" -f -quiet -control="$work/ctl$n" \
        -oattr_timeout=0,entry_timeout=0,negative_timeout=0 >/dev/null 2>&1 &
    pids+=($!)
done
for n in 1 2 3; do
    for _ in $(seq 100); do grep -q " $work/mnt$n " /proc/self/mountinfo && break; sleep 0.1; done
done
sockets=("$work/ctl1" "$work/ctl2" "$work/ctl3")
for _ in $(seq "$count"); do
    for n in 1 2 3; do echo unsynced > "$work/mnt$n/file"; done
    "$build/tavrin-ctl" -all "${sockets[@]}" -- cut | jq -r '.spread * 1000'
    "$build/tavrin-ctl" -all "${sockets[@]}" -- power-on >/dev/null
done | sort -g | awk '{ v[NR] = $1 } END {
    printf "coordinated cuts: %d, spread median %.3f ms, worst %.3f ms\n", NR, v[int((NR + 1) / 2)], v[NR] }'
