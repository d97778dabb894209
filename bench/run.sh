#!/bin/bash
# Benchmarks tavrin side by side with the base directory itself and with
# libfuse's own pass-through example (built here from the source that
# libfuse-dev ships), all in one run: every workload runs on every target in
# turn, the order rotated each round, and medians are reported with their
# spread. Run as root.
#
#   bench/run.sh            the full run (about ten minutes); writes docs/benchmarks.md
#   bench/run.sh --quick    about two minutes; results stay in build-bench/
#   bench/run.sh --smoke    seconds: every target mounts, every workload completes
#   BENCH_TARGETS="..." BENCH_WORKLOADS="..." bench/run.sh [--quick]   only those
#   BENCH_WORK=DIR bench/run.sh ...   the base directories in DIR (default /tmp):
#                           on a tmpfs the figures show tavrin's own cost
#                           without the disk's noise; such a run leaves
#                           docs/benchmarks.md alone
#
# Results: build-bench/results/{raw.csv,summary.csv,table.md,ratios.png}.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-full}
root=$PWD

case $mode in
full) rounds=5 files=5000 warm=20000 lists=200 mib=256 randoms=20000 inserts=300 ;;
--quick) rounds=3 files=1500 warm=5000 lists=50 mib=64 randoms=5000 inserts=100 ;;
--smoke) rounds=1 files=50 warm=50 lists=2 mib=4 randoms=50 inserts=5 ;;
*) echo "usage: bench/run.sh [--quick|--smoke]" >&2; exit 2 ;;
esac

scripts/install-deps.sh
if [ "$mode" != --smoke ] && ! command -v gnuplot >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends gnuplot-nox >/dev/null
fi

build=${BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target tavrin tavrin_bench tavrin_bench_summary >/dev/null
example=/usr/share/doc/libfuse-dev/examples/fusexmp_fh.c
if [ ! -f "$example" ]; then
    zcat "$example.gz" > "$build/fusexmp_fh.c"
    example=$build/fusexmp_fh.c
fi
# With what libfuse's own build finds on Linux: without HAVE_SETXATTR the
# example has no extended attributes, the kernel stops asking for them, and
# each of its writes is spared the security.capability query that tavrin's,
# answering them, is asked before every write.
# shellcheck disable=SC2046
gcc -O2 -Wall -DHAVE_SETXATTR -DHAVE_UTIMENSAT -DHAVE_POSIX_FALLOCATE -DHAVE_FDATASYNC \
    -o "$build/fusexmp_fh" "$example" $(pkg-config --cflags --libs fuse) -lulockmgr

work=$(mktemp -d "${BENCH_WORK:-/tmp}/tavrin-bench.XXXXXX")
results=$build/results
mkdir -p "$results"
raw=$results/raw.csv
echo "round,workload,target,operations,seconds,bytes,cpu_seconds" > "$raw"

declare -A daemon
targets=(native passthrough passthrough-bw tavrin-none tavrin-none-bw tavrin-off tavrin-off-bw
         tavrin-active tavrin-active-bw tavrin-active-keyed tavrin-named32 tavrin-rules4-seq
         tavrin-rules4-keyed tavrin-rules32-seq tavrin-rules32-keyed tavrin-powercut tavrin-slow0
         tavrin-slow0-bw tavrin-slow0-trace tavrin-none-mmapenv)
# BENCH_TARGETS="passthrough tavrin-active" and BENCH_WORKLOADS="create unlink"
# narrow a run to what is being worked on; a narrowed full run leaves
# docs/benchmarks.md alone.
narrowed=${BENCH_TARGETS:-}${BENCH_WORKLOADS:-}${BENCH_WORK:-}
[ -n "${BENCH_TARGETS:-}" ] && read -r -a targets <<< "$BENCH_TARGETS"

finish() {
    for t in "${targets[@]}"; do
        [ "$t" = native ] && continue
        fusermount -u "$work/$t/mnt" 2>/dev/null || fusermount -uz "$work/$t/mnt" 2>/dev/null || true
    done
    for pid in "${daemon[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap finish EXIT INT TERM

# shellcheck source=bench/rules.sh
. bench/rules.sh

mount_target() {
    local t=$1 base=$work/$1/base mnt=$work/$1/mnt opts=()
    mkdir -p "$base" "$mnt"
    rules_for "$t" > "$base/tavrin.conf"
    [ -s "$base/tavrin.conf" ] || rm "$base/tavrin.conf"
    case $t in
    *-bw) opts=(-o big_writes) ;;
    tavrin-named32|tavrin-powercut|tavrin-rules*-seq) opts=(-quiet) ;;
    tavrin-rules*-keyed) opts=(-quiet -draws=keyed) ;;
    tavrin-active-keyed) opts=(-quiet -draws=keyed) ;;
    *-trace) opts=(-trace="$work/$t/trace.jsonl") ;;
    esac
    case $t in
    native) return ;;
    passthrough*) "$build/fusexmp_fh" "$mnt" -f "-omodules=subdir,subdir=$base" "${opts[@]}" \
                      >/dev/null 2>&1 & ;;
    tavrin-none-mmapenv) MALLOC_MMAP_THRESHOLD_=1048576 "$build/tavrin" "$mnt" -basedir="$base" \
                      -f -seed=1 >>"$work/$t/out" 2>>"$work/$t/err" & ;;
    *) "$build/tavrin" "$mnt" -basedir="$base" -f -seed=1 "${opts[@]}" \
                      >>"$work/$t/out" 2>>"$work/$t/err" & ;;
    esac
    daemon[$t]=$!
    for _ in $(seq 400); do
        grep -q " $mnt " /proc/self/mountinfo && return
        kill -0 "${daemon[$t]}" 2>/dev/null || break
        sleep 0.05
    done
    echo "target $t did not mount" >&2
    exit 1
}

