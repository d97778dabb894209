#!/bin/sh
# Installs what is needed, builds tavrin and runs every test: the plain
# build, the same tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# and the concurrency and power-cut tests under ThreadSanitizer. The stress test runs for a
# minute in the plain build and 20 seconds under the sanitizers;
# TAVRIN_STRESS_SECONDS=N sets both. Last, the rule loader is fuzzed for 30
# seconds (TAVRIN_FUZZ_SECONDS). Run as root: the
# end-to-end tests mount FUSE filesystems.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
leftovers() { ls -d /tmp/tavrin-test.* /tmp/tavrin-run.* 2>/dev/null | wc -l; }
left_before=$(leftovers)

# suite DIR CTEST-ARGS CMAKE-ARGS...: configure, build and test one build.
suite() {
    dir=$1 selection=$2
    shift 2
    echo "== $dir"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure --timeout 300 -j 2 $selection)
}

suite "${BUILD_DIR:-build}" ""
TAVRIN_STRESS_SECONDS=${TAVRIN_STRESS_SECONDS:-20} suite build-asan "" -DTAVRIN_SANITIZE=address,undefined
TAVRIN_POWER_CYCLES=${TAVRIN_POWER_CYCLES:-300} suite build-tsan "-R Concurrency|PowerCut" -DTAVRIN_SANITIZE=thread

# The tests leave nothing behind.
if [ "$(leftovers)" -gt "$left_before" ]; then
    echo "the tests left directories in /tmp:"; ls -d /tmp/tavrin-test.* /tmp/tavrin-run.*
    exit 1
fi

echo "== fuzzing the rule loader"
scripts/fuzz.sh "${TAVRIN_FUZZ_SECONDS:-30}"
