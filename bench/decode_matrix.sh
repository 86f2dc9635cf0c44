#!/bin/sh
# Decoder-match matrix: encodes natural and synthetic clips at every
# complexity, with the default GOP and with --bframes 0, at several thread
# counts, and checks that ffmpeg and dec265 both decode each stream to exactly
# the encoder's reconstruction. Prints one line per failing run and a count at
# the end; exits 1 when any run fails. Too long for the test suite (several
# hundred encodes); run it after changes to the analysis, the loop filters or
# the threading.
#
# usage: bench/decode_matrix.sh
#   the encoder is build/torvenc unless TORVENC names another binary;
#   LEVELS (default "0 1 2 3 4 5 6 7"), THREADS (default "2 3 4 5 6 7 8"),
#   GOPS (default "default b0"), RATE (default "--cqp -q 30"), FRAMES
#   (default 32), CLIPS (default: the list below, KIND:WxH, KIND a natural
#   clip kind or "testsrc") and JOBS (encodes run at once, default 4) adjust
#   the run. KEEP=1 keeps the failing streams in ./decode_matrix_failures.
#   SWEEP=N replaces the matrix by N encodes with option sets drawn at random
#   (SEED, default 1) over the whole command line: complexity, threads, B
#   pictures and pyramid, tunings, keyframe periods, reference counts, scene
#   cut and lookahead, and every rate mode (constant QP, CRF, ABR, CBR, CRF
#   and ABR under a buffer; RATE, empty by default then, is added to each).
# Example, the matrix of the complexity 7 decoder-mismatch work:
#   bench/decode_matrix.sh
# Example, 300 random option sets:  SWEEP=300 bench/decode_matrix.sh
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
enc=${TORVENC:-$here/build/torvenc}
levels=${LEVELS:-"0 1 2 3 4 5 6 7"}
threads=${THREADS:-"2 3 4 5 6 7 8"}
gops=${GOPS:-"default b0"}
if [ -n "${SWEEP:-}" ]; then rate=${RATE:-}; else rate=${RATE:-"--cqp -q 30"}; fi
frames=${FRAMES:-32}
jobs=${JOBS:-4}
clips=${CLIPS:-"zoom:250x130 zoom:328x200 zoom:416x240 pan6:328x200 grain:416x240 overlay:328x200 cut:264x152 testsrc:416x240 testsrc:250x130"}
dec265=$(command -v dec265 || command -v libde265-dec265 || true)
[ -n "$dec265" ] || { echo "decode_matrix.sh: dec265 is missing" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

n=0
for clip in $clips; do
    kind=${clip%%:*} size=${clip#*:}
    out="$work/clip$n.y4m"
    if [ "$kind" = testsrc ]; then
        ffmpeg -v error -nostdin -y -f lavfi -i "testsrc2=size=$size:rate=30,noise=alls=6:allf=t" \
            -frames:v "$frames" -pix_fmt yuv420p -f yuv4mpegpipe "$out"
    else
        sh "$here/tests/support/natural_clip.sh" "$kind" "$size" "$frames" "$out"
    fi
    n=$((n + 1))
done

# One encode and its two decodes; prints "ok" or the failing configuration.
cat > "$work/one.sh" <<'EOF'
#!/bin/sh
# environment: ENC, DEC265, RATE, KEEP; arguments: CLIP NAME C T GOP [OPTION...]
enc=$ENC dec265=$DEC265 rate=$RATE keep=$KEEP
clip=$1 name=$2 c=$3 t=$4 gop=$5
shift 5
extra=$*
rate="$extra $rate"
dir=$(dirname "$clip")/run.$$
mkdir -p "$dir"
gop_args=""
[ "$gop" = b0 ] && gop_args="--bframes 0"
# shellcheck disable=SC2086
if ! "$enc" -y -l 0 -c "$c" -t "$t" $gop_args $rate --recon "$dir/recon.yuv" "$clip" "$dir/out.hevc" \
        > "$dir/enc.log" 2>&1; then
    echo "FAIL encode $name -c $c -t $t gop $gop $extra"
    rm -rf "$dir"
    exit 0
fi
ffmpeg -v error -nostdin -y -i "$dir/out.hevc" -f rawvideo -pix_fmt yuv420p "$dir/ff.yuv" 2>/dev/null
# libde265 1.0.11 decodes the RASL pictures after a mid-stream CRA wrongly when
# the parameter sets are repeated before it (a fault of that decoder): it gets
# the stream without the parameter sets that follow the first slice.
python3 - "$dir/out.hevc" "$dir/de.hevc" <<'PY'
import sys
d = open(sys.argv[1], 'rb').read()
starts = [i for i in range(len(d) - 2) if d[i] == 0 and d[i + 1] == 0 and d[i + 2] == 1]
out, seen = bytearray(), False
for k, s in enumerate(starts):
    b = s if k else 0
    e = starts[k + 1] if k + 1 < len(starts) else len(d)
    if k and b and d[b - 1] == 0: b -= 1
    if k + 1 < len(starts) and d[e - 1] == 0: e -= 1
    t = (d[s + 3] >> 1) & 63 if s + 3 < len(d) else 0
    if 32 <= t <= 34 and seen: continue
    if t < 32: seen = True
    out += d[b:e]
open(sys.argv[2], 'wb').write(out)
PY
"$dec265" -q -o "$dir/de.yuv" "$dir/de.hevc" > /dev/null 2>&1
f=ok d=ok
cmp -s "$dir/recon.yuv" "$dir/ff.yuv" || f=DIFF
cmp -s "$dir/recon.yuv" "$dir/de.yuv" || d=DIFF
if [ "$f$d" = okok ]; then
    echo "ok $name -c $c -t $t gop $gop $extra"
else
    echo "FAIL $name -c $c -t $t gop $gop $extra: ffmpeg $f, dec265 $d"
    if [ "$keep" = 1 ]; then
        k=decode_matrix_failures/$name-c$c-t$t-$gop-$$
        mkdir -p "$k" && cp "$dir/out.hevc" "$dir/recon.yuv" "$k/"
    fi
fi
rm -rf "$dir"
EOF

# SWEEP random option sets, one per line: CLIP-INDEX C T GOP OPTION...
sweep_options() {
    awk -v n="$SWEEP" -v seed="${SEED:-1}" -v clips="$1" '
    function pick(s,   a, k) { k = split(s, a, " "); return a[int(rand() * k) + 1] }
    BEGIN {
        srand(seed)
        for (i = 0; i < n; i++) {
            o = int(rand() * clips) " " pick("0 1 2 3 4 5 6 7") " " pick("1 2 3 4 5 8") " " pick("default b0")
            if (rand() < 0.3) o = o " --threads " pick("0 1 2 4 6")
            if (rand() < 0.4) o = o " --bframes " pick("1 2 3 5 7")
            if (rand() < 0.2) o = o " --hierach " pick("0 1 2 3")
            if (rand() < 0.4) {
                l = pick("none zerolatency lowdelay")
                o = o " --tune " pick("monitor cartoon highmotion broadcast") (l == "none" ? "" : "," l)
            }
            else if (rand() < 0.2) o = o " --tune " pick("zerolatency lowdelay")
            if (rand() < 0.4) o = o " --idr " pick("4 8 16 30")
            if (rand() < 0.2) o = o " --min-idr " pick("2 4 8")
            b = pick("100 300 800 2000"); r = rand()
            if (r < 0.2) o = o " --cqp -q " int(12 + rand() * 37)
            else if (r < 0.4) o = o " --crf " int(16 + rand() * 21)
            else if (r < 0.55) o = o " --abr -b " b
            else if (r < 0.7) o = o " -b " b " --maxrate " b " --minrate " b " --bufsize " pick("8 15 30")
            else if (r < 0.85) o = o " --crf " int(18 + rand() * 15) " --vbv-maxrate " b " --vbv-bufsize " b
            else o = o " --abr -b " b " --vbv-maxrate " int(b * 5 / 4) " --vbv-bufsize " int(b * 5 / 4)
            if (rand() < 0.3) o = o " --brefs " pick("0 1 2 3")
            if (rand() < 0.3) o = o " --prefs " pick("1 2 3 4")
            if (rand() < 0.2) o = o " --scenecut " pick("0 20 40 100")
            if (rand() < 0.2) o = o " --lookahead " pick("0 4 10 40")
            if (rand() < 0.15) o = o " --disable-sei"
            print o
        }
    }'
}

runs() {
    if [ -n "${SWEEP:-}" ]; then
        # shellcheck disable=SC2086
        set -- $clips
        sweep_options "$#" | while read -r k line; do
            eval "clip=\${$((k + 1))}"
            echo "$work/clip$k.y4m $clip $line"
        done
        return
    fi
    n=0
    for clip in $clips; do
        for c in $levels; do
            for t in $threads; do
                for gop in $gops; do
                    echo "$work/clip$n.y4m $clip $c $t $gop"
                done
            done
        done
        n=$((n + 1))
    done
}

runs | ENC=$enc DEC265=$dec265 RATE=$rate KEEP=${KEEP:-0} xargs -P "$jobs" -L 1 sh "$work/one.sh" \
    > "$work/results"
total=$(wc -l < "$work/results")
fails=$(grep -c '^FAIL' "$work/results" || true)
grep '^FAIL' "$work/results" || true
if [ -n "${SWEEP:-}" ]; then
    echo "decode sweep: $((total - fails)) passed, $fails failed (clips: $clips; $SWEEP option sets, seed ${SEED:-1}${rate:+ with $rate}; $frames pictures)"
else
    echo "decode matrix: $((total - fails)) passed, $fails failed (clips: $clips; levels: $levels; threads: $threads; GOPs: $gops; $rate; $frames pictures)"
fi
[ "$fails" -eq 0 ]
