#!/usr/bin/env bash
# The main job: builds the player if needed and plays FILE (a generated demo
# record when none is given) on the default endpoint, or on the virtual output
# in real time when there is no sound card.
#   tools/run.sh [FILE] [auralith play options]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/tools/bootstrap"
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/ccache}"
cmake --preset linux -S "$root" >/dev/null
cmake --build "$root/build/linux" --target auralith -j "$(nproc)" >/dev/null
exec "$root/build/linux/src/cli/auralith" play "$@"
