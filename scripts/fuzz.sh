#!/bin/sh
# Builds the rule-file fuzzer with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer and runs it from the seed corpus for the given
# number of seconds (default 30). New inputs it finds go to build-fuzz/corpus.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-30}
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DTAVRIN_FUZZ=ON \
    -DTAVRIN_SANITIZE=address,undefined -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target rule_file_fuzzer
mkdir -p build-fuzz/corpus
build-fuzz/rule_file_fuzzer -close_fd_mask=3 -max_total_time="$seconds" -max_len=65536 \
    -timeout=10 -rss_limit_mb=2048 -dict=tests/fuzz/rules.dict \
    build-fuzz/corpus tests/data examples
