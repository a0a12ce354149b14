#!/bin/sh
# Installs every Debian package that Vistrel needs to build, run, test and
# benchmark. Does nothing when all of them are already installed.
set -eu

PACKAGES="
build-essential g++ cmake pkg-config git
libavcodec-dev libavformat-dev libavutil-dev libswscale-dev
libdrm-dev libva-dev
libegl-dev libgles-dev libegl-mesa0 libgl1-mesa-dri libglx-mesa0
libgtest-dev libgmock-dev libbenchmark-dev
ffmpeg gnuplot-nox
util-linux libcap2-bin procps linux-perf
qemu-system-x86 linux-image-amd64 linux-headers-amd64 linux-source-6.1
busybox-static libdrm-tests cpio kmod bc flex bison libelf-dev xz-utils
janus libjs-janus-gateway libjs-webrtc-adapter chromium python3 iproute2
clang libclang-rt-14-dev
"

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
