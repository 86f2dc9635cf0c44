#!/bin/sh
# Encodes one clip at every complexity level and thread count, and the same
# clip with x265 at the matching preset and the same rate settings, and prints
# one row per level and thread count with both encoders side by side:
# encoding speed (frames per second of wall time), CPU time (user plus
# system, seconds), average busy cores (CPU time / wall time), peak resident
# memory (MiB, from /usr/bin/time -v), bitrate (kbit/s) and PSNR of Y, U and V
# (measured on what ffmpeg decodes from each stream, against the source),
# then torvenc's CPU time and memory as multiples of x265's.
#
# usage: bench/complexity_table.sh INPUT [WxH] [-- encoder options...]
#   INPUT  a .y4m file, raw YUV 4:2:0 with its size given as WxH,
#          "generate" for a synthetic clip made here (ffmpeg's testsrc2 with
#          temporal noise), or "generate-natural KIND" for a natural clip
#          (tests/support/natural_clip.sh: pan2 pan6 pan16 zoom grain
#          still_grain overlay fade cut); generated clips are WxH (default
#          1920x1080) and FRAMES long (default 60)
#   the encoder options are torvenc's; the rate settings among them are
#   given to x265 as its own (--cqp -q Q: --qp Q; --crf F; --abr -b K:
#   --bitrate K; --vbv-maxrate, --vbv-bufsize, --bframes, --tune
#   zerolatency); X265_OPTS replaces that translation.
#   The encoder is build/torvenc unless TORVENC names another binary, the
#   peer /usr/bin/x265 unless X265 names another (X265=none leaves it out);
#   LEVELS (default "0 1 2 3 4 5 6 7"), THREADS (working threads, default
#   "1 8"), FPS (raw input, default 25) and FRAMES (default: all) adjust
#   the run.
# Presets beside each level: ultrafast for 0 and 1, veryfast for 2 and 3,
# medium for 4 and 5, slow for 6 and 7. torvenc's -t T is x265's --pools T
# (with --frame-threads 1 for one thread, else x265's own choice).
# Example, the 1080p table of the speed work:
#   bench/complexity_table.sh generate-natural pan6 1920x1080 -- --cqp -q 32
set -eu

input=${1:?usage: complexity_table.sh INPUT [WxH] [-- encoder options]}
shift
kind=""
if [ "$input" = generate-natural ]; then kind=${1:?generate-natural needs a KIND}; shift; fi
size=""
if [ $# -gt 0 ] && [ "$1" != "--" ]; then size=$1; shift; fi
[ $# -gt 0 ] && [ "$1" = "--" ] && shift
here=$(cd "$(dirname "$0")/.." && pwd)
enc=${TORVENC:-$here/build/torvenc}
peer=${X265:-/usr/bin/x265}
levels=${LEVELS:-"0 1 2 3 4 5 6 7"}
threads=${THREADS:-"1 8"}
fps=${FPS:-25}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

case "$input" in
generate)
    size=${size:-1920x1080}
    FRAMES=${FRAMES:-60}
    ffmpeg -v error -nostdin -y -f lavfi -i "testsrc2=s=$size:r=$fps,noise=alls=6:allf=t" \
        -frames:v "$FRAMES" -pix_fmt yuv420p "$work/clip.y4m"
    input=$work/clip.y4m
    ;;
generate-natural)
    size=${size:-1920x1080}
    FRAMES=${FRAMES:-60}
    sh "$here/tests/support/natural_clip.sh" "$kind" "$size" "$FRAMES" "$work/clip.y4m" "$fps"
    input=$work/clip.y4m
    ;;
esac

case "$input" in
*.y4m)
    header=$(head -c 200 "$input" | head -n 1)
    w=$(echo "$header" | tr ' ' '\n' | sed -n 's/^W//p')
    h=$(echo "$header" | tr ' ' '\n' | sed -n 's/^H//p')
    rate=$(echo "$header" | tr ' ' '\n' | sed -n 's/^F//p')
    fps=$(echo "$rate" | awk -F: '{ printf "%.6f", $1 / $2 }')
    size_args=""
    peer_size_args=""
    ;;
*)
    [ -n "$size" ] || { echo "raw input needs WxH" >&2; exit 2; }
    w=${size%x*}
    h=${size#*x}
    size_args="-s $size -r $fps"
    peer_size_args="--input-res $size --fps $fps --input-csp i420"
    ;;
esac
frames_args=""
peer_frames_args=""
[ -n "${FRAMES:-}" ] && frames_args="-n $FRAMES" && peer_frames_args="--frames $FRAMES"

# x265's rate settings from torvenc's options.
peer_rate_opts() {
    out=""
    while [ $# -gt 0 ]; do
        case "$1" in
        --cqp | --abr) ;;
        -q | --qp) out="$out --qp $2"; shift ;;
        --crf) out="$out --crf $2"; shift ;;
        -b | --bitrate) out="$out --bitrate $2"; shift ;;
        --vbv-maxrate | --vbv-bufsize | --bframes) out="$out $1 $2"; shift ;;
        --tune) [ "$2" = zerolatency ] && out="$out --tune zerolatency"; shift ;;
        *) echo "complexity_table.sh: no x265 form of '$1': give X265_OPTS" >&2; exit 2 ;;
        esac
        shift
    done
    echo "$out"
}
peer_opts=${X265_OPTS-$(peer_rate_opts "$@")}

