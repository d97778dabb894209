#!/bin/bash
# One power failure across a cluster: a three-member etcd cluster on this
# machine, each member's data directory on a tavrin mount of its own with a
# control socket. A client writes keys and notes each one etcd acknowledged
# (outside the mirrors); all three mounts are cut at one instant with
# kill=mount, as a rack losing power; then the power comes back, the
# cluster restarts, and every acknowledged key is looked for.
#
#   examples/cluster/run.sh durable   etcd as it ships: nothing acknowledged is lost
#   examples/cluster/run.sh unsafe    every disk lies about fsync (a no-op rule):
#                                     the acknowledged writes go with the power
#   examples/cluster/run.sh one       only one member loses its power: the quorum
#                                     keeps every acknowledged key
#
# The last line is "acknowledged N, lost M". durable and one exit 0 when
# nothing acknowledged was lost and 1 otherwise; unsafe exits 0 and shows
# the loss. 2: used wrongly; 77: etcd is not installed; 125: the cluster
# could not be set up. TAVRIN_BUILD names the build folder (default build/).
set -euo pipefail
mode=${1:-}
case $mode in
durable | unsafe | one) ;;
*) echo "usage: examples/cluster/run.sh durable|unsafe|one" >&2; exit 2 ;;
esac
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${TAVRIN_BUILD:-$here/../../build}" && pwd)
if ! command -v etcd >/dev/null || ! command -v etcdctl >/dev/null; then
    echo "cluster: etcd is not installed (Debian: apt-get install etcd-server etcd-client)" >&2
    exit 77
fi
export ETCDCTL_API=3

work=$(mktemp -d /tmp/tavrin-cluster.XXXXXX)
declare -A daemon member
writer=
finish() {
    [ -n "$writer" ] && kill "$writer" 2>/dev/null
    for n in 1 2 3; do [ -n "${member[$n]:-}" ] && kill -9 "${member[$n]}" 2>/dev/null; done
    for n in 1 2 3; do
        [ -n "${member[$n]:-}" ] || continue
        for _ in $(seq 100); do kill -0 "${member[$n]}" 2>/dev/null || break; sleep 0.05; done
    done
    for n in 1 2 3; do
        [ -n "${daemon[$n]:-}" ] || continue
        fusermount -u "$work/mnt$n" 2>/dev/null || fusermount -uz "$work/mnt$n" 2>/dev/null || true
    done
    for n in 1 2 3; do [ -n "${daemon[$n]:-}" ] && { wait "${daemon[$n]}" 2>/dev/null || true; }; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap finish EXIT
trap 'exit 130' INT TERM

say() { echo "cluster: $*" >&2; }
give_up() { say "$*"; exit 125; }

# Ports of this run's own, so that two runs side by side do not meet.
base_port=$((20000 + ($$ % 2000) * 10))
client_url() { echo "http://127.0.0.1:$((base_port + 2 * $1))"; }
peer_url() { echo "http://127.0.0.1:$((base_port + 2 * $1 + 1))"; }
endpoints="$(client_url 1),$(client_url 2),$(client_url 3)"
cluster="n1=$(peer_url 1),n2=$(peer_url 2),n3=$(peer_url 3)"

for n in 1 2 3; do
    mkdir -p "$work/base$n" "$work/mnt$n"
    if [ "$mode" = unsafe ]; then
        printf '[errinj_noop.lying_fsync]\nop_regexp = ^fsync$\nprobability = 100\n' > "$work/base$n/tavrin.conf"
    fi
    # The kernel's caches off: after a cut a member must see what its disk
    # kept, not the names the kernel remembers.
    "$build/tavrin" "$work/mnt$n" -basedir="$work/base$n" -f -quiet -seed=$n \
        -control="$work/ctl$n" -oattr_timeout=0,entry_timeout=0,negative_timeout=0 \
        > "$work/tavrin$n.out" 2> "$work/tavrin$n.err" &
    daemon[$n]=$!
done
for n in 1 2 3; do
    for _ in $(seq 100); do grep -q " $work/mnt$n " /proc/self/mountinfo && break; sleep 0.1; done
    grep -q " $work/mnt$n " /proc/self/mountinfo || give_up "tavrin $n did not mount: $(cat "$work/tavrin$n.err")"
done

start_member() {
    etcd --name "n$1" --data-dir "$work/mnt$1/data" \
        --listen-client-urls "$(client_url "$1")" --advertise-client-urls "$(client_url "$1")" \
        --listen-peer-urls "$(peer_url "$1")" --initial-advertise-peer-urls "$(peer_url "$1")" \
        --initial-cluster "$cluster" --initial-cluster-state new \
        --initial-cluster-token "tavrin-$$" >> "$work/etcd$1.log" 2>&1 &
    member[$1]=$!
    disown "${member[$1]}"  # its death by the cut is no news
}

# Healthy: every member answers.
wait_healthy() {
    local deadline=$((SECONDS + 30))
    while [ "$SECONDS" -lt "$deadline" ]; do
        etcdctl --endpoints="$endpoints" --command-timeout=1s endpoint health >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

for n in 1 2 3; do start_member $n; done
wait_healthy || give_up "the cluster did not come up: $(tail -3 "$work/etcd1.log")"
# The members' data directories, synced once before the writes begin, as a
# node's disk holds its data directory before a cluster starts.
for n in 1 2 3; do "$build/tavrin-ctl" "$work/ctl$n" sync >/dev/null; done

# The client: each key etcd acknowledged is noted, outside the mirrors.
: > "$work/acked"
(
    i=0
    while :; do
        i=$((i + 1))
        etcdctl --endpoints="$endpoints" --command-timeout=2s put "key$i" "value$i" >/dev/null 2>&1 &&
            echo "key$i" >> "$work/acked"
    done
) &
writer=$!
for _ in $(seq 100); do [ "$(wc -l < "$work/acked")" -ge 20 ] && break; sleep 0.1; done

if [ "$mode" = one ]; then
    cut=$("$build/tavrin-ctl" "$work/ctl1" cut kill=mount)
    cut_members=(1)
else
    cut=$("$build/tavrin-ctl" -all "$work/ctl1" "$work/ctl2" "$work/ctl3" -- cut kill=mount) ||
        give_up "the cut failed: $cut"
    cut_members=(1 2 3)
fi
kill "$writer" 2>/dev/null; wait "$writer" 2>/dev/null || true
writer=
say "cut: $cut"
for n in "${cut_members[@]}"; do
    for _ in $(seq 200); do kill -0 "${member[$n]}" 2>/dev/null || break; sleep 0.05; done
    member[$n]=
    "$build/tavrin-ctl" "$work/ctl$n" power-on >/dev/null
done
for n in "${cut_members[@]}"; do start_member "$n"; done

acknowledged=$(wc -l < "$work/acked")
if wait_healthy; then
    etcdctl --endpoints="$endpoints" get key --prefix --keys-only 2>/dev/null | grep . | sort > "$work/kept" || true
else
    say "the cluster did not come back after the cut: $(tail -2 "$work/etcd1.log" | cut -c1-300)"
    : > "$work/kept"
fi
sort "$work/acked" > "$work/acked.sorted"
lost=$(comm -23 "$work/acked.sorted" "$work/kept" | wc -l)
if [ "$lost" -gt 0 ]; then
    say "lost: $(comm -23 "$work/acked.sorted" "$work/kept" | sort -V | head -5 | tr '\n' ' ')..."
fi
echo "acknowledged $acknowledged, lost $lost"
[ "$mode" = unsafe ] || [ "$lost" -eq 0 ]
