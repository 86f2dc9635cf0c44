#!/bin/sh
# Encodes one clip at every complexity level and thread count and prints one
# row per run: encoding speed (frames per second of wall time), CPU time (user
# plus system, seconds), average busy cores (CPU time / wall time), the
# encoder's peak resident memory (MiB, from /usr/bin/time -v), bitrate (kbit/s)
# and PSNR of Y, U and V measured on what ffmpeg decodes from the stream
# against the source.
#
# usage: bench/complexity_table.sh INPUT [WxH] [-- encoder options...]
#   INPUT  a .y4m file, raw YUV 4:2:0 with its size given as WxH, or
#          "generate" for a clip made here (ffmpeg's testsrc2 with temporal
#          noise) of size WxH (default 1920x1080)
#   the encoder is build/torvenc unless TORVENC names another binary;
#   LEVELS (default "0 1 2 3 4 5 6 7"), THREADS (working threads, default
#   "1 8"), FPS (raw input, default 25) and FRAMES (default: all; 60 for a
#   generated clip) adjust the run.
# Example, the 1080p table of the speed and memory work:
#   bench/complexity_table.sh generate 1920x1080 -- --cqp -q 32
set -eu

input=${1:?usage: complexity_table.sh INPUT [WxH] [-- encoder options]}
shift
size=""
if [ $# -gt 0 ] && [ "$1" != "--" ]; then size=$1; shift; fi
[ $# -gt 0 ] && [ "$1" = "--" ] && shift
here=$(cd "$(dirname "$0")/.." && pwd)
enc=${TORVENC:-$here/build/torvenc}
levels=${LEVELS:-"0 1 2 3 4 5 6 7"}
threads=${THREADS:-"1 8"}
fps=${FPS:-25}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ "$input" = generate ]; then
    size=${size:-1920x1080}
    FRAMES=${FRAMES:-60}
    ffmpeg -v error -nostdin -y -f lavfi -i "testsrc2=s=$size:r=$fps,noise=alls=6:allf=t" \
        -frames:v "$FRAMES" -pix_fmt yuv420p "$work/clip.y4m"
    input=$work/clip.y4m
fi

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

echo "${w}x${h}, $frames frames, options: $*"
printf "%-10s %7s %8s %8s %6s %8s %10s %8s %8s %8s\n" \
    complexity threads fps CPU-s cores MiB kbit/s PSNR-Y PSNR-U PSNR-V
for c in $levels; do
    for t in $threads; do
        # shellcheck disable=SC2086
        /usr/bin/time -v -o "$work/time" \
            "$enc" $size_args $frames_args -c "$c" -t "$t" "$@" "$input" "$work/out.hevc" > "$work/enc.log" 2>&1
        ffmpeg -v error -nostdin -y -i "$work/out.hevc" -f rawvideo -pix_fmt yuv420p "$work/dec.yuv"
        psnr=$(ffmpeg -nostdin -hide_banner -f rawvideo -pix_fmt yuv420p -s "${w}x${h}" -i "$work/dec.yuv" \
            -f rawvideo -pix_fmt yuv420p -s "${w}x${h}" -i "$work/src.yuv" -lavfi psnr -f null - 2>&1 |
            sed -n 's/.*PSNR y:\([0-9.inf]*\) u:\([0-9.inf]*\) v:\([0-9.inf]*\).*/\1 \2 \3/p' | tail -n 1)
        bytes=$(stat -c %s "$work/out.hevc")
        # wall clock as [h:]m:s, user and system seconds, peak resident KiB
        times=$(awk -F': ' '
            /Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; wall = s }
            /User time/ { user = $2 } /System time/ { sys = $2 } /Maximum resident/ { rss = $2 }
            END { print wall, user + sys, rss }' "$work/time")
        echo "$c $t $times $bytes $frames $fps $psnr" | awk '{
            wall = $3 > 0 ? $3 : 1e-9;
            printf "%-10s %7s %8.2f %8.2f %6.2f %8.1f %10.1f %8.3f %8.3f %8.3f\n",
                $1, $2, $7 / wall, $4, $4 / wall, $5 / 1024, $6 * 8 / ($7 / $8) / 1000, $9, $10, $11 }'
    done
done
