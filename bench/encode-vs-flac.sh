#!/usr/bin/env bash
# Encoding speed of `auralith encode` from FLAC, next to `flac -d` of the same
# file in the same run, and the size of the record against the WAVE and FLAC
# files it came from.
#
#   bench/encode-vs-flac.sh [build-folder] [seconds-of-audio]
#
# Needs the linux preset's auralith, hyperfine, flac and sox.
set -euo pipefail
build="${1:-build/linux}"
seconds="${2:-60}"
auralith="$(realpath "$build/src/cli/auralith")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Repeatable material (sox -R): pink noise at -6 dB, and plucked notes
# that decay into silence, stereo 44.1 kHz 16-bit.
sox -R -n -r 44100 -c 2 -b 16 "$work/noise.wav" synth "$seconds" pinknoise vol 0.5
sox -R -n -r 44100 -c 2 -b 16 "$work/pluck.wav" synth "$seconds" pluck 220 pluck 330 vol 0.7
sox -R -n -r 44100 -c 2 -b 16 "$work/tiny.wav" synth 0.01 pinknoise vol 0.5
for f in noise pluck tiny; do flac -s -f -o "$work/$f.flac" "$work/$f.wav"; done

echo "== $seconds s stereo 44.1 kHz 16-bit, one core each"
hyperfine --warmup 1 --runs "${RUNS:-5}" --export-csv "$work/times.csv" \
    -n "encode start-up (10 ms file)" "$auralith encode $work/tiny.flac -o $work/tiny.aur --force" \
    -n "encode noise FLAC" "$auralith encode $work/noise.flac -o $work/noise.aur --force" \
    -n "flac -d noise" "flac -d -s -f -o $work/noise.out.wav $work/noise.flac" \
    -n "encode pluck FLAC" "$auralith encode $work/pluck.flac -o $work/pluck.aur --force" \
    -n "flac -d pluck" "flac -d -s -f -o $work/pluck.out.wav $work/pluck.flac"

echo
# On a shared machine the wall time mostly measures the others; CPU time
# (user + system, one thread) is what one core spends.
echo "== Times real time: by wall time, and by CPU time (encode rows also without the start-up)"
awk -F, -v s="$seconds" '
    NR == 2 { startup = $5 + $6; next }
    NR > 2 {
        cpu = $5 + $6
        if ($1 ~ /^encode/) printf "%-24s wall %7.1fx  cpu %7.1fx  cpu without start-up %7.1fx\n", $1, s / $2, s / cpu, s / (cpu - startup)
        else printf "%-24s wall %7.1fx  cpu %7.1fx\n", $1, s / $2, s / cpu
    }' "$work/times.csv"

echo
echo "== Sizes (bytes)"
for f in noise pluck; do
    printf "%-6s WAVE %10d  FLAC %10d  record %10d  (record/WAVE %.2f)\n" "$f" \
        "$(stat -c %s "$work/$f.wav")" "$(stat -c %s "$work/$f.flac")" "$(stat -c %s "$work/$f.aur")" \
        "$(echo "$(stat -c %s "$work/$f.aur") / $(stat -c %s "$work/$f.wav")" | bc -l)"
    "$auralith" info "$work/$f.aur" --segments | grep -E "segments|points per second:"
done
