# What the end-to-end benchmarks share, sourced by run.sh, readback.sh,
# browser.sh and viewers.sh
# and, through $BENCH_LIB, by their one-run scripts in the private /tmp.

# bench_display FILE SIZE [BUFFERS] [LAST-LINE]: a virtual display of SIZE at
# 60 Hz scanning out framebuffer 200, with BUFFERS framebuffers 200, 201, ...
# (default 1) and LAST-LINE (a statement, e.g. a pageflip) at the end.
bench_display() {
    # Plain sh has no local variables: these names are the function's own.
    bench_n=0
    {
        echo "device /dev/dri/card1"
        while [ "$bench_n" -lt "${3:-1}" ]; do
            echo "framebuffer $((200 + bench_n)) $2 XR24"
            bench_n=$((bench_n + 1))
        done
        echo "crtc 50 $2@60 fb=200"
        echo "encoder 80 crtc=50"
        echo "connector 100 DP-3 connected encoders=80"
        [ -z "${4:-}" ] || echo "$4"
    } >"$1"
}

# bench_veth: inside the run's own network namespace, loopback up and a
# veth pair vistrel0 (10.231.0.1) - vistrel1 (10.231.0.2), the addresses
# Janus offers and the browser or the viewers reach it on.
bench_veth() {
    ip link set lo up
    ip link add vistrel0 type veth peer name vistrel1
    ip addr add 10.231.0.1/24 dev vistrel0
    ip addr add 10.231.0.2/24 dev vistrel1
    ip link set vistrel0 up
    ip link set vistrel1 up
}

# bench_stop PID: ends a process (TERM, then KILL after 10 s) and reaps it;
# an empty PID or one already gone does nothing.
bench_stop() {
    [ -n "$1" ] || return 0
    kill -TERM "$1" 2>/dev/null || return 0
    bench_n=0
    while kill -0 "$1" 2>/dev/null && [ $bench_n -lt 100 ]; do sleep 0.1; bench_n=$((bench_n + 1)); done
    kill -KILL "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

# awk functions for the tables: median(LIST), the median of a list of
# numbers separated by spaces (0 for none), and field(NAME), the value of
# the line's NAME=VALUE field (0 when it has none).
bench_awk='
    function median(list,   n, a, i, j, t) {
        n = split(list, a, " ")
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] + 0 < a[i] + 0) { t = a[i]; a[i] = a[j]; a[j] = t }
        if (n == 0) return 0
        return (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    function field(name,   i) {
        for (i = 1; i <= NF; i++) if (index($i, name "=") == 1) return substr($i, length(name) + 2)
        return 0
    }
'
