#!/usr/bin/env bash
# Every `auralith render` row of the speed table beside its reference tool,
# paired in one run (each pair measured back to back by hyperfine, so both
# sides see the same machine load):
#  1. a stereo DSD64 DSF to its 88.2 kHz surrogate as float32, beside
#     `ffmpeg -i in.dsf -ar 88200 -c:a pcm_f32le out.wav`;
#  2. a stereo 16-bit FLAC at its own rate to pcm16, beside `flac -d`;
#  3. the same from WAVE, beside `sox in.wav out.wav`;
#  4. the WAVE to 192 kHz pcm24, beside `sox in.wav -b 24 out.wav rate -v 192k`;
#  5. the render pass at 5 ms buffers from output_bench (192 kHz stereo float
#     from a record on the virtual output in real time), after stall_bench
#     has measured for 20 s how late the machine wakes a real-time thread
#     that sleeps until each millisecond.
# For each pair: mean wall times, their ratio (ours over the reference's) and
# x real time per core (seconds of audio over user + system CPU seconds).
#
#   bench/render-table.sh [build-folder] [seconds-of-audio] [runs]
#
# Needs the linux preset's auralith and output_bench, hyperfine, sox, flac,
# ffmpeg and jq.
set -euo pipefail
build="${1:-build/linux}"
seconds="${2:-60}"
runs="${3:-5}"
auralith="$(realpath "$build/src/cli/auralith")"
output_bench="$(realpath "$build/bench/output_bench")"
stall_bench="$(realpath "$build/bench/stall_bench")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Repeatable pink noise (sox -R). The DSD input is made by the program's own
# modulator from a 24-bit copy, so its bits are music-like rather than random.
sox -R -n -r 44100 -c 2 -b 16 "$work/in.wav" synth "$seconds" pinknoise vol 0.5
sox -R -n -r 44100 -c 2 -b 24 "$work/in24.wav" synth "$seconds" pinknoise vol 0.5
flac -s -f -o "$work/in.flac" "$work/in.wav"
"$auralith" render "$work/in24.wav" -o "$work/in.dsf" --dsd 64 >/dev/null 2>&1

# pair NAME OURS REFERENCE: measures both, appends a line to the table.
table="$work/table.txt"
pair() {
    local name="$1" ours="$2" reference="$3"
    hyperfine --style none --warmup 1 --runs "$runs" --export-json "$work/pair.json" \
        -n ours "$ours" -n reference "$reference" >/dev/null
    jq -r --arg name "$name" --argjson s "$seconds" '
        .results as $r
        | ($r[0].mean / $r[1].mean) as $ratio
        | "\($name)|\($r[0].mean * 1000 | round) ms|\($r[1].mean * 1000 | round) ms|\($ratio * 100 | round / 100)|\($s / ($r[0].user + $r[0].system) | round)x|\($s / ($r[1].user + $r[1].system) | round)x"
    ' "$work/pair.json" >>"$table"
}

echo "== $seconds s of stereo audio, $runs runs per side, $(nproc) cores"
pair "DSF DSD64 -> 88.2 kHz float32 vs ffmpeg" \
    "$auralith render $work/in.dsf -o $work/a1.wav --format float32" \
    "ffmpeg -loglevel error -y -i $work/in.dsf -ar 88200 -c:a pcm_f32le $work/r1.wav"
pair "FLAC 16-bit -> pcm16 vs flac -d" \
    "$auralith render $work/in.flac -o $work/a2.wav --format pcm16" \
    "flac -s -d -f -o $work/r2.wav $work/in.flac"
pair "WAVE 16-bit -> pcm16 vs sox" \
    "$auralith render $work/in.wav -o $work/a3.wav --format pcm16" \
    "sox $work/in.wav $work/r3.wav"
pair "WAVE -> 192 kHz pcm24 vs sox rate -v" \
    "$auralith render $work/in.wav -o $work/a4.wav --rate 192000 --format pcm24" \
    "sox $work/in.wav -b 24 $work/r4.wav rate -v 192k"

{
    echo "row|ours (mean wall)|reference|ratio|ours x real time per core|reference x real time per core"
    cat "$table"
} | column -t -s '|'

echo
echo "== the machine: how late a real-time thread waking every millisecond is woken, 20 s"
"$stall_bench" --benchmark_counters_tabular=true 2>/dev/null | grep -E "Benchmark|SchedulingGaps"

echo
echo "== render pass at 5 ms buffers, 192 kHz stereo float from a record, $seconds s in real time"
"$output_bench" --seconds "$seconds" --benchmark_counters_tabular=true 2>/dev/null | grep -E "Benchmark|RealTime"
