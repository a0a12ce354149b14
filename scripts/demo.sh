#!/bin/sh
# The main job. Sets the project up, builds it, and on a machine without a
# display runs the whole system in a private /tmp for about ten seconds:
# capture-helper on its default virtual display (2560x1440@60, a moving
# picture), vistrel-relay recording the stream and measuring its latency,
# and `capture -m auto`, which picks the fastest mode that works here and
# says why. Then it stops them with SIGTERM and prints where
# the recording is, a PNG of one decoded frame with its watermark, and the
# summary (frames, fps, latency p50/p95/max). Exit status 0 when frames were
# received and measured.
#
# Beside the relay it starts Janus (scripts/janus.sh) and prints the address
# of the viewer page with its viewing token, which plays the stream in a
# browser while the demo runs (set DEMO_SECONDS long enough to watch).
#
# Environment (all optional):
#   DEMO_SECONDS     how long capture runs (default 10)
#   DEMO_MODE        capture mode (default auto)
#   DEMO_OUTPUT      folder for the recording, the PNG and the logs
#                    (default ./demo-output)
#   DEMO_BUILD_DIR   build folder (default ./build)
#   DEMO_SKIP_BUILD  1: no set-up and no build, use the programs already in
#                    DEMO_BUILD_DIR
#   DEMO_JANUS       0: no Janus and no viewer page (default 1)
#   DEMO_BIND        address the viewer page and Janus's API listen on
#                    (default 127.0.0.1; this machine's address on a trusted
#                    network lets other machines watch, see README.md)
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${DEMO_SECONDS:-10}
mode=${DEMO_MODE:-auto}
# The compatible mode draws its watermark in a bitmap font; what auto
# chooses is known once capture has said so.
watermark=segments
[ "$mode" != compatible ] || watermark=bitmap
out=${DEMO_OUTPUT:-$root/demo-output}
janus=${DEMO_JANUS:-1}
bind=${DEMO_BIND:-127.0.0.1}
build=${DEMO_BUILD_DIR:-$root/build}

if [ "${DEMO_SKIP_BUILD:-0}" != 1 ]; then
    ./scripts/setup.sh run
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j"$(nproc)" --target capture capture-helper vistrel-relay
fi
for program in apps/capture-helper/capture-helper tools/relay/vistrel-relay apps/capture/capture; do
    if [ ! -x "$build/$program" ]; then
        echo "demo: $build/$program is not built" >&2
        exit 1
    fi
done
mkdir -p "$out"
out=$(cd "$out" && pwd)
build=$(cd "$build" && pwd)
rm -f "$out"/stream*.mkv "$out/frame.png" "$out/stream.sdp" "$out/relay.out" "$out/capture.log" "$out/relay.log" \
    "$out/helper.log" "$out/janus.log" "$out/capture-probe.log"

