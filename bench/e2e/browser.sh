#!/bin/sh
# Browser latency: the whole system (capture-helper on a 1280x720@60 virtual
# display, capture, vistrel-relay feeding Janus) watched by one headless
# Chromium page through Janus, per mode. Each run happens in a private /tmp
# and a network namespace of its own (a veth pair; Janus offers no loopback
# candidate), so nothing touches the machine's own interfaces.
#
# Usage: bench/e2e/browser.sh [BUILD_DIR]      (default ./build)
# Environment (all optional):
#   BENCH_SECONDS   length of each run after the page's first picture (default 10)
#   BENCH_RUNS      runs per mode (default 3)
#   BENCH_MODES     capture modes (default "compatible balanced")
#   BENCH_OUTPUT    folder for the logs (default BUILD_DIR/bench-browser)
#
# Measures per run, from the vertical blank's time stamp that the mode
# draws into the picture:
#   relay p50/p95     to the arrival of the frame's last datagram at the relay
#   browser p50/p95   to the frame's presentation in the page (the page's
#                     requestVideoFrameCallback), read back through a canvas
#   browser fps       frames the page presented per second
# The table shows the medians over the runs.
set -eu
cd "$(dirname "$0")/../.."
root=$(pwd)
. "$root/bench/e2e/lib.sh"

if [ "${1:-}" = --one ]; then
    # One run, inside the private /tmp and network namespace.
    mode=$2 seconds=$3 logs=$4 build=$5
    bench_veth
    bench_display /tmp/world.txt 1280x720
    watermark=segments
    [ "$mode" = compatible ] && watermark=bitmap
    pids=""
    cleanup() {
        for p in $pids; do kill -TERM "$p" 2>/dev/null || true; done
        "$root/scripts/janus.sh" stop /tmp/janus || true
    }
    trap cleanup EXIT
    VISTREL_VIRTUAL_DISPLAY=/tmp/world.txt "$build/apps/capture-helper/capture-helper" > "$logs/helper.log" 2>&1 &
    pids="$!"
    sleep 0.5
    page=$("$root/scripts/janus.sh" start /tmp/janus --codec h264)
    "$build/tools/relay/vistrel-relay" --query-config --udp-port 0 --janus-port 5006 --janus-api 8088 \
        --janus-token-file /tmp/janus/relay.token --latency --watermark "$watermark" > "$logs/relay.out" 2> "$logs/relay.err" < /dev/null &
    relay=$!
    sleep 0.5
    "$build/apps/capture/capture" -m "$mode" > "$logs/capture.log" 2>&1 &
    capture=$!
    pids="$capture $pids"
    sleep 2
    chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking \
        --disable-component-update --disable-sync --user-data-dir=/tmp/chromium \
        --autoplay-policy=no-user-gesture-required --enable-logging=stderr --v=0 \
        "${page#page=}" > /dev/null 2> "$logs/chromium.err" &
    chromium=$!
    pids="$chromium $pids"
    i=0
    until grep -aq 'status=playing' "$logs/chromium.err" 2>/dev/null || [ $i -ge 100 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    sleep "$seconds"
    line=$(grep -a 'vistrel-figures' "$logs/chromium.err" | tail -n 1 | sed 's/.*"vistrel-figures \([^"]*\)".*/\1/')
    kill -TERM "$chromium" 2>/dev/null || true
    kill -TERM "$relay"
    wait "$relay" || true
    for w in $(pgrep -P "$capture"); do kill -TERM "$w" 2>/dev/null || true; done
    echo "$line"
    grep -E '^latency_p(50|95)_ms=' "$logs/relay.out" | tr '\n' ' '
    echo
    exit 0
fi

build=${1:-$root/build}
build=$(cd "$build" && pwd)
seconds=${BENCH_SECONDS:-10}
runs=${BENCH_RUNS:-3}
modes=${BENCH_MODES:-"compatible balanced"}
out=${BENCH_OUTPUT:-$build/bench-browser}
for program in apps/capture-helper/capture-helper tools/relay/vistrel-relay apps/capture/capture; do
    [ -x "$build/$program" ] || { echo "bench: $build/$program is not built" >&2; exit 1; }
done
command -v chromium > /dev/null || { echo "bench: chromium is not installed (scripts/setup.sh)" >&2; exit 1; }
command -v janus > /dev/null || { echo "bench: janus is not installed (scripts/setup.sh)" >&2; exit 1; }
mkdir -p "$out"

value() { echo "$1" | tr ' ' '\n' | sed -n "s/^$2=//p" | head -n 1; }
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else print v[int((NR + 1) / 2)] }'; }

printf '%-12s %5s %10s %10s %12s %12s %11s\n' mode runs "relay p50" "relay p95" "browser p50" "browser p95" "browser fps"
for mode in $modes; do
    : > "$out/$mode.results"
    r=1
    while [ "$r" -le "$runs" ]; do
        logs="$out/$mode-$r"
        mkdir -p "$logs"
        result=$("$root/scripts/isolated-run" --keep "$root" --keep "$build" --keep "$out" -- \
            unshare --net -- "$0" --one "$mode" "$seconds" "$logs" "$build" 2> "$logs/run.err" || true)
        figures=$(echo "$result" | sed -n 1p)
        relay=$(echo "$result" | sed -n 2p)
        echo "$(value "$relay" latency_p50_ms) $(value "$relay" latency_p95_ms) $(value "$figures" mode_p50)" \
            "$(value "$figures" mode_p95) $(value "$figures" fps)" >> "$out/$mode.results"
        r=$((r + 1))
    done
    col() { awk -v c="$1" '$c != "" { print $c }' "$out/$mode.results" | median; }
    printf '%-12s %5s %10s %10s %12s %12s %11s\n' "$mode" "$runs" "$(col 1)" "$(col 2)" "$(col 3)" "$(col 4)" "$(col 5)"
done
