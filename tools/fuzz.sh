#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each (default 60) on seeds made by the
# project's own writers, and prints each target's last status line.
#   tools/fuzz.sh [SECONDS] [TARGET ...]     e.g. tools/fuzz.sh 600 record formats
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
jobs="${AL_JOBS:-$(nproc)}"
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/ccache}"

all=(record wave dsf formats audio_config profile aur_dsd dsd_packing m4a)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all[@]}")

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs" --target fuzzers
if [ ! -x build/linux/src/cli/auralith ]; then
  cmake --preset linux >/dev/null
  cmake --build --preset linux -j "$jobs" --target auralith
fi
cli=build/linux/src/cli/auralith

corpus="build/fuzz/corpus"
for target in "${all[@]}"; do mkdir -p "$corpus/$target"; done
# Seeds from the writers the player itself uses.
[ -s "$corpus/record/seed.aur" ] ||
  "$cli" demo-record "$corpus/record/seed.aur" --seconds 0.05 >/dev/null
[ -s "$corpus/wave/seed.wav" ] ||
  "$cli" render "$corpus/record/seed.aur" -o "$corpus/wave/seed.wav" --format pcm16 --seconds 0.01 \
    >/dev/null 2>&1
[ -s "$corpus/formats/seed.cfg" ] ||
  printf '1311768467463790320 2 48000 32 32 0 0\n42 1 44100 24 24 2 0\n' >"$corpus/formats/seed.cfg"
if [ ! -s "$corpus/audio_config/seed.ini" ]; then
  printf '[Audio]\nbuffer_ms=5\nadaptive_buffer=true\nbuffer_safety_margin_ms=1\n' >"$corpus/audio_config/seed.ini"
  printf 'buffer_step_ms=1\nbuffer_max_ms=20\nbuffer_near_miss_count=2\n[Visual]\nwaveform_color=3\n' \
    >>"$corpus/audio_config/seed.ini"
fi
[ -s "$corpus/dsf/seed.dsf" ] ||
  "$cli" render "$corpus/record/seed.aur" -o "$corpus/dsf/seed.dsf" --dsd 64 >/dev/null 2>&1
[ -s "$corpus/aur_dsd/seed.aur" ] || cp "$corpus/record/seed.aur" "$corpus/aur_dsd/seed.aur"
[ -s "$corpus/dsd_packing/seed.bin" ] || printf '\x00\x12\x34\x56\x78\x69\x69\x69\x69\x01\x96' >"$corpus/dsd_packing/seed.bin"
# The M4A target reads its decoder's answers from the input: zeros are a
# decoder that succeeds at every step.
[ -s "$corpus/m4a/seed.bin" ] || head -c 512 /dev/zero >"$corpus/m4a/seed.bin"
[ -s "$corpus/profile/seed.ini" ] || cp "$corpus/audio_config/seed.ini" "$corpus/profile/seed.ini"

for target in "${targets[@]}"; do
  printf '%s: ' "$target"
  build/fuzz/fuzz/${target}_fuzzer -max_total_time="$seconds" -max_len=65536 -print_final_stats=1 \
    "$corpus/$target" 2>"build/fuzz/${target}.log" >/dev/null || {
    echo "FAILED (see build/fuzz/${target}.log)"; tail -n 30 "build/fuzz/${target}.log"; exit 1; }
  grep -E '^#[0-9]+.*DONE|stat::number_of_executed_units|stat::average_exec_per_sec' \
    "build/fuzz/${target}.log" | tr '\n' ' '
  echo
done
