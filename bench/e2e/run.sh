#!/bin/sh
# End-to-end benchmark: the whole system (capture-helper on a 60 Hz virtual
# display, vistrel-relay measuring the watermark latency, capture) in each
# mode at 1280x720, 1920x1080, 2560x1440 and 3840x2160, beside FFmpeg's
# command-line tool doing the same conversion and encoding from raw frames
# of the same size into RTP. Each configuration runs three times; the table
# shows the medians and the ratios Vistrel / ffmpeg, for the first seconds of
# a run and for its steady state, and the table and a plot go to the output
# folder.
#
# Usage: bench/e2e/run.sh [BUILD_DIR]      (default ./build)
# Environment (all optional):
#   BENCH_SECONDS   length of each Vistrel run (default 60)
#   BENCH_SETTLE    seconds after capture starts at which the steady state
#                   begins (default 45: the compatible mode starts at 30
#                   frames a second and climbs 0.2 every tenth pass while
#                   its frames are quick, which took about 40 s to reach
#                   the display's 58 at 1280x720 here; the table shows how
#                   long each run took)
#   BENCH_FIRST     the first seconds of a run reported on their own
#                   (default 5)
#   BENCH_BASELINE_SECONDS  length of each ffmpeg run (default 10)
#   BENCH_RUNS      runs per configuration (default 3)
#   BENCH_MODES     capture modes (default "balanced compatible compatgl",
#                   plus fast when a VA-API device opens). compatible reads
#                   the virtual display's frames on the processor (no EGL);
#                   compatgl is the compatible mode through the GL path
#                   (--gl-readback: upload, draw, pixel-pack read-back), as
#                   on a machine whose GPU imports the scanout
#   BENCH_SIZES     display sizes (default "1280x720 1920x1080 2560x1440
#                   3840x2160")
#   BENCH_PLANES    0: leave out the runs with one more plane (1920x1080)
#   BENCH_FORMATS   the framebuffer formats of the deep-colour runs at
#                   1920x1080 (default every format the display scans out,
#                   XR24 first: the others' cost is given against it; "PQ"
#                   is XR30 on a connector sent PQ, tone-mapped); "" leaves
#                   them out
#   BENCH_OUTPUT    folder for the logs and results (default BUILD_DIR/bench-e2e)
#   BENCH_PROFILE   1: record the capture worker with perf (call graphs)
#                   over the steady state, and print each run's hottest
#                   functions; the CPU figures then include perf's cost
#
# Measures per run:
#   fps      delivered frames per second (relay)
#   p50/p95/max  latency from the watermark to the arrival of the frame's
#            last datagram at the relay, in ms (relay, per frame)
#   src p50  latency from the vertical blank the frame answers, stamped by
#            the source itself (the virtual display's bottom-left digits),
#            to the frame's last datagram, over the steady state
#   ff fps   the baseline's frames over its wall time (fed at 60, or 30 for
#            compatible, the rate the mode takes from a 60 Hz display)
#   cpu/frame    user+system CPU time of the capture supervisor and worker
#            (read from /proc/PID/stat), divided by the frames delivered in
#            the same time: over the steady state, from BENCH_SETTLE to the
#            end. For ffmpeg: its whole CPU time divided by the frames it
#            encoded.
#   settle   seconds from the start until the delivered rate stays within
#            10% of its mean over the run's last five seconds
#
# Writes: results.txt (one line per run), table.txt (the table),
# cpu-MODE.dat and latency-MODE-SIZE.txt (the plot's data) and e2e.png: the
# steady-state latency distribution per mode and size, and CPU per frame
# against pixels per frame beside the ffmpeg baseline (gnuplot).
set -eu
cd "$(dirname "$0")/../.."
root=$(pwd)
BENCH_LIB=$root/bench/e2e/lib.sh
export BENCH_LIB
. "$BENCH_LIB"
build=${1:-$root/build}
build=$(cd "$build" && pwd)
seconds=${BENCH_SECONDS:-60}
settle=${BENCH_SETTLE:-45}
first=${BENCH_FIRST:-5}
baseline_seconds=${BENCH_BASELINE_SECONDS:-10}
runs=${BENCH_RUNS:-3}
sizes=${BENCH_SIZES:-"1280x720 1920x1080 2560x1440 3840x2160"}
out=${BENCH_OUTPUT:-$build/bench-e2e}
render_node=/dev/dri/renderD128
profile=${BENCH_PROFILE:-0}
[ "$settle" -ge 2 ] && [ "$seconds" -ge $((settle + 2)) ] ||
    { echo "bench: BENCH_SETTLE must be 2 or more and BENCH_SECONDS at least BENCH_SETTLE + 2" >&2; exit 1; }
