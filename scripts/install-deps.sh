#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
# As root it runs apt-get; otherwise it prints the one command that is needed.
set -eu
packages=(
  # build
  cmake ninja-build g++ pkg-config clang ccache libid3-3.8.3-dev zlib1g-dev libogg-dev libvorbis-dev
  libmp3lame-dev libavcodec-dev libavformat-dev libavutil-dev libswresample-dev libsqlite3-dev
  libxml2-dev libasound2-dev libcdio-dev libcdio-paranoia-dev libcddb2-dev qt6-base-dev libcli11-dev
  libgtest-dev libbenchmark-dev libflac-dev libopusenc-dev libopusfile-dev libebur128-dev libburn-dev
  # independent implementations the tests compare against
  ffmpeg sox lame vorbis-tools python3-mutagen xorriso genisoimage libcdio-utils cd-paranoia python3-pycdlib dumpet sqlite3 bc mpg123
  flac opus-tools loudgain time
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages; install them with:" >&2
  echo "  sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
