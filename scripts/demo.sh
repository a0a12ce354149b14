#!/bin/sh
# The main job: builds the project and runs the system on the virtual display.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

helper=build/apps/capture-helper/capture-helper
if [ ! -x "$helper" ]; then
    echo "demo: capture-helper is not built yet in this version of the project;" >&2
    echo "demo: only the relay (build/tools/relay/vistrel-relay --help) can run so far." >&2
    exit 1
fi