if [ "$profile" = 1 ]; then
    command -v perf >/dev/null || { echo "bench: BENCH_PROFILE=1 needs perf (scripts/setup.sh installs it)" >&2; exit 1; }
fi

for program in apps/capture-helper/capture-helper tools/relay/vistrel-relay apps/capture/capture; do
    if [ ! -x "$build/$program" ]; then
        echo "bench: $build/$program is not built" >&2
        exit 1
    fi
done
command -v ffmpeg >/dev/null || { echo "bench: ffmpeg is not installed" >&2; exit 1; }

if [ -n "${BENCH_MODES:-}" ]; then
    modes=$BENCH_MODES
elif ./scripts/vaapi-opens.sh "$render_node"; then
    modes="fast balanced compatible compatgl"
else
    modes="balanced compatible compatgl"
    echo "bench: no VA-API device opens on $render_node; fast is left out"
fi

mkdir -p "$out"
out=$(cd "$out" && pwd)
results=$out/results.txt
: >"$results"
tick=$(getconf CLK_TCK)

# The ffmpeg command line with the same encoder and settings as a mode.
# Colour: limited-range BT.709 like the GPU shaders and the mode's converter.
encoder_args() {
    case $1 in
    balanced)
        echo "-vf scale=out_color_matrix=bt709:out_range=tv,format=yuv420p -c:v libx264 -qp 28 -maxrate 25M" \
             "-bufsize 25M -g 60 -bf 0 -refs 1 -preset ultrafast -tune zerolatency -threads 4" \
             "-x264-params sliced-threads=1" ;;
    compatible|compatgl)
        echo "-vf scale=out_color_matrix=bt709:out_range=tv,format=yuv420p -c:v libx264 -b:v 16000k" \
             "-maxrate 16000k -bufsize 32000k -rc_init_occupancy 28800000 -qmin 20 -qmax 36 -g 30 -bf 0" \
             "-refs 2 -preset ultrafast -tune zerolatency -profile:v high -level 5.1 -aq-mode 2" \
             "-x264-params ipratio=1.2:pbratio=1.2" ;;
    fast)
        echo "-init_hw_device vaapi=va:$render_node -filter_hw_device va -vf format=nv12,hwupload" \
             "-c:v h264_vaapi -profile:v high -level 41 -qp 22 -g 30 -bf 0 -async_depth 1" ;;
    esac
}

# Frame rate the baseline is fed at: what the mode captures from a 60 Hz
# display (compatible starts at 30 frames per second and stays near it).
baseline_rate() {
    case $1 in compatible|compatgl) echo 30 ;; *) echo 60 ;; esac
}

# Baseline: raw bgr0 frames (the virtual display's XRGB8888) read at the
# mode's rate, converted and encoded, sent as RTP to a local UDP port.
run_baseline() {
    mode=$1 size=$2 run=$3
    raw=$out/frames-$size.bgr0
    rate=$(baseline_rate "$mode")
    frames=$((rate * baseline_seconds))
    log=$out/ffmpeg-$mode-$size-$run.log
    begun=$(date +%s.%N)
    # shellcheck disable=SC2046
    cpu=$( (ffmpeg -hide_banner -nostdin -loglevel error -re -stream_loop -1 -f rawvideo -pix_fmt bgr0 \
        -video_size "$size" -framerate "$rate" -i "$raw" -frames:v "$frames" $(encoder_args "$mode") \
        -f rtp "rtp://127.0.0.1:5996?pkt_size=1400" >"$log" 2>&1 || echo "ffmpeg failed" >>"$log"
        times) | tail -n 1 | awk '{ print $1, $2 }' | sed 's/m/ /g; s/s//g' |
        awk '{ printf "%.3f", ($1 * 60 + $2 + $3 * 60 + $4) }')
    if grep -q "ffmpeg failed" "$log"; then
        echo "bench: ffmpeg failed for $mode $size (see $log)" >&2
        tail -n 5 "$log" >&2
        exit 1
    fi
    # Fed at the mode's rate (-re); a baseline that cannot keep up takes
    # longer, so its rate is the frames over the wall time.
    fps=$(awk -v a="$begun" -v b="$(date +%s.%N)" -v n="$frames" 'BEGIN { printf "%.2f", n / (b - a) }')
    echo "ffmpeg $mode $size $run fps=$fps cpu_s=$cpu frames=$frames" >>"$results"
}

