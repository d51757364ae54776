#!/usr/bin/env bash
# Plays a mixed playlist of every format on the virtual output in real time
# for MINUTES (fractions allowed: 1 = one minute), PCM and DSD, with late
# device events and seeks, and reports underruns, missing frames, buffer
# growths, memory at the start and the end, and any error (exit 1 on error).
#   bench/soak.sh MINUTES
set -euo pipefail
cd "$(dirname "$0")/.."
minutes="${1:-1}"
jobs="${AL_JOBS:-$(nproc)}"
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/ccache}"

cmake --preset linux >/dev/null
cmake --build --preset linux -j "$jobs" --target soak auralith >/dev/null
cli=build/linux/src/cli/auralith
folder=build/linux/soak
mkdir -p "$folder"

# The playlist, made once by the player's own writers and Debian's encoders.
[ -s "$folder/tone.aur" ] || "$cli" demo-record "$folder/tone.aur" --seconds 20 >/dev/null
[ -s "$folder/tone.wav" ] || "$cli" render "$folder/tone.aur" -o "$folder/tone.wav" --format pcm24 >/dev/null 2>&1
list=("$folder/tone.aur" "$folder/tone.wav")
if command -v sox >/dev/null; then
  [ -s "$folder/tone.flac" ] || sox "$folder/tone.wav" "$folder/tone.flac"
  [ -s "$folder/tone.aiff" ] || sox "$folder/tone.wav" "$folder/tone.aiff"
  list+=("$folder/tone.flac" "$folder/tone.aiff")
fi
if command -v ffmpeg >/dev/null; then
  [ -s "$folder/tone.mp3" ] ||
    ffmpeg -loglevel error -y -i "$folder/tone.wav" -c:a libmp3lame -b:a 192k "$folder/tone.mp3"
  [ -s "$folder/tone.m4a" ] ||
    ffmpeg -loglevel error -y -i "$folder/tone.wav" -c:a alac "$folder/tone.m4a"
  list+=("$folder/tone.mp3" "$folder/tone.m4a")
fi
[ -s "$folder/tone.dsf" ] || "$cli" render "$folder/tone.aur" -o "$folder/tone.dsf" --dsd 64 >/dev/null 2>&1
list+=("$folder/tone.dsf")

seconds=$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 }')
exec build/linux/bench/soak "$seconds" "${list[@]}" --dsd "$folder/tone.aur" "$folder/tone.dsf"
