#!/bin/sh
# Builds the fuzz targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each from its seed corpus for the given
# number of seconds (default 30): rule_file_fuzzer loads rule files,
# rule_checks_fuzzer loads one and runs checks against it. New inputs go to
# build-fuzz/corpus-NAME, failing ones to build-fuzz/NAME-crash-* and the
# like. The lines shown give each run's executions ("#N") and the edges of
# the engine it covered ("cov: N").
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-30}
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DTAVRIN_FUZZ=ON \
    -DTAVRIN_SANITIZE=address,undefined -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target rule_file_fuzzer rule_checks_fuzzer
for fuzzer in rule_file_fuzzer rule_checks_fuzzer; do
    mkdir -p "build-fuzz/corpus-$fuzzer"
    echo "== $fuzzer"
    status=0
    "build-fuzz/$fuzzer" -close_fd_mask=3 -max_total_time="$seconds" -max_len=65536 \
        -timeout=10 -rss_limit_mb=2048 -dict=tests/fuzz/rules.dict \
        -artifact_prefix="build-fuzz/$fuzzer-" \
        "build-fuzz/corpus-$fuzzer" tests/data tests/fuzz/seeds examples > "build-fuzz/$fuzzer.log" 2>&1 || status=$?
    grep -E '^#[0-9]+.*(INITED|DONE)' "build-fuzz/$fuzzer.log" || true
    if [ "$status" -ne 0 ]; then
        tail -40 "build-fuzz/$fuzzer.log" >&2
        exit "$status"
    fi
done
