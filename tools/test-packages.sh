#!/usr/bin/env bash
# Checks the packages as a user would receive them: the .deb unpacked into a
# scratch root runs `auralith --help` and `auralith info` on a FLAC; the zip
# holds exactly the expected files.
#   tools/test-packages.sh [deb|zip|all]          builds the packages first
#   tools/test-packages.sh --no-build OUT [deb|zip]   packages the build trees
#                                                 as they stand, into OUT (ctest)
set -euo pipefail
cd "$(dirname "$0")/.."
package_args=()
out=build/package
if [ "${1:-}" = "--no-build" ]; then
  out="$2"
  package_args=(--no-build --out "$out")
  shift 2
fi
what="${1:-all}"
version=$(sed -n 's/^project(AuralithPlayer VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
fail() { echo "test-packages: $*" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

check_deb() {
  local deb="$out/auralith_${version}_amd64.deb"
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  grep -q 'libsndfile1' <<<"$depends" || fail "Depends does not name libsndfile1: $depends"
  grep -q 'libasound2' <<<"$depends" || fail "Depends does not name ALSA: $depends"
  grep -q 'libavformat' <<<"$depends" || fail "Depends does not name FFmpeg: $depends"
  dpkg-deb -x "$deb" "$scratch/root"
  local files
  files=$(cd "$scratch/root" && find . -type f | LC_ALL=C sort)
  [ "$files" = "$(printf '%s\n' ./usr/bin/auralith ./usr/share/doc/auralith/README.md \
    ./usr/share/man/man1/auralith.1.gz)" ] || fail "unexpected files in the .deb: $files"
  [ "$(stat -c %a "$scratch/root/usr/bin/auralith")" = 755 ] || fail "auralith is not executable"
  # The manual page is well-formed roff carrying the --help text.
  local manual
  manual=$(zcat "$scratch/root/usr/share/man/man1/auralith.1.gz")
  grep -q '^\.TH AURALITH 1' <<<"$manual" || fail "manual page has no title line"
  grep -q '^usage: auralith' <<<"$manual" || fail "manual page lacks the --help text"
  if command -v groff >/dev/null; then
    groff -man -Tutf8 -ww -z <<<"$manual" 2>"$scratch/groff.log" || fail "groff: $(cat "$scratch/groff.log")"
    [ ! -s "$scratch/groff.log" ] || fail "groff warns: $(cat "$scratch/groff.log")"
  fi
  # Captured first: grep -q would stop reading early and fail the pipe.
  local help
  help=$("$scratch/root/usr/bin/auralith" --help) || fail "--help exits with an error"
  grep -q '^usage: auralith' <<<"$help" || fail "--help: $help"
  # The FLAC fixture the decoder suites use (24-bit, 48 kHz).
  local info
  info=$("$scratch/root/usr/bin/auralith" info tests/decoders/fixtures/tone-24bit-48k.flac)
  grep -q '48 kHz' <<<"$info" || fail "info of a FLAC: $info"
  grep -qi 'flac' <<<"$info" || fail "info does not name FLAC: $info"
  echo "deb: ok ($(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version))"
}

check_zip() {
  local name="AuralithPlayer-${version}-windows-x64"
  local zip="$out/$name.zip"
  local listing
  listing=$(unzip -Z1 "$zip" | grep -v '/$' | LC_ALL=C sort)
  local expected=("$name/README.txt" "$name/auralith.exe")
  if find build/windows/src -maxdepth 5 -name AuralithPlayer.exe | grep -q .; then
    expected+=("$name/AuralithPlayer.exe")
  fi
  local dll
  dll=$(sed -n 's/^AL_SNDFILE_DLL:[A-Z]*=//p' build/windows/CMakeCache.txt 2>/dev/null || true)
  if [ -n "$dll" ] && [ -f "$dll" ]; then
    expected+=("$name/sndfile.dll" "$name/sndfile-versions.txt")
    # Debian's statement of every library linked into the DLL.
    local pkg
    for pkg in libsndfile flac libogg libvorbis opus mpg123 lame; do
      expected+=("$name/licenses/$pkg/copyright")
    done
    unzip -p "$zip" "$name/sndfile.dll" | cmp -s - "$dll" || fail "the zip's sndfile.dll is not the built one"
  fi
  local file
  for file in "${expected[@]}"; do
    grep -qx "$file" <<<"$listing" || fail "zip lacks $file"
  done
  local unexpected
  unexpected=$(grep -v -x -F "$(printf '%s\n' "${expected[@]}")" <<<"$listing" |
    grep -v "^$name/licenses/[a-z0-9]*/[A-Za-z.-]*$" || true)
  [ -z "$unexpected" ] || fail "zip holds unexpected files: $unexpected"
  # Windows users get CRLF line ends in the README.
  unzip -p "$zip" "$name/README.txt" | head -n 1 | grep -q $'\r$' || fail "README.txt lacks CRLF line ends"
  echo "zip: ok ($(wc -l <<<"$listing") files)"
}

case "$what" in
  deb) tools/package "${package_args[@]}" deb && check_deb ;;
  zip) tools/package "${package_args[@]}" zip && check_zip ;;
  all) tools/package "${package_args[@]}" all && check_deb && check_zip ;;
  *) fail "usage: tools/test-packages.sh [--no-build OUT] [deb|zip|all]" ;;
esac
