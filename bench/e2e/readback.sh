#!/bin/sh
# The same-frame read-back against the default one-frame-late read-back:
# the latency from the vertical blank a frame answers (the virtual display's
# own stamp in the picture) to the arrival of the frame's last datagram at
# the relay, for the balanced and compatible modes, each run with and
# without --same-frame-readback. The table shows the medians over the runs
# of each run's steady-state p50, the delivered rate, and the drop as a
# share of one capture interval (the default run's: 1000 / its rate).
#
# Usage: bench/e2e/readback.sh [BUILD_DIR]      (default ./build)
# Environment (all optional):
#   BENCH_SIZE      display size (default 1280x720, at 60 Hz)
#   BENCH_SECONDS   length of each run (default 60)
#   BENCH_SETTLE    seconds after capture starts at which the steady state
#                   begins (default 45: the compatible mode's rate climbs
#                   from 30 for about 40 s)
#   BENCH_RUNS      runs per mode and read-back (default 3)
#   BENCH_MODES     default "balanced compatible"
#   BENCH_OUTPUT    folder for the logs (default BUILD_DIR/bench-readback)
# Writes results.txt (one line per run) and table.txt into the output folder.
set -eu
cd "$(dirname "$0")/../.."
root=$(pwd)
BENCH_LIB=$root/bench/e2e/lib.sh
export BENCH_LIB
. "$BENCH_LIB"
build=$(cd "${1:-$root/build}" && pwd)
size=${BENCH_SIZE:-1280x720}
seconds=${BENCH_SECONDS:-60}
settle=${BENCH_SETTLE:-45}
runs=${BENCH_RUNS:-3}
modes=${BENCH_MODES:-"balanced compatible"}
out=${BENCH_OUTPUT:-$build/bench-readback}
[ "$seconds" -ge $((settle + 2)) ] || { echo "bench: BENCH_SECONDS must be at least BENCH_SETTLE + 2" >&2; exit 1; }
for program in apps/capture-helper/capture-helper tools/relay/vistrel-relay apps/capture/capture; do
    [ -x "$build/$program" ] || { echo "bench: $build/$program is not built" >&2; exit 1; }
done
mkdir -p "$out"
out=$(cd "$out" && pwd)
results=$out/results.txt
: >"$results"
bench_display "$out/display.txt" "$size"

# One run in a private /tmp; prints "MODE READBACK RUN p50=MS fps=N frames=N".
run_one() {
    mode=$1 readback=$2 run=$3
    ./scripts/isolated-run --keep "$root" --keep "$build" --keep "$out" -- sh -c '
        build=$1 out=$2 seconds=$3 settle=$4 mode=$5 readback=$6 tag=$7
        option=""
        [ "$readback" = late ] || option=--same-frame-readback
        . "$BENCH_LIB"
        await() {
            n=0
            until "$@"; do n=$((n + 1)); [ $n -le 100 ] || { echo "bench: $tag: $* never held" >&2; exit 1; }; sleep 0.1; done
        }
        VISTREL_VIRTUAL_DISPLAY=$out/display.txt "$build/apps/capture-helper/capture-helper" \
            >"$out/helper-$tag.log" 2>&1 &
        helper=$!
        await test -S /tmp/vistrel.sock
        "$build/tools/relay/vistrel-relay" --latency --per-frame --watermark source --udp-port 0 \
            >"$out/relay-$tag.out" 2>"$out/relay-$tag.log" &
        relay=$!
        await grep -qs "^ready=1" "$out/relay-$tag.out"
        started_ms=$(date +%s%3N)
        # shellcheck disable=SC2086
        "$build/apps/capture/capture" -m "$mode" $option >"$out/capture-$tag.log" 2>&1 &
        capture=$!
        sleep "$seconds"
        ended_ms=$(date +%s%3N)
        worker=$(pgrep -P "$capture" || true)
        [ -z "$worker" ] || kill -TERM "$worker"
        bench_stop "$capture"; bench_stop "$relay"; bench_stop "$helper"
        # Frames whose blank fell in the steady state: their latencies.
        sed -n "s/^frame_source_latency .*source_ms=\([0-9]*\) latency_ms=\([-0-9.]*\).*/\1 \2/p" \
            "$out/relay-$tag.out" |
            awk -v a="$((started_ms + settle * 1000))" -v b="$ended_ms" "\$1 >= a && \$1 < b { print \$2 }" |
            sort -n >"$out/steady-$tag.txt"
        awk -v s="$((seconds - settle))" -v tag="$tag" "{ v[NR] = \$1 }
            END { p = NR ? v[int((NR + 1) / 2)] : 0; split(tag, t, \"-\")
                  printf \"%s %s %s p50=%.1f fps=%.2f frames=%d\n\", t[1], t[2], t[3], p, NR / s, NR }" \
            "$out/steady-$tag.txt"
    ' sh "$build" "$out" "$seconds" "$settle" "$mode" "$readback" "$mode-$readback-$run"
}

for mode in $modes; do
    for run in $(seq "$runs"); do
        for readback in late same; do
            echo "bench: $mode $readback-frame read-back, run $run of $runs"
            run_one "$mode" "$readback" "$run" >>"$results"
        done
    done
done

{
echo "Source-stamped latency p50 (vertical blank to the frame's last datagram), $size, median of $runs runs;"
echo "steady state from ${settle}s to ${seconds}s of each run"
awk "$bench_awk"'
    {
        key = $1 " " $2
        if (!($1 in seen)) { seen[$1] = 1; order[++count] = $1 }
        p50[key] = p50[key] " " field("p50"); fps[key] = fps[key] " " field("fps")
    }
    END {
        printf "%-11s | %8s %6s | %8s %6s | %9s %7s %9s\n", "mode", "late p50", "fps", "same p50", "fps",
               "interval", "drop", "of one"
        for (i = 1; i <= count; i++) {
            m = order[i]
            late = median(p50[m " late"]); same = median(p50[m " same"]); rate = median(fps[m " late"])
            interval = rate > 0 ? 1000 / rate : 0
            share = interval > 0 ? (late - same) / interval : 0
            printf "%-11s | %8.1f %6.1f | %8.1f %6.1f | %7.1fms %5.1fms %8.0f%%\n", m, late, rate, same,
                   median(fps[m " same"]), interval, late - same, 100 * share
        }
    }' "$results"
echo "interval: one capture interval of the default run (1000 / its delivered rate); drop: late p50 - same p50"
} | tee "$out/table.txt"
