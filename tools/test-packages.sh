#!/usr/bin/env bash
# Builds both packages and checks them as a user would receive them: the .deb
# unpacked into a scratch root runs `auralith --help` and `auralith info` on a
# FLAC; the zip holds exactly the expected files.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/package all
version=$(sed -n 's/^project(AuralithPlayer VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb="build/package/auralith_${version}_amd64.deb"
zip="build/package/AuralithPlayer-${version}-windows-x64.zip"
fail() { echo "test-packages: $*" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$deb" "$scratch/root"
dpkg-deb -f "$deb" Depends | grep -q 'libsndfile1' || fail "Depends does not name libsndfile1"
dpkg-deb -f "$deb" Depends | grep -q 'libasound2' || fail "Depends does not name ALSA"
dpkg-deb -f "$deb" Depends | grep -q 'libavformat' || fail "Depends does not name FFmpeg"
[ -s "$scratch/root/usr/share/man/man1/auralith.1.gz" ] || fail "no manual page"
"$scratch/root/usr/bin/auralith" --help | grep -q '^usage: auralith' || fail "--help"
sox -n -r 44100 -c 2 -b 16 "$scratch/tone.flac" synth 1.5 sine 440 >/dev/null 2>&1
info=$("$scratch/root/usr/bin/auralith" info "$scratch/tone.flac")
grep -q '44.1 kHz' <<<"$info" || fail "info of a FLAC: $info"
grep -qi 'flac' <<<"$info" || fail "info does not name FLAC: $info"
echo "deb: ok ($(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version))"

name="AuralithPlayer-${version}-windows-x64"
listing=$(unzip -Z1 "$zip" | grep -v '/$' | LC_ALL=C sort)
expected=("$name/README.txt" "$name/auralith.exe")
if ninja -C build/windows -t targets all 2>/dev/null | grep -q '^AuralithPlayer:'; then
  expected+=("$name/AuralithPlayer.exe")
fi
if find build/windows/src -maxdepth 3 -name sndfile.dll | grep -q .; then
  expected+=("$name/sndfile.dll")
  grep -q "^$name/licenses/." <<<"$listing" || fail "zip ships sndfile.dll without licence texts"
fi
for file in "${expected[@]}"; do
  grep -qx "$file" <<<"$listing" || fail "zip lacks $file"
done
unexpected=$(grep -v -x -F "$(printf '%s\n' "${expected[@]}")" <<<"$listing" | grep -v "^$name/licenses/" || true)
[ -z "$unexpected" ] || fail "zip holds unexpected files: $unexpected"
echo "zip: ok ($(wc -l <<<"$listing") files)"
