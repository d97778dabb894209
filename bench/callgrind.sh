#!/bin/bash
# Instructions per request in the daemon, counted by callgrind, which (unlike
# wall-clock rates on a shared machine) repeat from run to run. For each
# target: the daemon's instructions for a mount with N uncached stat calls,
# less those of a mount with none, divided by N. Run as root, after
# bench/run.sh has built build-bench/.
#
#   bench/callgrind.sh [N]      (default 2000)
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-2000}
build=${BENCH_BUILD_DIR:-build-bench}
command -v valgrind >/dev/null ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends valgrind >/dev/null
work=$(mktemp -d /tmp/tavrin-callgrind.XXXXXX)
trap 'fusermount -uz "$work/mnt" 2>/dev/null || true; rm -rf "$work"' EXIT
caches_off=-oattr_timeout=0,entry_timeout=0,negative_timeout=0

# shellcheck source=bench/rules.sh
. bench/rules.sh

instructions() {  # TARGET STATS: the daemon's instruction count for one mount
    local target=$1 stats=$2 base=$work/base mnt=$work/mnt
    rm -rf "$base" && mkdir -p "$base" "$mnt" && : > "$base/file"
    rules_for "$target" > "$base/tavrin.conf"
    [ -s "$base/tavrin.conf" ] || rm "$base/tavrin.conf"
    local program=("$build/tavrin" "$mnt" -basedir="$base" -f -s "$caches_off")
    case $target in
    tavrin-named32|tavrin-rules*-seq) program+=(-quiet) ;;
    tavrin-rules*-keyed) program+=(-quiet -draws=keyed) ;;
    *-keyed) program+=(-draws=keyed) ;;
    *-trace) program+=(-trace="$work/trace.jsonl") ;;
    esac
    [ "$target" = passthrough ] && program=("$build/fusexmp_fh" "$mnt" -f -s "$caches_off" "-omodules=subdir,subdir=$base")
    valgrind --tool=callgrind --callgrind-out-file="$work/out" "${program[@]}" >/dev/null 2>"$work/err" &
    local pid=$!
    for _ in $(seq 600); do grep -q " $mnt " /proc/self/mountinfo && break; sleep 0.05; done
    for _ in $(seq "$stats"); do stat "$mnt/file" >/dev/null; done
    fusermount -u "$mnt"
    wait "$pid" || true
    awk '/^(summary|totals):/ { print $2; exit }' "$work/out"
}

printf '%-14s %s\n' target "instructions per stat"
for target in ${CALLGRIND_TARGETS:-passthrough tavrin-none tavrin-off tavrin-active tavrin-active-keyed tavrin-named32 \
              tavrin-rules4-seq tavrin-rules4-keyed tavrin-rules32-seq tavrin-rules32-keyed \
              tavrin-slow0 tavrin-slow0-trace}; do
    idle=$(instructions "$target" 0)
    busy=$(instructions "$target" "$count")
    printf '%-14s %d\n' "$target" $(( (busy - idle) / count ))
done
