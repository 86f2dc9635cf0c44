#!/bin/sh
# Encodes synthetic clips in every bitrate mode and prints one row per mode and
# content: the target, the rate achieved, the VBV underflows of a leaky bucket
# replayed from the coded access-unit sizes, and PSNR-Y.
#
# The bucket starts at 0.9 of the buffer; per access unit, in coding order,
# its size is taken out (an underflow when it does not fit) and maxrate /
# frame rate is put back, up to the buffer size. CBR is replayed with its
# window (--bufsize pictures, default 8) of maxrate as the buffer.
#
# usage: bench/rate_control_table.sh
#   the encoder is build/torvenc unless TORVENC names another binary;
#   SIZE (default 640x360), FRAMES (default 100), CONTENT (default
#   "testsrc2 mandelbrot noisy"), RATE (kbit/s, default 1500), VBV (maxrate
#   and buffer of the VBV rows in kbit, default 600) and EXTRA (options added
#   to every encode) adjust the run.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
enc=${TORVENC:-$here/build/torvenc}
size=${SIZE:-640x360}
frames=${FRAMES:-100}
contents=${CONTENT:-"testsrc2 mandelbrot noisy"}
rate=${RATE:-1500}
vbv=${VBV:-600}
extra=${EXTRA:-}
fps=25
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

clip() {
    case "$1" in
    testsrc2) src="testsrc2=size=$size:rate=$fps" ;;
    mandelbrot) src="mandelbrot=size=$size:rate=$fps" ;;
    noisy) src="testsrc2=size=$size:rate=$fps,noise=alls=24:allf=t" ;;
    *) echo "unknown content $1" >&2; exit 2 ;;
    esac
    ffmpeg -v error -nostdin -y -f lavfi -i "$src" -frames:v "$frames" -pix_fmt yuv420p "$work/$1.y4m"
}

# Access-unit sizes in bytes, in coding order.
au_sizes() {
    ffprobe -v error -show_entries packet=size -of csv=p=0 "$1"
}

# prints: kbit/s underflows (underflows "-" when bufsize is 0)
replay() {
    au_sizes "$1" | awk -v fps="$fps" -v maxrate="$2" -v bufsize="$3" '
        BEGIN { size = bufsize * 1000; fill = 0.9 * size; refill = maxrate * 1000 / fps; under = 0 }
        { bits += $1 * 8; n++
          if (size > 0) {
              fill -= $1 * 8
              if (fill < 0) { under++; fill = 0 }
              fill += refill; if (fill > size) fill = size
          } }
        END { printf "%.1f %s\n", (n ? bits / (n / fps) / 1000 : 0), (size > 0 ? under : "-") }'
}

# row CONTENT MODE TARGET MAXRATE BUFSIZE -- encoder options
row() {
    content=$1 mode=$2 target=$3 maxrate=$4 bufsize=$5
    shift 6
    # shellcheck disable=SC2086
    "$enc" -y $extra "$@" "$work/$content.y4m" "$work/out.hevc" > "$work/enc.log" 2>&1 ||
        { echo "encode failed: $mode $content" >&2; cat "$work/enc.log" >&2; exit 1; }
    psnr=$(sed -n 's/^average: *\([0-9.inf]*\).*/\1/p' "$work/enc.log" | tail -n 1)
    set -- $(replay "$work/out.hevc" "$maxrate" "$bufsize")
    printf "%-9s %-10s %8s %10s %10s %9s\n" "$mode" "$content" "$target" "$1" "$2" "${psnr:--}"
}

printf "%-9s %-10s %8s %10s %10s %9s\n" mode content target kbit/s underflow PSNR-Y
for c in $contents; do
    clip "$c"
    row "$c" cbr "$rate" "$rate" "$((8 * rate / fps))" -- -b "$rate" --maxrate "$rate" --minrate "$rate"
    row "$c" abr "$rate" 0 0 -- --abr -b "$rate"
    row "$c" crf+vbv "$vbv" "$vbv" "$vbv" -- --crf 20 --vbv-maxrate "$vbv" --vbv-bufsize "$vbv"
    row "$c" abr+vbv "$rate" "$vbv" "$vbv" -- --abr -b "$rate" --vbv-maxrate "$vbv" --vbv-bufsize "$vbv"
    # shellcheck disable=SC2086
    "$enc" -y $extra --pass 1 --stats-file "$work/pass.log" -b "$rate" "$work/$c.y4m" "$work/out.hevc" \
        > "$work/enc.log" 2>&1 || { echo "pass 1 failed: $c" >&2; cat "$work/enc.log" >&2; exit 1; }
    row "$c" two-pass "$rate" 0 0 -- --pass 2 --stats-file "$work/pass.log" -b "$rate"
done
