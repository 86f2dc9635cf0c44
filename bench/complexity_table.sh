#!/bin/sh
# Encodes one clip at every complexity level and prints one row per level:
# encoding speed (frames per second), bitrate (kbit/s), PSNR of Y, U and V
# measured on what ffmpeg decodes from the stream against the source, and the
# encoder's peak resident memory (MiB, from /usr/bin/time).
#
# usage: bench/complexity_table.sh INPUT [WxH] [-- encoder options...]
#   INPUT  a .y4m file, or raw YUV 4:2:0 with its size given as WxH
#   the encoder is build/torvenc unless TORVENC names another binary;
#   LEVELS (default "0 1 2 3 4 5 6 7"), FPS (raw input, default 25) and
#   FRAMES (default: all) adjust the run.
set -eu

input=${1:?usage: complexity_table.sh INPUT [WxH] [-- encoder options]}
shift
size=""
if [ $# -gt 0 ] && [ "$1" != "--" ]; then size=$1; shift; fi
[ $# -gt 0 ] && [ "$1" = "--" ] && shift
here=$(cd "$(dirname "$0")/.." && pwd)
enc=${TORVENC:-$here/build/torvenc}
levels=${LEVELS:-"0 1 2 3 4 5 6 7"}
fps=${FPS:-25}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

case "$input" in
*.y4m)
    header=$(head -c 200 "$input" | head -n 1)
    w=$(echo "$header" | tr ' ' '\n' | sed -n 's/^W//p')
    h=$(echo "$header" | tr ' ' '\n' | sed -n 's/^H//p')
    rate=$(echo "$header" | tr ' ' '\n' | sed -n 's/^F//p')
    fps=$(echo "$rate" | awk -F: '{ printf "%.6f", $1 / $2 }')
    size_args=""
    ;;
*)
    [ -n "$size" ] || { echo "raw input needs WxH" >&2; exit 2; }
    w=${size%x*}
    h=${size#*x}
    size_args="-s $size -r $fps"
    ;;
esac
frames_args=""
[ -n "${FRAMES:-}" ] && frames_args="-n $FRAMES"

# The source as raw YUV for the PSNR comparison.
ffmpeg -v error -nostdin -y $( [ -z "$size_args" ] || echo "-f rawvideo -pix_fmt yuv420p -s ${w}x${h}" ) \
    -i "$input" $( [ -n "${FRAMES:-}" ] && echo "-frames:v $FRAMES" ) -f rawvideo -pix_fmt yuv420p "$work/src.yuv"
frames=$(( $(stat -c %s "$work/src.yuv") / (w * h * 3 / 2) ))

printf "%-10s %10s %12s %9s %9s %9s %8s\n" complexity fps kbit/s PSNR-Y PSNR-U PSNR-V MiB
for c in $levels; do
    start=$(date +%s.%N)
    # shellcheck disable=SC2086
    /usr/bin/time -f %M -o "$work/peak" \
        "$enc" $size_args $frames_args -c "$c" "$@" "$input" "$work/out.hevc" > "$work/enc.log" 2>&1
    end=$(date +%s.%N)
    ffmpeg -v error -nostdin -y -i "$work/out.hevc" -f rawvideo -pix_fmt yuv420p "$work/dec.yuv"
    psnr=$(ffmpeg -nostdin -hide_banner -f rawvideo -pix_fmt yuv420p -s "${w}x${h}" -i "$work/dec.yuv" \
        -f rawvideo -pix_fmt yuv420p -s "${w}x${h}" -i "$work/src.yuv" -lavfi psnr -f null - 2>&1 |
        sed -n 's/.*PSNR y:\([0-9.inf]*\) u:\([0-9.inf]*\) v:\([0-9.inf]*\).*/\1 \2 \3/p' | tail -n 1)
    bytes=$(stat -c %s "$work/out.hevc")
    peak=$(tail -n 1 "$work/peak")
    echo "$c $start $end $bytes $frames $fps $peak $psnr" | awk '{
        t = $3 - $2; if (t <= 0) t = 1e-9;
        printf "%-10s %10.2f %12.1f %9s %9s %9s %8.1f\n", $1, $5 / t, $4 * 8 / ($5 / $6) / 1000, $8, $9, $10, $7 / 1024 }'
done
