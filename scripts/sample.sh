#!/usr/bin/env bash
# Encodes a short generated clip with the freshly built encoder.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build/sample
ffmpeg -v error -y -f lavfi -i testsrc2=size=352x288:rate=30 -frames:v 10 \
  -pix_fmt yuv420p -f rawvideo build/sample/sample_352x288_30fps.yuv
./build/torvenc build/sample/sample_352x288_30fps.yuv build/sample/sample.hevc
