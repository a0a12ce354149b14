#!/bin/sh
# The main job: builds the project, starts capture-helper on the default
# virtual display in a private /tmp, runs a short client session against it
# (set a target, fetch a frame, count a second of events) and prints what it
# got. Exit status 0 when all of it worked.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
./scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target capture-helper vistrel-helper-probe

exec ./scripts/isolated-run --keep "$root" -- sh -c '
    root=$1
    helper=$root/build/apps/capture-helper/capture-helper
    probe=$root/build/tests/helper/vistrel-helper-probe
    log=/tmp/capture-helper.log
    VISTREL_VIRTUAL_DISPLAY=1 "$helper" >"$log" 2>&1 &
    pid=$!
    tries=0
    until grep -q "Server listening on" "$log" 2>/dev/null; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ] || ! kill -0 $pid 2>/dev/null; then
            echo "demo: capture-helper did not start:" >&2
            cat "$log" >&2
            exit 1
        fi
        sleep 0.1
    done
    echo "demo: capture-helper (pid $pid) on the virtual display; client session:"
    status=0
    "$probe" /dev/dri/card1 dp-3 || status=$?
    kill $pid 2>/dev/null || true
    wait $pid 2>/dev/null || true
    if [ $status -ne 0 ]; then
        echo "demo: the client session failed; capture-helper said:" >&2
        cat "$log" >&2
    fi
    exit $status' sh "$root"
