#!/bin/sh
# Viewer load: the whole system (capture-helper on a 1280x720@60 virtual
# display, capture, vistrel-relay feeding Janus) watched by a growing number
# of WebRTC viewers (tools/viewer/receivers.py: aiortc peer connections that
# count packets and frames and decode nothing), with the CPU that Janus, the
# relay and capture spend at each step. One system runs through all the
# steps, in a private /tmp and a network namespace of its own (a veth pair;
# Janus offers no loopback candidate), so nothing touches the machine's own
# interfaces.
#
# Usage: bench/e2e/viewers.sh [BUILD_DIR]      (default ./build)
# Environment (all optional):
#   BENCH_VIEWERS   the steps (default "0 5 10 20 30 40 50")
#   BENCH_SECONDS   the measured window of each step (default 10)
#   BENCH_SETTLE    seconds between the last viewer's first frame and the
#                   window (default 2)
#   BENCH_WARMUP    seconds from capture's start to the first step (default 15)
#   BENCH_MODE      capture's mode (default compatible)
#   BENCH_FPS       capture's rate, -f (default 30)
#   BENCH_OUTPUT    folder for the logs and results (default BUILD_DIR/bench-viewers)
#
# Measures per step, over the window:
#   playing   viewers that had their first frame
#   fps       capture's delivered rate (the relay's plain RTP, counted by
#             the receivers' process)
#   ratio     the fewest frames a viewer received over those the relay
#             forwarded while it watched
#   janus, relay, capture, receivers   CPU in % of one core: user+system
#             time from /proc/PID/stat (capture: supervisor and worker)
# and Janus's CPU per viewer: the least-squares slope of Janus's CPU over
# the number of viewers, and over viewers times capture's rate (CPU per
# frame sent to one viewer, which does not depend on the rate).
#
# The viewers run at a lower priority (nice 10): they stand in for other
# machines and should not take capture's processor. Other work on the
# machine changes capture's rate; run the benchmark on a quiet machine.
#
# Writes: results.txt (one line per step), table.txt and viewers.png
# (gnuplot: CPU per process and capture's rate against viewers).
set -eu
cd "$(dirname "$0")/../.."
root=$(pwd)
BENCH_LIB=$root/bench/e2e/lib.sh
export BENCH_LIB
. "$BENCH_LIB"

# cpu_ticks PID...: user+system clock ticks of the processes so far.
cpu_ticks() {
    for p in "$@"; do
        # The command name in parentheses may hold spaces: fields count after it.
        sed 's/.*) //' "/proc/$p/stat" 2>/dev/null | awk '{ print $12 + $13 }' || echo 0
    done | awk '{ s += $1 } END { print s + 0 }'
}

if [ "${1:-}" = --one ]; then
    # The whole run, inside the private /tmp and network namespace.
    out=$2 build=$3
    bench_veth
    bench_display /tmp/world.txt 1280x720
    helper="" relay="" capture=""
    cleanup() {
        if [ -n "$capture" ]; then
            for w in $(pgrep -P "$capture"); do kill -TERM "$w" 2>/dev/null || true; done
        fi
        bench_stop "$capture"
        bench_stop "$relay"
        "$root/scripts/janus.sh" stop /tmp/janus || true
        bench_stop "$helper"
    }
    trap cleanup EXIT
    VISTREL_VIRTUAL_DISPLAY=/tmp/world.txt "$build/apps/capture-helper/capture-helper" >"$out/helper.log" 2>&1 &
    helper=$!
    sleep 0.5
    "$root/scripts/janus.sh" start /tmp/janus --codec h264 --page-port 0 >/dev/null
    janus=$(cat /tmp/janus/janus.pid)
    token=$(cat /tmp/janus/viewer.token)
    "$build/tools/relay/vistrel-relay" --query-config --udp-port 5004 --janus-port 5006 --janus-api 8088 \
        --janus-token-file /tmp/janus/relay.token \
        >"$out/relay.out" 2>"$out/relay.err" </dev/null &
    relay=$!
    sleep 0.5
    "$build/apps/capture/capture" -m "$mode" -f "$fps" >"$out/capture.log" 2>&1 &
    capture=$!
    # The compatible mode starts low and climbs: the steps begin once it is up.
    sleep "$warmup"
    worker=$(pgrep -P "$capture" | head -n 1)
    tck=$(getconf CLK_TCK)
    for n in $steps; do
        log=$out/viewers-$n.log
        nice -n 10 /usr/bin/python3 "$root/tools/viewer/receivers.py" --api http://127.0.0.1:8088/janus --token "$token" \
            --reference 5004 --viewers "$n" --seconds $((seconds + settle + 60)) --stop-file /tmp/stop-viewers \
            >"$log" 2>"$out/viewers-$n.err" &
        viewers=$!
        i=0
        until grep -q '^playing_all=' "$log" || [ $i -ge 600 ]; do sleep 0.1; i=$((i + 1)); done
        sleep "$settle"
        j0=$(cpu_ticks "$janus"); r0=$(cpu_ticks "$relay"); c0=$(cpu_ticks "$capture" "$worker"); v0=$(cpu_ticks "$viewers")
        t0=$(date +%s.%N)
        sleep "$seconds"
        j1=$(cpu_ticks "$janus"); r1=$(cpu_ticks "$relay"); c1=$(cpu_ticks "$capture" "$worker"); v1=$(cpu_ticks "$viewers")
        t1=$(date +%s.%N)
        touch /tmp/stop-viewers
        wait "$viewers" || true
        rm -f /tmp/stop-viewers
        awk -v n="$n" -v tck="$tck" -v t0="$t0" -v t1="$t1" \
            -v j="$((j1 - j0))" -v r="$((r1 - r0))" -v c="$((c1 - c0))" -v v="$((v1 - v0))" \
            "$bench_awk"'
            /^idle_fps=/ {
                pct = 100 / tck / (t1 - t0)
                printf "viewers=%d playing=%d fps=%s ratio_min=%s janus=%.1f relay=%.1f capture=%.1f receivers=%.1f\n",
                    n, field("playing"), field("viewers_fps"), field("ratio_min"), j * pct, r * pct, c * pct, v * pct
            }' "$log"
        sleep 2
    done
    exit 0
