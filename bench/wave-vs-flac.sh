#!/usr/bin/env bash
# Decoding throughput of the WAVE reader and of FLAC through the run-time
# loaded libsndfile, side by side with flac -d and sox on the same files, in
# seconds of stereo 44.1 kHz audio decoded per second.
#
#   bench/wave-vs-flac.sh [build-folder] [seconds-of-audio]
#
# Needs the linux preset's wave_bench, hyperfine, flac and sox.
set -euo pipefail
build="${1:-build/linux}"
seconds="${2:-60}"
bench="$(realpath "$build/bench/wave_bench")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Repeatable pink noise (sox -R), so FLAC has something music-like to code.
sox -R -n -r 44100 -c 2 -b 16 "$work/s16.wav" synth "$seconds" pinknoise vol 0.5
sox -R -n -r 44100 -c 2 -b 24 "$work/s24.wav" synth "$seconds" pinknoise vol 0.5
flac -s -f -o "$work/s16.flac" "$work/s16.wav"
# A 10 ms file: the bench program's own start-up (it links every platform
# library, FFmpeg and ALSA included) is measured apart and taken off below.
sox -R -n -r 44100 -c 2 -b 16 "$work/tiny.wav" synth 0.01 pinknoise vol 0.5

echo "== Google Benchmark: ReadFrames over generated 30 s files (audio_s_per_s)"
"$bench" --benchmark_counters_tabular=true

echo
echo "== Whole-file decode of $seconds s of audio, same files for every tool"
hyperfine --warmup 2 --runs 10 --export-csv "$work/times.csv" \
    -n "reader start-up" "$bench --decode $work/tiny.wav" \
    -n "reader WAVE 16" "$bench --decode $work/s16.wav" \
    -n "sox WAVE 16" "sox $work/s16.wav -t null -" \
    -n "reader WAVE 24" "$bench --decode $work/s24.wav" \
    -n "sox WAVE 24" "sox $work/s24.wav -t null -" \
    -n "reader FLAC 16 (libsndfile)" "$bench --decode $work/s16.flac" \
    -n "flac -d" "flac -d -s -c $work/s16.flac > /dev/null" \
    -n "sox FLAC 16" "sox $work/s16.flac -t null -"

echo
echo "== Seconds of audio per second (mean wall time; reader rows also without its start-up)"
awk -F, -v s="$seconds" '
    NR == 2 { startup = $2; next }
    NR > 2 {
        if ($1 ~ /^reader/) printf "%-30s %10.0f %10.0f without start-up\n", $1, s / $2, s / ($2 - startup)
        else printf "%-30s %10.0f\n", $1, s / $2
    }' "$work/times.csv"
