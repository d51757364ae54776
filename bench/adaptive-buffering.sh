#!/bin/sh
# Adaptive buffering in real time: a 60 s record played on the virtual output
# with a 5 ms endpoint buffer while the device signals late events, once
# with one 8 ms stall every 2 s and once with two stalls in a row every 2 s.
# Prints the growths the player made and the buffer it ended with.
#
# usage: bench/adaptive-buffering.sh [BUILD_DIR] [SECONDS]
set -eu
build=${1:-build/linux}
seconds=${2:-60}
auralith="$build/src/cli/auralith"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$auralith" demo-record "$work/bench.aur" --seconds "$seconds" > /dev/null

for faults in late=8ms/2s late=8ms/2sx2; do
    # No terminal: plays to the end, every status sentence on its own line.
    "$auralith" play "$work/bench.aur" --device "virtual:$faults" --buffer-ms 5 < /dev/null > "$work/out.txt" 2>&1 || true
    growths=$(grep -c '^Adaptive buffer increased to ' "$work/out.txt" || true)
    final=$(grep -o '^Adaptive buffer increased to [0-9.]* ms' "$work/out.txt" | tail -n 1 | awk '{print $5}')
    suspended=$(grep -c '^Endpoint retained ' "$work/out.txt" || true)
    echo "virtual:$faults, ${seconds} s at 5 ms: $growths growths, final buffer ${final:-5.0} ms, suspensions $suspended"
    grep -E '^(Increasing the endpoint buffer|Adaptive buffer|Endpoint retained|Audio error)' "$work/out.txt" | sed 's/^/    /'
done