fi

build=${1:-$root/build}
build=$(cd "$build" && pwd)
steps=${BENCH_VIEWERS:-"0 5 10 20 30 40 50"}
seconds=${BENCH_SECONDS:-10}
settle=${BENCH_SETTLE:-2}
warmup=${BENCH_WARMUP:-15}
mode=${BENCH_MODE:-compatible}
fps=${BENCH_FPS:-30}
out=${BENCH_OUTPUT:-$build/bench-viewers}
export steps seconds settle warmup mode fps
for program in apps/capture-helper/capture-helper tools/relay/vistrel-relay apps/capture/capture; do
    [ -x "$build/$program" ] || { echo "bench: $build/$program is not built" >&2; exit 1; }
done
command -v janus >/dev/null || { echo "bench: janus is not installed (scripts/setup.sh)" >&2; exit 1; }
/usr/bin/python3 -c 'import aiortc' 2>/dev/null ||
    { echo "bench: python3-aiortc is not installed (scripts/setup.sh)" >&2; exit 1; }
mkdir -p "$out"

"$root/scripts/isolated-run" --keep "$root" --keep "$build" --keep "$out" -- \
    unshare --net -- "$root/bench/e2e/viewers.sh" --one "$out" "$build" >"$out/results.txt" 2>"$out/run.err" ||
    { echo "bench: the run failed; see $out/run.err" >&2; tail -n 20 "$out/run.err" >&2; exit 1; }

awk "$bench_awk"'
    BEGIN { printf "%7s %7s %6s %6s %7s %7s %8s %10s\n", "viewers", "playing", "fps", "ratio", "janus%", "relay%", "capture%", "receivers%" }
    {
        n = field("viewers"); j = field("janus"); f = field("fps")
        printf "%7d %7d %6.1f %6.3f %7.1f %7.1f %8.1f %10.1f\n", n, field("playing"), f, field("ratio_min"), j, field("relay"), field("capture"), field("receivers")
        sx += n; sy += j; sxx += n * n; sxy += n * j; k++
        # The same against frames sent to viewers per second: CPU per frame and viewer.
        x = n * f; fx += x; fxx += x * x; fxy += x * j; fps += f
    }
    END {
        if (k > 1 && k * sxx - sx * sx > 0)
            printf "\nJanus CPU per viewer: %.2f%% of one core at %.1f fps (least squares over %d steps)\n", (k * sxy - sx * sy) / (k * sxx - sx * sx), fps / k, k
        if (k > 1 && k * fxx - fx * fx > 0)
            printf "Janus CPU per frame sent to one viewer: %.1f us\n", (k * fxy - fx * sy) / (k * fxx - fx * fx) * 1e4
    }' "$out/results.txt" | tee "$out/table.txt"

if command -v gnuplot >/dev/null; then
    awk "$bench_awk"'{ print field("viewers"), field("janus"), field("relay"), field("capture"), field("receivers"), field("fps") }' \
        "$out/results.txt" >"$out/viewers.dat"
    gnuplot <<EOF
set terminal pngcairo size 900,560 font 'sans,10'
set output '$out/viewers.png'
set title 'CPU against viewers ($mode, 1280x720 at $fps fps)'
set xlabel 'viewers'; set ylabel 'CPU, % of one core'; set key below; set grid
set y2label "capture's delivered fps"; set y2tics; set ytics nomirror; set y2range [0:*]
plot '$out/viewers.dat' using 1:2 with linespoints lw 2 title 'Janus', \
     '' using 1:3 with linespoints lw 2 title 'relay', \
     '' using 1:4 with linespoints lw 2 title 'capture', \
     '' using 1:5 with linespoints lw 1 dt 2 title 'viewers (aiortc, the load)', \
     '' using 1:6 axes x1y2 with linespoints lw 1 dt 3 lc rgb 'gray30' title 'capture fps (right)'
EOF
    echo "plot: $out/viewers.png"
fi