dir_of() { if [ "$1" = native ]; then echo "$work/$1/base"; else echo "$work/$1/mnt"; fi; }

cpu_of() {  # the daemon's user + system time in seconds, or - for native
    local pid=${daemon[$1]:-}
    [ -n "$pid" ] || { echo -; return; }
    awk -v hz="$(getconf CLK_TCK)" '{ printf "%.4f\n", ($14 + $15) / hz }' "/proc/$pid/stat"
}

for t in "${targets[@]}"; do
    mount_target "$t"
    d=$(dir_of "$t")
    "$build/tavrin_bench" setup-small "$d" 1000
    "$build/tavrin_bench" setup-dir "$d" 0
done

workloads=("create $files" "stat-cold 1000" "stat-warm $warm" "small-read $files"
           "small-read-x4 $((files * 4))" "readdir $lists" "unlink $files"
           "seq-write $mib" "seq-read $mib" "rand-read $randoms" "rand-write $randoms"
           "sqlite $inserts")
if [ -n "${BENCH_WORKLOADS:-}" ]; then
    # create needs unlink after it to make room for the next round.
    case " $BENCH_WORKLOADS " in *" create "*) BENCH_WORKLOADS="$BENCH_WORKLOADS unlink" ;; esac
    selected=()
    for w in "${workloads[@]}"; do
        case " $BENCH_WORKLOADS " in *" ${w%% *} "*) selected+=("$w") ;; esac
    done
    workloads=("${selected[@]}")
fi