# One Vistrel run in a private /tmp: helper, relay, capture; CPU read before
# SIGTERM; the relay's summary afterwards.
run_vistrel() {
    mode=$1 size=$2 run=$3
    # Optional: another display's scenario and a word that names it.
    scenario=${4:-$out/display-$size.txt}
    tag=$mode-$size-$run${5:+-$5}
    ./scripts/isolated-run --keep "$root" --keep "$build" --keep "$out" -- sh -c '
        build=$1 out=$2 seconds=$3 mode=$4 scenario=$5 tag=$6 tick=$7 profile=$8 settle=$9 first=${10}
        # The compatible mode draws its watermark in a bitmap font;
        # compatgl is that mode through the GL read-back.
        watermark=segments
        capture_args="-m $mode"
        case "$mode" in
            compatible) watermark=bitmap ;;
            compatgl) watermark=bitmap capture_args="-m compatible --gl-readback" ;;
        esac
        helper_pid="" relay_pid="" capture_pid=""
        . "$BENCH_LIB"
        fail() {
            echo "bench: $tag: $*" >&2
            tail -n 10 "$out/capture-$tag.log" >&2 2>/dev/null || true
            bench_stop "$capture_pid"; bench_stop "$relay_pid"; bench_stop "$helper_pid"
            exit 1
        }
        await() {
            what=$1; shift; n=0
            until "$@"; do
                n=$((n + 1)); [ $n -le 100 ] || fail "$what"; sleep 0.1
            done
        }
        # utime + stime of a process, in clock ticks.
        ticks() { sed "s/^.*) //" "/proc/$1/stat" | awk "{ print \$12 + \$13 }"; }

        VISTREL_VIRTUAL_DISPLAY=$scenario "$build/apps/capture-helper/capture-helper" \
            >"$out/helper-$tag.log" 2>&1 &
        helper_pid=$!
        await "capture-helper did not start" test -S /tmp/vistrel.sock
        "$build/tools/relay/vistrel-relay" --latency --per-frame --watermark "$watermark" --watermark source \
            --udp-port 0 >"$out/relay-$tag.out" 2>"$out/relay-$tag.log" &
        relay_pid=$!
        await "the relay did not start" grep -qs "^ready=1" "$out/relay-$tag.out"
        # shellcheck disable=SC2086
        "$build/apps/capture/capture" $capture_args >"$out/capture-$tag.log" 2>&1 &
        capture_pid=$!
        started_ms=$(date +%s%3N)
        sleep 2
        kill -0 "$capture_pid" 2>/dev/null || fail "capture ended early"
        worker=$(pgrep -P "$capture_pid" || true)
        [ -n "$worker" ] || fail "capture has no worker process"
        sleep $((settle - 2))
        kill -0 "$capture_pid" 2>/dev/null || fail "capture ended early"
        settled_ticks=$(( $(ticks "$capture_pid") + $(ticks "$worker") ))
        settled_ms=$(date +%s%3N)
        if [ "$profile" = 1 ]; then
            perf record -q -g -F 499 -p "$worker" -o "$out/perf-$tag.data" -- sleep $((seconds - settle)) \
                >"$out/perf-$tag.log" 2>&1 || fail "perf record failed (see $out/perf-$tag.log)"
        else
            sleep $((seconds - settle))
        fi
        kill -0 "$capture_pid" 2>/dev/null || fail "capture ended early"
        cpu_ticks=$(( $(ticks "$capture_pid") + $(ticks "$worker") ))
        ended_ms=$(date +%s%3N)
        kill -TERM "$worker"
        n=0
        while kill -0 "$capture_pid" 2>/dev/null && [ $n -lt 50 ]; do sleep 0.1; n=$((n + 1)); done
        bench_stop "$capture_pid"
        bench_stop "$relay_pid"
        bench_stop "$helper_pid"
        # Per frame: the watermark (wall-clock ms) and the latency. The
        # steady state is the frames stamped between the two CPU readings,
        # the first seconds those stamped before started + first.
        frames_file=$out/frames-$tag.txt
        sed -n "s/^frame_latency .*watermark_ms=\([0-9]*\) latency_ms=\([-0-9.]*\).*/\1 \2/p" \
            "$out/relay-$tag.out" >"$frames_file"
        awk -v a="$settled_ms" -v b="$ended_ms" "\$1 >= a && \$1 < b { print \$2 }" "$frames_file" | sort -n \
            >"$out/steady-$tag.txt"
        awk -v a="$started_ms" -v b="$((started_ms + first * 1000))" "\$1 >= a && \$1 < b { print \$2 }" \
            "$frames_file" | sort -n >"$out/first-$tag.txt"
        # The p-th percentile of a sorted file (nearest rank), 0 when empty.
        pct() { awk -v p="$2" "{ v[NR] = \$1 } END { if (NR == 0) { print 0; exit } i = int(NR * p / 100 + 0.999999); if (i < 1) i = 1; if (i > NR) i = NR; printf \"%.1f\", v[i] }" "$1"; }
        # The same steady state from the stamp the display draws (each blank
        # wall-clock time, in the picture).
        sed -n "s/^frame_source_latency .*source_ms=\([0-9]*\) latency_ms=\([-0-9.]*\).*/\1 \2/p" \
            "$out/relay-$tag.out" |
            awk -v a="$settled_ms" -v b="$ended_ms" "\$1 >= a && \$1 < b { print \$2 }" | sort -n >"$out/src-$tag.txt"
        steady_frames=$(wc -l <"$out/steady-$tag.txt")
        first_frames=$(wc -l <"$out/first-$tag.txt")
        # Seconds from the start until the delivered rate stays within 10%
        # of its mean over the last five whole seconds.
        settle_s=$(awk -v a="$started_ms" -v b="$ended_ms" "
            { s = int((\$1 - a) / 1000); if (s >= 0) n[s]++ }
            END {
                last = int((b - a) / 1000) - 1; ref = 0
                for (i = last - 4; i <= last; i++) ref += n[i]
                ref /= 5; s = last
                while (s > 0 && n[s - 1] >= 0.9 * ref && n[s - 1] <= 1.1 * ref) s--
                print s
            }" "$frames_file")
        echo "vistrel $tag" | tr "-" " " | tr "\n" " "
        awk -v t="$((cpu_ticks - settled_ticks))" -v k="$tick" "BEGIN { printf \"cpu_s=%.3f \", t / k }"
        echo "frames=$steady_frames fps=$(awk -v n="$steady_frames" -v a="$settled_ms" -v b="$ended_ms" "BEGIN { printf \"%.2f\", n * 1000 / (b - a) }")" \
             "p50=$(pct "$out/steady-$tag.txt" 50) p95=$(pct "$out/steady-$tag.txt" 95) max=$(pct "$out/steady-$tag.txt" 100)" \
             "first_fps=$(awk -v n="$first_frames" -v s="$first" "BEGIN { printf \"%.2f\", n / s }") first_p50=$(pct "$out/first-$tag.txt" 50)" \
             "first_p95=$(pct "$out/first-$tag.txt" 95) settle_s=$settle_s" \
             "src_p50=$(pct "$out/src-$tag.txt" 50) src_p95=$(pct "$out/src-$tag.txt" 95)"
    ' sh "$build" "$out" "$seconds" "$mode" "$scenario" "$tag" "$tick" "$profile" "$settle" "$first" >>"$results"
    [ -n "${5:-}" ] || cat "$out/steady-$tag.txt" >>"$out/latency-$mode-$size.txt"
    if [ "$profile" = 1 ]; then
        echo "bench: hottest functions of the $tag worker (self time; $out/perf-$tag.data)"
        perf report -i "$out/perf-$tag.data" --no-children --sort dso,sym --stdio -g none 2>/dev/null |
            grep -v "^#" | grep -v "^$" | head -n 25
    fi
}

