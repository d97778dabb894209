#!/bin/sh
# Installs what is needed, builds tavrin, and mounts a copy of examples/demo
# with its rule file: a short workload meets each kind of fault, the trigger
# lines are shown, and the mount is undone whatever happens.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target tavrin tavrin-run

work=$(mktemp -d /tmp/tavrin-demo.XXXXXX)
cp -r examples/demo "$work/base"
mkdir "$work/mnt"
daemon=
finish() {
    fusermount -u "$work/mnt" 2>/dev/null || fusermount -uz "$work/mnt" 2>/dev/null || true
    if [ -n "$daemon" ]; then
        wait "$daemon" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap finish EXIT INT TERM

seed=${SEED:-20261209}
"$build/tavrin" "$work/mnt" -basedir="$work/base" -seed="$seed" -f \
    -o attr_timeout=0,entry_timeout=0,negative_timeout=0,direct_io \
    >"$work/stdout" 2>"$work/stderr" &
daemon=$!
tries=0
until grep -q " $work/mnt " /proc/self/mountinfo; do
    tries=$((tries + 1))
    if [ "$tries" -gt 200 ] || ! kill -0 "$daemon" 2>/dev/null; then
        echo "tavrin did not mount:" >&2
        cat "$work/stderr" >&2
        exit 1
    fi
    sleep 0.05
done

m=$work/mnt
echo "== reading flaky.txt five times"
echo "   (cat reads twice: the text, then the end of the file; when only the"
echo "   second read fails, cat prints the text and then its error)"
for i in 1 2 3 4 5; do
    cat "$m/flaky.txt" 2>&1 | sed 's/^/   /' || true
done
echo "== removing keep.txt, then listing it"
rm "$m/keep.txt" && echo "   rm succeeded"
ls "$m/keep.txt" | sed "s|$m|MOUNT|; s/^/   /"
echo "== fsync of plain.txt (delayed)"
start=$(date +%s%N)
dd if="$m/plain.txt" of="$m/plain.copy" conv=fsync status=none
echo "   took $(( ($(date +%s%N) - start) / 1000000 )) ms"
echo "== opening app.lock"
if sh -c "exec cat '$m/app.lock'" >/dev/null 2>&1; then
    echo "   survived"
else
    echo "   the reader was killed (status $?)"
fi

fusermount -u "$m"
wait "$daemon" && status=0 || status=$?
daemon=
echo "== tavrin's report (standard output), exit status $status"
sed "s|$work/base|BASE|g" "$work/stdout" | grep -v '^\[' | sed 's/^/   /'
echo "== repeat this run with: SEED=$seed scripts/demo.sh"
echo "== built: $(pwd)/$build/tavrin and $(pwd)/$build/tavrin-run"
echo "   (cmake --install $build puts both on the PATH, in /usr/local/bin)"