exec ./scripts/isolated-run --keep "$root" --keep "$build" --keep "$out" -- sh -c '
    build=$1 out=$2 seconds=$3 mode=$4 watermark=$5 root=$6 janus=$7 bind=$8
    helper_pid="" relay_pid="" capture_pid=""
    janus_args=""

    # Stops one process with SIGTERM, then SIGKILL after a few seconds.
    stop() {
        [ -n "$1" ] || return 0
        kill -TERM "$1" 2>/dev/null || return 0
        n=0
        while kill -0 "$1" 2>/dev/null && [ $n -lt 100 ]; do
            sleep 0.1
            n=$((n + 1))
        done
        kill -KILL "$1" 2>/dev/null || true
        wait "$1" 2>/dev/null || true
    }
    fail() {
        echo "demo: $*" >&2
        for log in capture.log relay.log helper.log; do
            if [ -s "$out/$log" ]; then
                echo "--- $log (last lines) ---" >&2
                tail -n 15 "$out/$log" >&2
            fi
        done
        stop "$capture_pid"
        stop "$relay_pid"
        stop "$helper_pid"
        "$root/scripts/janus.sh" stop /tmp/janus 2>/dev/null || true
        exit 1
    }
    # Waits up to 10 s for a condition; fails with a message otherwise.
    await() {
        what=$1
        shift
        n=0
        until "$@"; do
            n=$((n + 1))
            [ $n -le 100 ] || fail "$what"
            sleep 0.1
        done
    }

    VISTREL_VIRTUAL_DISPLAY=1 "$build/apps/capture-helper/capture-helper" >"$out/helper.log" 2>&1 &
    helper_pid=$!
    await "capture-helper did not start" test -S /tmp/vistrel.sock

    # Janus and the viewer page; the demo goes on without them when they
    # cannot start (not installed, or a port taken).
    page=""
    if [ "$janus" = 1 ]; then
        if page=$("$root/scripts/janus.sh" start /tmp/janus --bind "$bind" 2>"$out/janus.log"); then
            janus_args="--janus-port 5006 --janus-api 8088 --janus-token-file /tmp/janus/relay.token"
            page=${page#page=}
        else
            echo "demo: no viewer page: Janus did not start (see $out/janus.log)"
            page=""
        fi
    fi

    # What auto chooses decides which digits the relay reads (the compatible
    # mode draws bitmap ones), so a first capture without a relay says its
    # choice and ends at its failed connection; the real run then makes the
    # same choice.
    shown=$mode
    if [ "$mode" = auto ]; then
        "$build/apps/capture/capture" -m auto >"$out/capture-probe.log" 2>&1 || true
        choice=$(grep -m 1 "^\[Capture\] Auto mode: " "$out/capture-probe.log") || fail "capture did not say which mode it chose"
        echo "demo: ${choice#\[Capture\] }"
        shown="auto ($(echo "$choice" | sed "s/^\[Capture\] Auto mode: \([a-z]*\).*/\1/"))"
        [ "${shown#auto (}" != "compatible)" ] || watermark=bitmap
    fi

    "$build/tools/relay/vistrel-relay" $janus_args --latency --watermark "$watermark" --record "$out/stream.mkv" --snapshot "$out/frame.png" \
        --snapshot-frame 3 --sdp "$out/stream.sdp" >"$out/relay.out" 2>"$out/relay.log" &
    relay_pid=$!
    await "the relay did not start" grep -qs "^ready=1" "$out/relay.out"

    "$build/apps/capture/capture" -m "$mode" >"$out/capture.log" 2>&1 &
    capture_pid=$!
    echo "demo: capture-helper (virtual display), vistrel-relay and capture -m $shown running for ${seconds}s"
    [ -z "$page" ] || echo "demo: watch      $page (open it in a browser while the demo runs)"
    sleep "$seconds"

    kill -0 "$capture_pid" 2>/dev/null || fail "capture ended early"
    # SIGTERM to the worker (the supervisor'"'"'s child); the supervisor follows.
    worker=$(pgrep -P "$capture_pid" || true)
    [ -n "$worker" ] || fail "capture has no worker process"
    kill -TERM $worker
    n=0
    while kill -0 "$capture_pid" 2>/dev/null && [ $n -lt 50 ]; do
        sleep 0.1
        n=$((n + 1))
    done
    stop "$capture_pid"
    capture_pid=""
    stop "$relay_pid"
    relay_pid=""
    stop "$helper_pid"
    helper_pid=""
    [ "$janus" != 1 ] || "$root/scripts/janus.sh" stop /tmp/janus 2>/dev/null || true

    value() { sed -n "s/^$1=//p" "$out/relay.out" | tail -n 1; }
    frames=$(value frames)
    latency_frames=$(value latency_frames)
    if [ -s "$out/stream.mkv" ]; then
        echo "demo: recording  $out/stream.mkv"
    else
        echo "demo: recording  none (nothing was recorded)"
    fi
    if [ "$(value snapshot)" = "$out/frame.png" ]; then
        echo "demo: frame      $out/frame.png (one decoded frame with its watermark)"
    else
        echo "demo: frame      none (too few frames decoded)"
    fi
    echo "demo: stream SDP $out/stream.sdp"
    echo "demo: logs       $out/capture.log, $out/relay.log, $out/helper.log"
    echo "demo: summary    frames=${frames:-0} fps=$(value fps) size=$(value decoded_size) codec=$(value decoded_codec)"
    echo "demo: latency    p50=$(value latency_p50_ms) ms p95=$(value latency_p95_ms) ms max=$(value latency_max_ms) ms over ${latency_frames:-0} frames"
    [ "${frames:-0}" -gt 0 ] || fail "no frames reached the relay"
    [ "${latency_frames:-0}" -gt 0 ] || fail "no frame watermark could be read"
    exit 0' sh "$build" "$out" "$seconds" "$mode" "$watermark" "$root" "$janus" "$bind"