for round in $(seq "$rounds"); do
    for w in "${workloads[@]}"; do
        set -- $w
        name=$1 count=$2 clients=1 driver=$1
        [ "$name" = small-read-x4 ] && { driver=small-read; clients=4; }
        # Rotate the order of targets from round to round and workload to workload.
        n=${#targets[@]}
        shift_by=$(( (round * 7 + ${#name}) % n ))
        for i in $(seq 0 $((n - 1))); do
            t=${targets[$(( (i + shift_by) % n ))]}
            d=$(dir_of "$t")
            [ -f "$work/$t/err" ] && : > "$work/$t/err"
            [ -f "$work/$t/out" ] && : > "$work/$t/out"
            before=$(cpu_of "$t")
            measured=$("$build/tavrin_bench" "$driver" "$d" "$count" "$clients")
            read -r ops secs bytes <<< "$measured"
            after=$(cpu_of "$t")
            cpu=-
            [ "$before" != - ] && cpu=$(awk -v a="$after" -v b="$before" 'BEGIN { printf "%.4f", a - b }')
            echo "$round,$name,$t,$ops,$secs,$bytes,$cpu" >> "$raw"
        done
    done
    echo "round $round of $rounds done" >&2
done

"$build/tavrin_bench_summary" "$raw" "$results/summary.csv" > "$results/table.md"
cat "$results/table.md"

if command -v gnuplot >/dev/null && [ "$mode" != --smoke ]; then
    # One cluster per workload: each target's rate relative to the pass-through example.
    # native is left out: it would dwarf the differences between the others.
    awk -F, 'NR > 1 && $2 != "native" { r[$1] = r[$1] "," $6; if (!($1 in seen)) { seen[$1]; order[++n] = $1 }
                      if (!($2 in tseen)) { tseen[$2]; tord[++m] = $2 } }
             END { printf "workload"; for (j = 1; j <= m; j++) printf " %s", tord[j]; print "";
                   for (i = 1; i <= n; i++) { w = order[i]; gsub(",", " ", r[w]); print w r[w] } }' \
        "$results/summary.csv" > "$results/ratios.dat"
    columns=$(head -1 "$results/ratios.dat" | wc -w)
    gnuplot <<EOF
set terminal pngcairo size 1600,700 noenhanced
set output "$results/ratios.png"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8
set ylabel "rate relative to libfuse's pass-through example"
set xtics rotate by -30
set key outside right
set grid ytics
plot for [c=2:$columns] "$results/ratios.dat" using c:xtic(1) title columnheader(c)
EOF
fi

if [ "$mode" = full ] && [ -z "$narrowed" ]; then
    # What follows the marker line is written by hand and kept.
    marker='<!-- Written by hand from here on; bench/run.sh keeps it. -->'
    kept=$(awk -v m="$marker" 'found || $0 == m { found = 1; print }' "$root/docs/benchmarks.md" \
           2>/dev/null || true)
    {
        echo "# Benchmarks"
        echo
        echo "Reproduce with \`bench/run.sh\` (as root). Run on $(date -u +%Y-%m-%d):"
        echo "$(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')),"
        echo "$(free -g | awk '/Mem:/ { print $2 }') GiB, kernel $(uname -r), libfuse $(pkg-config --modversion fuse),"
        echo "base directories on $(stat -f -c %T "$work")."
        echo
        echo "Targets: \`native\` is the base directory itself; \`passthrough\` is libfuse's"
        echo "fusexmp_fh example, built with extended attributes, behind the subdir module"
        echo "(tavrin maps paths itself); \`tavrin-none\` has no rule file,"
        echo "\`tavrin-off\` four rules of probability 0, \`tavrin-active\` four rules of"
        echo "probability 100 whose path patterns never match (skip lines to a file),"
        echo "\`tavrin-active-keyed\` the same with \`-draws=keyed -quiet\`,"
        echo "\`tavrin-named32\` 32 named rules that never fire (half miss their path, half"
        echo "their operation) with \`-quiet\`, \`tavrin-rules4-seq\` and \`tavrin-rules32-seq\`"
        echo "4 and 32 rules of probability 100 aimed at paths no request names"
        echo "(\`path_regexp = ^/nowhere/N/\`) with \`-quiet\`, \`-keyed\` the same with"
        echo "\`-draws=keyed\`, \`tavrin-powercut\` a power-cut rule that never"
        echo "fires (so every change is recorded) with \`-quiet\`,"
        echo "\`tavrin-slow0\` a slowdown of 0 ns on every operation (so a rule fires on"
        echo "every check; \`tavrin-slow0-trace\` the same with \`-trace=FILE\`, a trace line"
        echo "per check); \`-bw\` adds"
        echo "\`-o big_writes\`; \`tavrin-none-mmapenv\` runs with MALLOC_MMAP_THRESHOLD_=1048576."
        echo "Medians of $rounds rounds; spread is (max - min) / median; CPU is the daemon's"
        echo "user + system time per operation (10 ms ticks)."
        echo
        cat "$results/table.md"
        echo
        echo "![rates relative to the pass-through example](benchmarks.png)"
        if [ -n "$kept" ]; then echo; echo "$kept"; fi
    } > "$root/docs/benchmarks.md"
    [ -f "$results/ratios.png" ] && cp "$results/ratios.png" "$root/docs/benchmarks.png"
fi