peer_preset() {
    case "$1" in
    0 | 1) echo ultrafast ;;
    2 | 3) echo veryfast ;;
    4 | 5) echo medium ;;
    *) echo slow ;;
    esac
}

# The source as raw YUV for the PSNR comparison.
ffmpeg -v error -nostdin -y $( [ -z "$size_args" ] || echo "-f rawvideo -pix_fmt yuv420p -s ${w}x${h}" ) \
    -i "$input" $( [ -n "${FRAMES:-}" ] && echo "-frames:v $FRAMES" ) -f rawvideo -pix_fmt yuv420p "$work/src.yuv"
frames=$(( $(stat -c %s "$work/src.yuv") / (w * h * 3 / 2) ))

# measure STREAM COMMAND... runs the encoder command under /usr/bin/time and
# prints: fps CPU-s cores MiB kbit/s Y/U/V
measure() {
    stream=$1
    shift
    "$@" > "$work/enc.log" 2>&1 || { echo "encode failed: $*" >&2; cat "$work/enc.log" >&2; exit 1; }
    ffmpeg -v error -nostdin -y -i "$stream" -f rawvideo -pix_fmt yuv420p "$work/dec.yuv"
    psnr=$(ffmpeg -nostdin -hide_banner -f rawvideo -pix_fmt yuv420p -s "${w}x${h}" -i "$work/dec.yuv" \
        -f rawvideo -pix_fmt yuv420p -s "${w}x${h}" -i "$work/src.yuv" -lavfi psnr -f null - 2>&1 |
        sed -n 's/.*PSNR y:\([0-9.inf]*\) u:\([0-9.inf]*\) v:\([0-9.inf]*\).*/\1 \2 \3/p' | tail -n 1)
    bytes=$(stat -c %s "$stream")
    # wall clock as [h:]m:s, user and system seconds, peak resident KiB
    times=$(awk -F': ' '
        /Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; wall = s }
        /User time/ { user = $2 } /System time/ { sys = $2 } /Maximum resident/ { rss = $2 }
        END { print wall, user + sys, rss }' "$work/time")
    echo "$times $bytes $frames $fps $psnr" | awk '{
        wall = $1 > 0 ? $1 : 1e-9;
        printf "%.2f %.2f %.2f %.1f %.1f %.2f/%.2f/%.2f\n",
            $5 / wall, $2, $2 / wall, $3 / 1024, $4 * 8 / ($5 / $6) / 1000, $7, $8, $9 }'
}

echo "${w}x${h}, $frames frames, torvenc options: $*; x265 options:${peer_opts}"
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
row_format="%-4s %3s | %7s %8s %5s %7s %9s %17s | %-9s %7s %8s %5s %7s %9s %17s | %5s %5s\n"
# shellcheck disable=SC2059
printf "$row_format" c t fps CPU-s cores MiB kbit/s PSNR-Y/U/V x265 fps CPU-s cores MiB kbit/s PSNR-Y/U/V CPUx MiBx
for c in $levels; do
    for t in $threads; do
        # shellcheck disable=SC2086
        ours=$(measure "$work/out.hevc" /usr/bin/time -v -o "$work/time" \
            "$enc" $size_args $frames_args -c "$c" -t "$t" "$@" "$input" "$work/out.hevc")
        preset=-
        theirs="- - - - - -"
        if [ "$peer" != none ]; then
            preset=$(peer_preset "$c")
            frame_threads=""
            [ "$t" -eq 1 ] && frame_threads="--frame-threads 1"
            # --no-info: x265's version-and-options SEI (some 2.6 kB) is not
            # picture data and would count in its kbit/s.
            # shellcheck disable=SC2086
            theirs=$(measure "$work/peer.hevc" /usr/bin/time -v -o "$work/time" \
                "$peer" --log-level error --no-info --preset "$preset" --pools "$t" $frame_threads \
                $peer_size_args $peer_frames_args $peer_opts --input "$input" -o "$work/peer.hevc")
        fi
        echo "$c $t $ours $preset $theirs" | awk -v fmt="$row_format" '{
            cpu = $11 > 0 ? sprintf("%.2f", $4 / $11) : "-";
            mib = $13 > 0 ? sprintf("%.2f", $6 / $13) : "-";
            printf fmt, $1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, cpu, mib }'
    done
done
