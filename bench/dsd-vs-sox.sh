#!/usr/bin/env bash
# Whole-track DSD preparation beside sox in one run:
#  1. the modulator kernel and the record source (peak conveyor memory) from
#     dsd_bench;
#  2. the DSD engine's whole-track preparation (20 s record and float WAVE,
#     DSD64 and DSD256) from dsd_engine_bench;
#  3. `auralith render --dsd` of a stereo 48 kHz record and of the same audio
#     as WAVE, at DSD64 and DSD256, beside `sox in.wav -r 2822400 out.wav`
#     (sox's default resampler to the DSD64 rate, as multi-bit PCM), through
#     hyperfine, in x real time of wall time, and peak resident memory.
#
#   bench/dsd-vs-sox.sh [build-folder] [seconds-of-audio]
#
# Needs the linux preset's dsd_bench, dsd_engine_bench and auralith, hyperfine, sox and GNU time.
set -euo pipefail
build="${1:-build/linux}"
seconds="${2:-60}"
bench="$(realpath "$build/bench/dsd_bench")"
engine_bench="$(realpath "$build/bench/dsd_engine_bench")"
auralith="$(realpath "$build/src/cli/auralith")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

"$auralith" demo-record "$work/in.aur" --seconds "$seconds" >/dev/null
"$auralith" render "$work/in.aur" -o "$work/in.wav" --format pcm24 >/dev/null

echo "== kernel and record source"
"$bench" --benchmark_counters_tabular=true

echo
echo "== whole-track preparation through the DSD engine"
"$engine_bench" --benchmark_filter=Preparation --benchmark_counters_tabular=true

echo
echo "== whole track ($seconds s of stereo 48 kHz)"
hyperfine --warmup 1 --runs 3 --export-csv "$work/times.csv" \
    -n "record DSD64" "$auralith render $work/in.aur -o $work/r64.dsf --dsd 64" \
    -n "WAVE DSD64" "$auralith render $work/in.wav -o $work/w64.dsf --dsd 64" \
    -n "record DSD256" "$auralith render $work/in.aur -o $work/r256.dsf --dsd 256" \
    -n "WAVE DSD256" "$auralith render $work/in.wav -o $work/w256.dsf --dsd 256" \
    -n "sox -r 2822400" "sox $work/in.wav -r 2822400 $work/s64.wav"

echo
echo "== x real time (mean wall time)"
awk -F, -v s="$seconds" 'NR > 1 { printf "%-20s %8.1f\n", $1, s / $2 }' "$work/times.csv"

echo
echo "== peak resident memory"
for m in 64 256; do
  for f in aur wav; do
    /usr/bin/time -f "$f DSD$m: %M KiB" "$auralith" render "$work/in.$f" -o "$work/m.dsf" --dsd $m >/dev/null
  done
done
