#!/bin/sh
# Installs the Debian packages Vistrel needs, by role, and does nothing when
# they are already installed.
#
#   setup.sh run    what building and running need: the compiler and the
#                   libraries, FFmpeg's tools, Janus and its page scripts, the
#                   isolation tools. The demo asks for this and nothing more:
#                   it never installs a kernel, an emulator or a browser.
#   setup.sh test   (the default) all of the above, and what only the tests
#                   and benchmarks need: GoogleTest and Google Benchmark,
#                   qemu with a kernel image, its headers and source for the
#                   kernel test, Chromium and the WebRTC viewers for the
#                   browser tests, clang for the fuzz stage, gnuplot and perf,
#                   ccache so that the test stages' builds share their work.
set -eu

role="${1:-test}"

RUN_PACKAGES="
build-essential g++ cmake pkg-config git
libavcodec-dev libavformat-dev libavutil-dev libswscale-dev
libdrm-dev libva-dev
libegl-dev libgles-dev libegl-mesa0 libgl1-mesa-dri libglx-mesa0
libcurl4-openssl-dev libjansson-dev
ffmpeg util-linux procps openssl python3
janus libjs-janus-gateway libjs-webrtc-adapter
"

TEST_PACKAGES="
libgtest-dev libgmock-dev libbenchmark-dev
gnuplot-nox libcap2-bin linux-perf
qemu-system-x86 linux-image-amd64 linux-headers-amd64 linux-source-6.1
busybox-static libdrm-tests cpio kmod bc flex bison libelf-dev xz-utils
chromium python3-aiortc iproute2
clang libclang-rt-14-dev ccache
"

case "$role" in
    run) PACKAGES="$RUN_PACKAGES" ;;
    test) PACKAGES="$RUN_PACKAGES $TEST_PACKAGES" ;;
    *) echo "setup: unknown role $role (run or test)" >&2; exit 2 ;;
esac

missing=""
for p in $PACKAGES; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    case "$status" in
        "install ok installed") ;;
        *) missing="$missing $p" ;;
    esac
done

if [ -z "$missing" ]; then
    exit 0
fi

echo "setup: installing$missing"
if [ "$(id -u)" -ne 0 ]; then
    echo "setup: installing packages needs root" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing
