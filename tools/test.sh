#!/usr/bin/env bash
# Every test: the native suite, the sanitizer suite, the Windows suite under
# Wine, and a short fuzzing run. Installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/bootstrap --test

jobs="${AL_JOBS:-$(nproc)}"
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/ccache}"
# Paths inside the checkout are hashed relative to it, so a clone elsewhere
# (CI checks out under another folder) reuses the same cache entries.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
export CCACHE_NOHASHDIR=1
export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-20G}"

started=$SECONDS
step() { printf '\n== %s (at %d s) ==\n' "$*" $((SECONDS - started)); }

step "Linux build and tests"
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$jobs"
ctest --preset linux -j "$jobs"

step "Soak: 60 s of mixed PCM and DSD play on the virtual output"
bench/soak.sh 1

step "Sanitizer build and tests"
cmake --preset linux-asan >/dev/null
cmake --build --preset linux-asan -j "$jobs"
ctest --preset linux-asan -j "$jobs"

step "ThreadSanitizer: the threaded playback suites"
cmake --preset linux-tsan >/dev/null
cmake --build --preset linux-tsan -j "$jobs" --target surrogate_tests placement_tests lattice_tests \
  dsd_source_tests dsd_engine_tests dsd_output_tests dsd_asio_tests output_endpoint_tests dsf_surrogate_tests wave_tests
ctest --preset linux-tsan -R "^(surrogate|placement|lattice|dsd_source|dsd_engine|dsd_output|dsd_asio|output_endpoint|dsf_surrogate|wave)_tests$"

step "Fuzzers, short runs"
tools/fuzz.sh 15

step "Windows build and tests under Wine"
tools/build-sndfile-dll  # once; later runs find it cached
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
ctest --preset windows -j "$jobs"
printf "\n== all tests passed (%d s) ==\n" $((SECONDS - started))
