#!/bin/sh
# Starts and stops Janus for watching the stream in a browser, with a
# configuration generated in a private folder (nothing is written to /etc),
# and a small web server for the viewer page beside it.
#
#   scripts/janus.sh start DIR [options]   start Janus (and the page server
#                                           when it is not running yet)
#   scripts/janus.sh stop DIR               stop both
#
# Options of start:
#   --api-port N      Janus's HTTP API port (default 8088)
#   --page-port N     the viewer page's port (default 8080, 0: no page server)
#   --rtp-port N      the mountpoint's RTP port on 127.0.0.1 (default 5006);
#                     its RTCP port is N+1 (run the relay with --janus-port N)
#   --rtp-addr ADDR   the address the mountpoint's ports listen on (default
#                     127.0.0.1; where the relay runs elsewhere, run it with
#                     --janus ADDR:N)
#   --codec NAME      h264 (default), vp8, vp9, h265 or av1
#   --bind ADDR       address the API and the page listen on (default
#                     127.0.0.1; an address of this machine's network to let
#                     other machines watch)
#   --ice LIST        interfaces or addresses Janus offers to browsers
#                     (default: all but loopback)
#
# The page's address is printed on standard output as page=URL.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)

usage() {
    sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

alive() {
    [ -f "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null
}

stop_pid() {
    pidfile=$1
    if alive "$pidfile"; then
        pid=$(cat "$pidfile")
        kill -TERM "$pid" 2>/dev/null || true
        i=0
        while kill -0 "$pid" 2>/dev/null && [ $i -lt 50 ]; do
            sleep 0.1
            i=$((i + 1))
        done
        kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$pidfile"
}

# Waits until an HTTP GET of $1 answers, at most $2 tenths of a second.
wait_http() {
    i=0
    while [ $i -lt "$2" ]; do
        if /usr/bin/python3 -c 'import sys, urllib.request; urllib.request.urlopen(sys.argv[1], timeout=1).read()' "$1" 2>/dev/null; then
            return 0
        fi
        sleep 0.1
        i=$((i + 1))
    done
    return 1
}

[ $# -ge 2 ] || usage
command=$1
dir=$2
shift 2

if [ "$command" = stop ]; then
    stop_pid "$dir/janus.pid"
    stop_pid "$dir/page.pid"
    exit 0
fi
[ "$command" = start ] || usage

api_port=8088
page_port=8080
rtp_port=5006
rtp_addr=127.0.0.1
codec=h264
bind=127.0.0.1
ice=""
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || usage
    case "$1" in
        --api-port) api_port=$2 ;;
        --page-port) page_port=$2 ;;
        --rtp-port) rtp_port=$2 ;;
        --rtp-addr) rtp_addr=$2 ;;
        --codec) codec=$2 ;;
        --bind) bind=$2 ;;
        --ice) ice=$2 ;;
        *) usage ;;
    esac
    shift 2
done
for n in "$api_port" "$page_port" "$rtp_port"; do
    case "$n" in
        '' | *[!0-9]*) echo "janus.sh: not a port number: $n" >&2; exit 2 ;;
    esac
done
fmtp=""
case "$codec" in
    h264) fmtp='videofmtp = "profile-level-id=42e01f;packetization-mode=1"' ;;
    vp8 | vp9 | h265 | av1) ;;
    *) echo "janus.sh: unknown codec: $codec" >&2; exit 2 ;;
esac

janus=$(command -v janus || true)
lib=/usr/lib/x86_64-linux-gnu/janus
if [ -z "$janus" ] || [ ! -e "$lib/plugins/libjanus_streaming.so" ] || [ ! -e "$lib/transports/libjanus_http.so" ]; then
    echo "janus.sh: Janus is not installed (run scripts/setup.sh)" >&2
    exit 1
fi
if alive "$dir/janus.pid"; then
    echo "janus.sh: Janus already runs for $dir (pid $(cat "$dir/janus.pid"))" >&2
    exit 1
fi

mkdir -p "$dir/conf" "$dir/plugins" "$dir/transports" "$dir/www"
# Only the streaming plugin and the HTTP transport are loaded.
ln -sf "$lib/plugins/libjanus_streaming.so" "$dir/plugins/"
ln -sf "$lib/transports/libjanus_http.so" "$dir/transports/"
ice_line=""
[ -n "$ice" ] && ice_line="ice_enforce_list = \"$ice\""

cat > "$dir/conf/janus.jcfg" <<EOF
general: {
    configs_folder = "$dir/conf"
    plugins_folder = "$dir/plugins"
    transports_folder = "$dir/transports"
    events_folder = "$dir/none"
    loggers_folder = "$dir/none"
    debug_level = 4
    admin_secret = "$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')"
}
media: {
    rtp_port_range = "20000-40000"
}
nat: {
    ice_ignore_list = "vmnet"
    $ice_line
}
EOF
cat > "$dir/conf/janus.transport.http.jcfg" <<EOF
general: {
    json = "plain"
    base_path = "/janus"
    http = true
    port = $api_port
    ip = "$bind"
    https = false
}
admin: {
    admin_http = false
}
EOF
cat > "$dir/conf/janus.plugin.streaming.jcfg" <<EOF
general: {
}
vistrel: {
    type = "rtp"
    id = 1
    description = "vistrel"
    video = true
    videoport = $rtp_port
    videortcpport = $((rtp_port + 1))
    videopt = 96
    videocodec = "$codec"
    $fmtp
    videoiface = "$rtp_addr"
}
EOF

"$janus" -C "$dir/conf/janus.jcfg" -F "$dir/conf" -N -o -L "$dir/janus.log" > /dev/null 2>&1 &
echo $! > "$dir/janus.pid"
# Another program answering on the port does not count: ours must still run.
if ! { wait_http "http://$bind:$api_port/janus/info" 100 && alive "$dir/janus.pid"; }; then
    echo "janus.sh: Janus did not come up; its log:" >&2
    tail -n 20 "$dir/janus.log" >&2 || true
    stop_pid "$dir/janus.pid"
    exit 1
fi

if [ "$page_port" != 0 ] && ! alive "$dir/page.pid"; then
    for f in index.html stamps.js viewer.js; do
        ln -sf "$here/tools/viewer/$f" "$dir/www/$f"
    done
    ln -sf /usr/share/javascript/janus-gateway/janus.js "$dir/www/janus.js"
    ln -sf /usr/share/javascript/webrtc-adapter/adapter.js "$dir/www/adapter.js"
    /usr/bin/python3 -m http.server --bind "$bind" --directory "$dir/www" "$page_port" > "$dir/page.log" 2>&1 &
    echo $! > "$dir/page.pid"
    if ! wait_http "http://$bind:$page_port/index.html" 50; then
        echo "janus.sh: the page server did not come up; its log:" >&2
        tail -n 20 "$dir/page.log" >&2 || true
        stop_pid "$dir/page.pid"
        stop_pid "$dir/janus.pid"
        exit 1
    fi
fi
if [ "$page_port" != 0 ]; then
    echo "page=http://$bind:$page_port/?janus=$api_port"
fi
