#!/usr/bin/env bash
# The main job: builds the player if needed and plays FILE (a generated demo
# record when none is given) on the default endpoint, or on the virtual output
# in real time when there is no sound card.
#   tools/run.sh [FILE] [auralith play options]
# The first run installs packages and builds (a few minutes on two cores) and
# says so; later runs are quiet unless something needs rebuilding.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/tools/bootstrap"
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/ccache}"
build="$root/build/linux"
say() { printf 'run.sh: %s\n' "$*" >&2; }

if [ ! -f "$build/build.ninja" ]; then
  say "configuring the build in build/linux (first run)"
  cmake --preset linux -S "$root" >/dev/null
fi
# ninja -n lists the steps without running them: nothing listed, nothing to say.
steps=$(ninja -C "$build" -n auralith 2>/dev/null | grep -c '^\[' || true)
if [ "${steps:-0}" -gt 0 ]; then
  if [ -x "$build/src/cli/auralith" ]; then
    say "rebuilding auralith ($steps steps)"
  else
    say "building auralith ($steps steps; the first build takes about 3 minutes on two cores)"
  fi
  cmake --build "$build" --target auralith -j "$(nproc)" >&2
  say "build done"
fi
exec "$build/src/cli/auralith" play "$@"
