#!/bin/sh
# Writes a YUV4MPEG2 clip of natural content made from the photographs of
# Debian's wallpaper packages (plasma-workspace-wallpapers), so that tests and
# bench scripts see camera-like pictures (detail at every scale, soft edges,
# sub-sample motion, grain) and not only ffmpeg's synthetic sources.
#
# usage: natural_clip.sh KIND WIDTHxHEIGHT FRAMES OUT.y4m [FPS]
#
# KIND:
#   pan2, pan6, pan16  a pan over a photograph at 2, 6 or 16 samples per picture
#                      (sub-sample phases; it turns back at the photograph's edge)
#   zoom               a slow zoom into a photograph, 1.004 per picture
#   grain              a slow pan with strong temporal film grain
#   still_grain        a still photograph with light temporal grain
#   overlay            a slow pan with a second photograph moving across it
#   fade               a pan that cross-fades into another photograph
#   cut                a pan over one photograph, then a cut to another
# Sizes must be even; 320x180 to 1920x1080 are the ones in use.
set -eu

if [ $# -lt 4 ]; then
    echo "usage: natural_clip.sh KIND WIDTHxHEIGHT FRAMES OUT.y4m [FPS]" >&2
    exit 2
fi
kind=$1 size=$2 frames=$3 out=$4 fps=${5:-30}
w=${size%x*} h=${size#*x}
wallpapers=${TV_WALLPAPERS:-/usr/share/wallpapers}

photo() {
    f="$wallpapers/$1/contents/images/2560x1600.jpg"
    if [ ! -r "$f" ]; then
        echo "natural_clip.sh: photograph $f is missing (install plasma-workspace-wallpapers)" >&2
        exit 3
    fi
    printf '%s' "$f"
}

# The photograph is decoded and scaled once and its one picture repeated.
still() { printf "loop=loop=-1:size=1,setpts=N/%s/TB" "$fps"; }

# The photograph is cropped to the picture's aspect at a "working" resolution
# 1.5 times the picture, panned there by whole samples and scaled down, so
# the pan moves by fractions of a sample on the coded picture. It bounces
# between the photograph's left and right edges and drifts up and down at up
# to half that speed.
# pan_chain SPEED_PER_PICTURE -> filter chain from one looped photograph
pan_chain() {
    ww=$((w * 3 / 2)) wh=$((h * 3 / 2))
    sh=$((wh * 2))
    v=$(awk -v s="$1" 'BEGIN { printf "%.3f", s * 1.5 }')
    printf "scale=-2:%d:flags=bicubic,%s,crop=%d:%d:x='(iw-%d)-abs(mod(n*%s,2*(iw-%d))-(iw-%d))':y='(ih-%d)/2+%s*20*sin(n/40)',scale=%d:%d:flags=bicubic,setsar=1" \
        "$sh" "$(still)" "$ww" "$wh" "$ww" "$v" "$ww" "$ww" "$wh" "$v" "$w" "$h"
}

# A centred zoom: the photograph fills the picture at 3x, zoompan crops by
# whole samples of that and scales down, so the zoom moves smoothly.
zoom_chain() {
    printf "scale=%d:%d:force_original_aspect_ratio=increase:flags=bicubic,crop=%d:%d,%s,zoompan=z='pow(1.004,on)':d=1:s=%dx%d:fps=%s:x='iw/2-iw/zoom/2':y='ih/2-ih/zoom/2',setsar=1" \
        $((w * 3)) $((h * 3)) $((w * 3)) $((h * 3)) "$(still)" "$w" "$h" "$fps"
}

# The output rate is named: a photograph read as a still has ffmpeg's image
# rate (25), which would otherwise label the clip.
run() {
    ffmpeg -v error -nostdin -y "$@" -frames:v "$frames" -r "$fps" -pix_fmt yuv420p -f yuv4mpegpipe "$out"
}


half=$((frames / 2))
case "$kind" in
pan2) run -i "$(photo EveningGlow)" -vf "$(pan_chain 2)" ;;
pan6) run -i "$(photo Path)" -vf "$(pan_chain 6)" ;;
pan16) run -i "$(photo ColorfulCups)" -vf "$(pan_chain 16)" ;;
zoom) run -i "$(photo EveningGlow)" -vf "$(zoom_chain)" ;;
grain)
    run -i "$(photo BytheWater)" \
        -vf "$(pan_chain 1),noise=c0s=14:c1s=6:c2s=6:allf=t" ;;
still_grain)
    run -i "$(photo FallenLeaf)" \
        -vf "$(pan_chain 0),noise=c0s=5:c1s=2:c2s=2:allf=t" ;;
overlay)
    ow=$((w / 4 / 2 * 2)) oh=$((h / 4 / 2 * 2))
    run -i "$(photo Path)" -i "$(photo Kite)" \
        -filter_complex "[0]$(pan_chain 2)[bg];[1]scale=$ow:$oh:flags=bicubic,setsar=1[fg];[bg][fg]overlay=x='mod(n*7,W+w)-w':y='H/3+H/6*sin(n/15)'" ;;
fade)
    # the middle third of the clip fades from one photograph into the other
    d=$(awk -v n="$frames" -v f="$fps" 'BEGIN { printf "%.3f", n / 3 / f }')
    o=$d
    run -i "$(photo EveningGlow)" -i "$(photo OneStandsOut)" \
        -filter_complex "[0]$(pan_chain 3),trim=end_frame=$frames[a];[1]$(pan_chain 3),trim=end_frame=$frames[b];[a][b]xfade=transition=fade:duration=$d:offset=$o" ;;
cut)
    run -i "$(photo Path)" -i "$(photo ColorfulCups)" \
        -filter_complex "[0]$(pan_chain 3),trim=end_frame=$half[a];[1]$(pan_chain 3),trim=end_frame=$frames[b];[a][b]concat=n=2:v=1:a=0" ;;
*) echo "natural_clip.sh: unknown kind $kind" >&2; exit 2 ;;
esac
