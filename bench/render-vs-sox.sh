#!/usr/bin/env bash
# The playback lattice against sox's very-high-quality resampler on the same
# stereo 44.1 kHz WAVE input, in one run:
#  1. pull throughput (curves evaluated at 44.1, 96 and 192 kHz, chunks
#     prepared beforehand, one core) from lattice_bench, in x real time;
#  2. whole-file wall time of `auralith render` (decode, chunk preparation,
#     lattice, conversion, WAVE writing) beside `sox in.wav -r RATE out.wav
#     rate -v`, through hyperfine, also in x real time.
#
#   bench/render-vs-sox.sh [build-folder] [seconds-of-audio]
#
# Needs the linux preset's lattice_bench and auralith, hyperfine and sox.
set -euo pipefail
build="${1:-build/linux}"
seconds="${2:-60}"
bench="$(realpath "$build/bench/lattice_bench")"
auralith="$(realpath "$build/src/cli/auralith")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Repeatable pink noise (sox -R), 24-bit so neither side starts from coarse codes.
sox -R -n -r 44100 -c 2 -b 24 "$work/in.wav" synth "$seconds" pinknoise vol 0.5

echo "== lattice pull, first 5 s of the input (x_real_time = seconds of output per second)"
"$bench" --input "$work/in.wav" --benchmark_filter=BM_Pull --benchmark_counters_tabular=true

echo
echo "== whole file ($seconds s of audio), 32-bit float output as sox writes for -e floating-point"
hyperfine --warmup 1 --runs 5 --export-csv "$work/times.csv" \
    -n "auralith render 96k" "$auralith render $work/in.wav -o $work/a96.wav --rate 96000" \
    -n "sox rate -v 96k" "sox $work/in.wav -r 96000 -e floating-point -b 32 $work/s96.wav rate -v" \
    -n "auralith render 192k" "$auralith render $work/in.wav -o $work/a192.wav --rate 192000" \
    -n "sox rate -v 192k" "sox $work/in.wav -r 192000 -e floating-point -b 32 $work/s192.wav rate -v" \
    -n "auralith render 96k pcm24" "$auralith render $work/in.wav -o $work/p96.wav --rate 96000 --format pcm24" \
    -n "sox rate -v 96k 24-bit" "sox $work/in.wav -r 96000 $work/t96.wav rate -v"

echo
echo "== x real time (mean wall time)"
awk -F, -v s="$seconds" 'NR > 1 { printf "%-28s %8.1f\n", $1, s / $2 }' "$work/times.csv"
