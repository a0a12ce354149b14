#!/bin/sh
# Exit status 0 when a VA-API device on the render node (default
# /dev/dri/renderD128, the one the fast mode opens) encodes one H.264 frame;
# 1 otherwise. Prints nothing. Used by the demo and the benchmark to choose
# the fast mode only where it can run.
node=${1:-/dev/dri/renderD128}
[ -e "$node" ] || exit 1
command -v ffmpeg >/dev/null || exit 1
exec ffmpeg -hide_banner -loglevel error -nostdin -init_hw_device vaapi=va:"$node" -filter_hw_device va \
    -f lavfi -i testsrc2=s=256x144:r=30 -frames:v 1 -vf format=nv12,hwupload -c:v h264_vaapi \
    -f null - >/dev/null 2>&1