started=$(date +%s)
rm -f "$out"/latency-*.txt
for size in $sizes; do
    bench_display "$out/display-$size.txt" "$size"
    # Twenty distinct frames of a moving test picture, looped by the baseline.
    ffmpeg -hide_banner -nostdin -loglevel error -y -f lavfi -i "testsrc2=s=$size:r=60" -frames:v 20 \
        -pix_fmt bgr0 -f rawvideo "$out/frames-$size.bgr0"
    for mode in $modes; do
        run=1
        while [ $run -le "$runs" ]; do
            echo "bench: $mode $size run $run of $runs"
            run_vistrel "$mode" "$size" "$run"
            run_baseline "$mode" "$size" "$run"
            run=$((run + 1))
        done
    done
    rm -f "$out/frames-$size.bgr0"
done

table=$out/table.txt
{
echo "Vistrel against ffmpeg, median of $runs runs; steady state from ${settle}s to ${seconds}s of each run, first ${first}s"
echo "on their own; cpu in ms per delivered frame; ffmpeg runs ${baseline_seconds}s"
rm -f "$out"/cpu-*.dat
awk -v folder="$out" "$bench_awk"'
    function add(array, key, value) { array[key] = array[key] " " value }
    {
        key = $2 " " $3
        if (!(key in seen)) { seen[key] = 1; order[++count] = key }
        frames = field("frames") + 0
        cpu = frames > 0 ? 1000 * field("cpu_s") / frames : 0
        if ($1 == "vistrel") {
            add(vfps, key, field("fps")); add(vcpu, key, cpu); add(p50, key, field("p50")); add(p95, key, field("p95"))
            add(pmax, key, field("max")); add(ffps, key, field("first_fps")); add(fp50, key, field("first_p50"))
            add(fp95, key, field("first_p95"))
            add(settle, key, field("settle_s"))
            src[key] = field("src_p50")
        } else {
            add(bfps, key, field("fps")); add(bcpu, key, cpu)
        }
    }
    END {
        printf "%-11s %-9s | %6s %6s %6s | %6s %6s %6s %6s %6s %9s | %6s %6s %9s | %8s %6s\n", "", "", "first", "", "",
               "steady", "", "", "", "", "", "ffmpeg", "", "", "", ""
        printf "%-11s %-9s | %6s %6s %6s | %6s %6s %6s %6s %6s %9s | %6s %6s %9s | %8s %6s\n", "mode", "size", "fps",
               "p50ms", "p95ms", "fps", "p50ms", "p95ms", "maxms", "src", "cpu/frame", "fps", "", "cpu/frame",
               "cpu", "settle"
        for (i = 1; i <= count; i++) {
            key = order[i]; split(key, k, " ")
            vc = median(vcpu[key]); bc = median(bcpu[key])
            # Ratios are computed first: a ">" in a printf argument list
            # would redirect the output to a file.
            cpu_ratio = 0; if (bc > 0) cpu_ratio = vc / bc
            settled = settle[key] == "" ? "-" : sprintf("%.0fs", median(settle[key]))
            printf "%-11s %-9s | %6.1f %6.1f %6.1f | %6.1f %6.1f %6.1f %6.1f %6s %9.2f | %6.1f %6s %9.2f | %7.2fx %6s\n",
                   k[1], k[2], median(ffps[key]), median(fp50[key]), median(fp95[key]), median(vfps[key]),
                   median(p50[key]), median(p95[key]), median(pmax[key]), src[key], vc, median(bfps[key]), "", bc,
                   cpu_ratio, settled
            split(k[2], wh, "x")
            printf "%s %d %.3f %.3f\n", k[2], wh[1] * wh[2], vc, bc > (folder "/cpu-" k[1] ".dat")
        }
    }' "$results"
echo "latency: balanced and fast from the vertical blank's time; compatible from its bitmap watermark,"
echo "         which it stamps after the read-back and conversion, so only encoding and sending are in it;"
echo "         src: from the vertical blank as the virtual display stamps it"
echo "cpu: the mode's cpu/frame over ffmpeg's"
} | tee "$table"

