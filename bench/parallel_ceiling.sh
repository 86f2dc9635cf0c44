#!/bin/sh
# How much of N cores this machine gives to N independent encodes, and so
# the highest speed-up an N-thread encode could show here. Runs one
# one-thread encode alone (twice; the faster counts), then N copies of it at
# once, and prints per run the wall time and CPU time (user plus system),
# then:
#   throughput  N copies' work per wall second over one alone's
#   cpu_ratio   mean CPU time of a copy over the alone run's (what sharing
#               caches, memory and the host costs each copy)
#   cores_t1    cores the one-thread encode keeps busy alone (its lookahead
#               jobs run beside its CTU thread)
#   ceiling     N / (cores_t1 * cpu_ratio): wall(-t 1) / wall(-t N) can not
#               be higher even with every core busy throughout and no
#               synchronisation at all
#
# usage: bench/parallel_ceiling.sh INPUT.y4m [N] [-- encoder options...]
#   default options: -c 4 --cqp -q 32; N defaults to 8. The encoder is
#   build/torvenc unless TORVENC names another binary.
# Example, beside the 1080p speed table:
#   bench/parallel_ceiling.sh pan6_1080.y4m 8 -- -c 4 --cqp -q 32
set -eu

input=${1:?usage: parallel_ceiling.sh INPUT.y4m [N] [-- encoder options]}
shift
n=8
if [ $# -gt 0 ] && [ "$1" != "--" ]; then n=$1; shift; fi
[ $# -gt 0 ] && [ "$1" = "--" ] && shift
[ $# -gt 0 ] || set -- -c 4 --cqp -q 32
here=$(cd "$(dirname "$0")/.." && pwd)
enc=${TORVENC:-$here/build/torvenc}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# run NAME: one -t 1 encode under /usr/bin/time; prints NAME wall cpu
run() {
    name=$1
    shift
    /usr/bin/time -f "$name %e %U %S" -o "$work/$name.time" "$enc" -t 1 "$@" "$input" "$work/$name.hevc" \
        > "$work/$name.log" 2>&1 || { echo "encode failed: $enc -t 1 $*" >&2; cat "$work/$name.log" >&2; exit 1; }
    awk '{ printf "%s %.2f %.2f\n", $1, $2, $3 + $4 }' "$work/$name.time"
}

echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
{ run alone1 "$@"; run alone2 "$@"; } > "$work/alone.txt"
i=1
while [ "$i" -le "$n" ]; do
    run "copy$i" "$@" > "$work/copy$i.txt" &
    i=$((i + 1))
done
wait
cat "$work/alone.txt" "$work"/copy*.txt
cat "$work/alone.txt" "$work"/copy*.txt | awk -v n="$n" '
    /^alone/ { if (aw == 0 || $2 < aw) { aw = $2; ac = $3 } next }
    { cw = $2 > cw ? $2 : cw; cc += $3 }
    END {
        ratio = cc / n / ac; cores = ac / aw
        printf "throughput %.2f  cpu_ratio %.3f  cores_t1 %.2f  ceiling %.2f\n",
            n * aw / cw, ratio, cores, n / (cores * ratio) }'
