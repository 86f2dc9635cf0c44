#!/usr/bin/env bash
# Installs the build tools, the two reference decoders, the wallpaper
# photographs that the natural test clips are made from and x265 for the bench
# tables, builds torvenc in Release and encodes a short generated sample clip.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends \
  g++ cmake make libgtest-dev ffmpeg libde265-examples clang libclang-rt-14-dev python3 \
  plasma-workspace-wallpapers gnome-backgrounds x265
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTV_WERROR=ON
cmake --build build -j"$(nproc)"
bash scripts/sample.sh