# The plot: steady-state latency as a cumulative distribution per mode and
# size, and CPU per frame against megapixels per frame with the baseline.
if command -v gnuplot >/dev/null; then
    plot=$out/e2e.gp
    {
        echo "set terminal pngcairo size 1400,560 font 'sans,10'"
        echo "set output '$out/e2e.png'"
        echo "set multiplot layout 1,2"
        echo "set title 'Steady-state latency (watermark to last datagram)'"
        echo "set xlabel 'latency, ms (log scale)'; set ylabel 'share of frames at or below'; set key bottom right; set grid"
        echo "set logscale x"
        printf "plot"
        sep=""
        for f in "$out"/latency-*.txt; do
            [ -s "$f" ] || continue
            sort -n -o "$f" "$f"
            name=$(basename "$f" .txt); name=${name#latency-}
            n=$(wc -l <"$f")
            printf "%s '%s' using 1:((\$0+1)/%d) with lines lw 2 title '%s'" "$sep" "$f" "$n" "$name"
            sep=","
        done
        [ -n "$sep" ] || printf " 0 notitle"
        echo
        echo "set title 'CPU per frame against pixels per frame'"
        echo "unset logscale x"
        echo "set xlabel 'megapixels per frame'; set ylabel 'CPU ms per frame'; set key top left"
        printf "plot"
        sep=""
        for m in $modes; do
            [ -s "$out/cpu-$m.dat" ] || continue
            printf "%s '%s' using (\$2/1e6):3 with linespoints lw 2 title '%s'" "$sep" "$out/cpu-$m.dat" "$m"
            printf ", '%s' using (\$2/1e6):4 with linespoints dt 2 lw 2 title 'ffmpeg as %s'" "$out/cpu-$m.dat" "$m"
            sep=","
        done
        [ -n "$sep" ] || printf " 0 notitle"
        echo
        echo "unset multiplot"
    } >"$plot"
    if gnuplot "$plot" 2>"$out/gnuplot.log"; then
        echo "plot: $out/e2e.png"
    else
        echo "bench: gnuplot failed (see $out/gnuplot.log)" >&2
    fi
else
    echo "bench: gnuplot is not installed (scripts/setup.sh installs it); no plot" >&2
fi
echo "(raw results: $results; table: $table; took $(( $(date +%s) - started ))s)"

# Following the scanout: each mode at 1280x720 on the single-buffer display
# and on one that page-flips over three buffers at every blank, latency from
# the display's own stamp (the blank at which the picture went on screen) to
# the frame's last datagram at the relay. BENCH_WORLDS=0 leaves it out.
if [ "${BENCH_WORLDS:-1}" != 0 ]; then
    results=$out/results-worlds.txt
    : >"$results"
    size=1280x720
    for world in single flip; do
        flips=""
        [ "$world" = single ] || flips="pageflip crtc=50 fbs=200,201,202"
        bench_display "$out/display-$world-$size.txt" "$size" 3 "$flips"
    done
    for mode in $modes; do
        run=1
        while [ $run -le "$runs" ]; do
            echo "bench: $mode $size run $run of $runs, single buffer and flipping"
            for world in single flip; do
                run_vistrel "$mode" "$size" "$run" "$out/display-$world-$size.txt" "$world"
            done
            run=$((run + 1))
        done
    done
    echo
    echo "Single buffer against page flipping at $size, median of $runs runs; latency from the display's stamp"
    awk "$bench_awk"'
        {
            key = $2 " " $5
            if (!($2 in seen)) { seen[$2] = 1; order[++count] = $2 }
            fps[key] = fps[key] " " field("fps"); sp50[key] = sp50[key] " " field("src_p50")
            sp95[key] = sp95[key] " " field("src_p95")
        }
        END {
            printf "%-11s %-7s | %6s %9s %9s | %s\n", "mode", "display", "fps", "src p50ms", "src p95ms", "fps flip/single"
            for (i = 1; i <= count; i++) {
                single = median(fps[order[i] " single"]); flip = median(fps[order[i] " flip"])
                ratio = 0; if (single > 0) ratio = flip / single
                for (w = 1; w <= 2; w++) {
                    world = (w == 1) ? "single" : "flip"; key = order[i] " " world
                    printf "%-11s %-7s | %6.1f %9.1f %9.1f |", order[i], world, median(fps[key]), median(sp50[key]),
                           median(sp95[key])
                    if (w == 2) printf " %.3f", ratio
                    printf "\n"
                }
            }
        }' "$results"
    echo "(raw results: $results)"
fi

# Composing the planes: each mode at 1920x1080 on a display showing its
# primary plane alone and on one with one more plane over it (a translucent
# 960x540 ARGB overlay at an offset, moving a little every blank), process
# CPU per delivered frame and the ratio in the same run. BENCH_PLANES=0
# leaves it out.
if [ "${BENCH_PLANES:-1}" != 0 ]; then
    results=$out/results-planes.txt
    : >"$results"
    size=1920x1080
    bench_display "$out/display-primary-$size.txt" "$size" 1
    bench_display "$out/display-overlay-$size.txt" "$size" 1 \
        "framebuffer 300 960x540 AR24 fill=0x80ff8000
plane 60 crtc=50 fb=300 at=300,200 move=1,1"
    for mode in $modes; do
        run=1
        while [ $run -le "$runs" ]; do
            echo "bench: $mode $size run $run of $runs, primary alone and with an overlay"
            for world in primary overlay; do
                run_vistrel "$mode" "$size" "$run" "$out/display-$world-$size.txt" "$world"
            done
            run=$((run + 1))
        done
    done
    echo
    echo "One more plane at $size, median of $runs runs; cpu in ms per delivered frame"
    awk "$bench_awk"'
        {
            key = $2 " " $5
            if (!($2 in seen)) { seen[$2] = 1; order[++count] = $2 }
            frames = field("frames") + 0
            cpu[key] = cpu[key] " " (frames > 0 ? 1000 * field("cpu_s") / frames : 0)
            fps[key] = fps[key] " " field("fps")
        }
        END {
            printf "%-11s | %9s %9s | %9s %9s | %s\n", "mode", "fps alone", "cpu alone", "fps +1", "cpu +1", "cpu ratio"
            for (i = 1; i <= count; i++) {
                a = median(cpu[order[i] " primary"]); b = median(cpu[order[i] " overlay"])
                printf "%-11s | %9.1f %9.2f | %9.1f %9.2f | %.2f\n", order[i], median(fps[order[i] " primary"]), a,
                       median(fps[order[i] " overlay"]), b, (a > 0 ? b / a : 0)
            }
        }' "$results"
    echo "(raw results: $results)"
fi

# Deep colour: each mode at 1920x1080 on a display scanning out each
# format (the virtual display's picture, with its ramp band), process CPU
# per delivered frame and its ratio to XR24 in the same run.
formats=${BENCH_FORMATS-XR24 XR30 AR30 XB30 AB30 XR48 AR48 XB48 AB48 XR4H AR4H XB4H AB4H RG16 P010 PQ}
if [ -n "$formats" ]; then
    results=$out/results-formats.txt
    : >"$results"
    size=1920x1080
    for format in $formats; do
        bench_display "$out/display-$format-$size.txt" "$size" 1
        if [ "$format" = PQ ]; then
            sed -i 's/ XR24$/ XR30/; s/encoders=80$/encoders=80 hdr=pq maxcll=1000/' "$out/display-$format-$size.txt"
        else
            sed -i "s/ XR24\$/ $format/" "$out/display-$format-$size.txt"
        fi
    done
    for mode in $modes; do
        run=1
        while [ $run -le "$runs" ]; do
            echo "bench: $mode $size run $run of $runs, formats $formats"
            for format in $formats; do
                run_vistrel "$mode" "$size" "$run" "$out/display-$format-$size.txt" "$format"
            done
            run=$((run + 1))
        done
    done
    echo
    echo "Deep-colour formats at $size, median of $runs runs; cpu in ms per delivered frame, ratio to XR24"
    awk "$bench_awk"'
        {
            key = $2 " " $5
            if (!($2 in seen)) { seen[$2] = 1; modes[++nmodes] = $2 }
            if (!($5 in fseen)) { fseen[$5] = 1; formats[++nformats] = $5 }
            frames = field("frames") + 0
            cpu[key] = cpu[key] " " (frames > 0 ? 1000 * field("cpu_s") / frames : 0)
            fps[key] = fps[key] " " field("fps")
        }
        END {
            printf "%-6s", "format"
            for (m = 1; m <= nmodes; m++) printf " | %-11s %6s %7s %6s", modes[m], "fps", "cpu", "ratio"
            printf "\n"
            for (f = 1; f <= nformats; f++) {
                printf "%-6s", formats[f]
                for (m = 1; m <= nmodes; m++) {
                    base = median(cpu[modes[m] " XR24"]); c = median(cpu[modes[m] " " formats[f]])
                    printf " | %-11s %6.1f %7.2f %6.2f", "", median(fps[modes[m] " " formats[f]]), c, (base > 0 ? c / base : 0)
                }
                printf "\n"
            }
        }' "$results"
    echo "(raw results: $results)"
fi
