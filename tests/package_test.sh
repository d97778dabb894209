#!/bin/sh
# The man pages read without warnings, and the Debian package that cpack
# builds depends on the runtime packages and, unpacked into a scratch root,
# gives a working tavrin -h and man tavrin.
# Usage: package_test.sh SOURCE_DIR BUILD_DIR
set -eu
source_dir=$1 build_dir=$2
scratch=$(mktemp -d /tmp/tavrin-package.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

for page in "$source_dir/docs/tavrin.1" "$source_dir/docs/tavrin-ctl.1" "$source_dir/docs/tavrin.conf.5"; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page: $warnings"
    lexgrog "$page" >/dev/null || fail "$page: no NAME section lexgrog can read"
done

(cd "$build_dir" && cpack -G DEB -B "$scratch/out" >/dev/null) || fail "cpack"
deb=$(ls "$scratch"/out/tavrin_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libfuse2 libinih1 libxxhash0 libre2-9 fuse; do
    echo "$depends" | grep -qw "$needed" || fail "Depends lacks $needed: $depends"
done

dpkg -x "$deb" "$scratch/root"
for file in usr/bin/tavrin usr/bin/tavrin-run usr/bin/tavrin-ctl usr/share/man/man1/tavrin.1 \
            usr/share/man/man1/tavrin-ctl.1 \
            usr/share/man/man5/tavrin.conf.5 usr/share/doc/tavrin/examples/flaky-disk.conf; do
    [ -e "$scratch/root/$file" ] || fail "the package lacks /$file"
done
[ -x "$scratch/root/usr/share/doc/tavrin/examples/sqlite/workload.sh" ] \
    || fail "the installed example scripts lost their run bit"
status=0
"$scratch/root/usr/bin/tavrin" -h 2>"$scratch/help" || status=$?
[ "$status" -eq 1 ] || fail "tavrin -h exited with $status"
head -n 1 "$scratch/help" | grep -qx "usage: tavrin mountpoint \[options\]" || fail "tavrin -h: $(cat "$scratch/help")"
MANPATH="$scratch/root/usr/share/man" man -P cat tavrin 2>/dev/null | grep -q "fault-injection filesystem" \
    || fail "man tavrin does not show the installed page"
MANPATH="$scratch/root/usr/share/man" man -P cat 5 tavrin.conf 2>/dev/null | grep -q "errinj_errno" \
    || fail "man 5 tavrin.conf does not show the installed page"
echo "1 passed, 0 failed"
