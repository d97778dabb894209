#!/bin/sh
# Installs what is needed, builds tavrin and runs every test. Run as root: the
# end-to-end tests mount FUSE filesystems.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"
cd "$build" && ctest --output-on-failure --timeout 300 -j 2
