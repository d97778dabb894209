#!/bin/sh
# Installs every Debian package that building, testing and running tavrin needs.
set -eu
packages="cmake g++ make pkg-config libfuse-dev libinih-dev fuse googletest libgtest-dev clang libclang-rt-14-dev man-db groff-base dpkg-dev libxxhash-dev libre2-dev nlohmann-json3-dev jq sqlite3 etcd-server etcd-client"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    # Another apt or dpkg run (an unattended upgrade on a fresh machine) holds
    # the lock for a while: wait for it, up to ten minutes, then fail.
    wait_opts="-o DPkg::Lock::Timeout=600"
    tries=0
    until apt-get $wait_opts update -qq 2>/tmp/tavrin-apt.err; do
        tries=$((tries + 1))
        if ! grep -q "lock" /tmp/tavrin-apt.err || [ "$tries" -ge 60 ]; then
            cat /tmp/tavrin-apt.err >&2
            rm -f /tmp/tavrin-apt.err
            exit 1
        fi
        echo "install-deps: another apt or dpkg run holds the lock; waiting" >&2
        sleep 10
    done
    rm -f /tmp/tavrin-apt.err
    apt-get $wait_opts install -y -qq --no-install-recommends $missing
fi
