#!/usr/bin/env bash
# The main job: builds the player if needed and shows a record's information
# (a generated demo record when no file is given).
#   tools/run.sh [FILE]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/tools/bootstrap"
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/ccache}"
cmake --preset linux -S "$root" >/dev/null
cmake --build "$root/build/linux" --target auralith -j "$(nproc)" >/dev/null
auralith="$root/build/linux/src/cli/auralith"
file="${1:-}"
if [ -z "$file" ]; then
  file="$root/build/demo/demo.aur"
  mkdir -p "$(dirname "$file")"
  "$auralith" demo-record "$file" >/dev/null
fi
exec "$auralith" info "$file"
