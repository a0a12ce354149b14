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
#   --api-port N      Janus's API port (default 8088)
#   --admin-port N    Janus's Admin API port, on 127.0.0.1 only (default 7088)
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
#   --token T         the viewing token (letters, digits, '-', '_', '.', '~');
#                     default: the one DIR/viewer.token holds, or a new
#                     random one
#   --tls CERT KEY    serve the page and the API over HTTPS with this PEM
#                     certificate (chain) and key
#
# Janus lets in only requests that carry a token it knows: the viewing token
# (DIR/viewer.token) or the relay's secret (DIR/relay.token, for the
# relay's --janus-token-file), both kept mode 0600 and kept across restarts;
# only the relay's secret can create mountpoints. The page's address, with
# the viewing token in its fragment, is printed on standard output as
# page=URL.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)

usage() {
    sed -n '2,36p' "$0" | sed 's/^# \{0,1\}//' >&2
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

# Waits until an HTTP(S) GET of $1 answers, at most $2 tenths of a second
# (whether a browser would trust the certificate is not checked here).
wait_http() {
    i=0
    while [ $i -lt "$2" ]; do
        if /usr/bin/python3 -c 'import ssl, sys, urllib.request
urllib.request.urlopen(sys.argv[1], timeout=1, context=ssl._create_unverified_context()).read()' "$1" 2>/dev/null; then
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
admin_port=7088
page_port=8080
rtp_port=5006
rtp_addr=127.0.0.1
codec=h264
bind=127.0.0.1
ice=""
token=""
cert=""
key=""
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || usage
    case "$1" in
        --api-port) api_port=$2 ;;
        --admin-port) admin_port=$2 ;;
        --page-port) page_port=$2 ;;
        --rtp-port) rtp_port=$2 ;;
        --rtp-addr) rtp_addr=$2 ;;
        --codec) codec=$2 ;;
        --bind) bind=$2 ;;
        --ice) ice=$2 ;;
        --token)
            token=$2
            [ -n "$token" ] || usage
            ;;
        --tls)
            [ $# -ge 3 ] || usage
            cert=$2
            key=$3
            shift
            ;;
        *) usage ;;
    esac
    shift 2
done
for n in "$api_port" "$admin_port" "$page_port" "$rtp_port"; do
    case "$n" in
        '' | *[!0-9]*) echo "janus.sh: not a port number: $n" >&2; exit 2 ;;
    esac
done
# A token goes into JSON, a configuration file and a URL's fragment as it
# stands, so it keeps to characters that need no escaping in any of them.
valid_token() {
    case "$1" in
        '' | *[!A-Za-z0-9._~-]*) return 1 ;;
    esac
}
if [ -n "$token" ] && ! valid_token "$token"; then
    echo "janus.sh: a token may hold only letters, digits, '-', '_', '.' and '~'" >&2
    exit 2
fi
if [ -n "$cert" ]; then
    for f in "$cert" "$key"; do
        if [ ! -r "$f" ] || [ -d "$f" ]; then
            echo "janus.sh: cannot read $f" >&2
            exit 2
        fi
    done
    # Checked here, where the reason can be said, rather than in Janus's log.
    if ! cert_key=$(openssl x509 -noout -pubkey -in "$cert" 2>/dev/null); then
        echo "janus.sh: $cert is not a PEM certificate" >&2
        exit 2
    fi
    if ! key_key=$(openssl pkey -pubout -in "$key" -passin pass: 2>/dev/null); then
        echo "janus.sh: $key is not a PEM private key without a passphrase" >&2
        exit 2
    fi
    if [ "$cert_key" != "$key_key" ]; then
        echo "janus.sh: $key is not the key of $cert" >&2
        exit 2
    fi
    cert=$(cd "$(dirname "$cert")" && pwd)/$(basename "$cert")
    key=$(cd "$(dirname "$key")" && pwd)/$(basename "$key")
    case "$cert$key" in
        *[\"\\]*) printf '%s\n' "janus.sh: the certificate's and key's paths may not hold '\"' or '\\'" >&2; exit 2 ;;
    esac
fi
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

# Everything written from here on (tokens, secrets, configuration) is for
# this user alone.
umask 077
mkdir -p "$dir/conf" "$dir/plugins" "$dir/transports" "$dir/www"
dir=$(cd "$dir" && pwd)

# Prints the token file $1 holds, after writing 32 random hex digits into
# it when it is missing or empty.
secret() {
    if [ ! -s "$1" ]; then
        od -An -N16 -tx1 /dev/urandom | tr -d ' \n' > "$1.new"
        mv "$1.new" "$1"
    fi
    chmod 600 "$1"
    cat "$1"
}
if [ -n "$token" ]; then
    printf '%s' "$token" > "$dir/viewer.token.new"
    mv "$dir/viewer.token.new" "$dir/viewer.token"
fi
token=$(secret "$dir/viewer.token")
relay_secret=$(secret "$dir/relay.token")
admin_secret=$(secret "$dir/admin.secret")
for t in "$token" "$relay_secret" "$admin_secret"; do
    if ! valid_token "$t"; then
        echo "janus.sh: a token file in $dir holds characters a token may not have" >&2
        exit 1
    fi
done

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
    admin_secret = "$admin_secret"
    token_auth = true
}
media: {
    rtp_port_range = "20000-40000"
}
nat: {
    ice_ignore_list = "vmnet"
    $ice_line
}
EOF
if [ -n "$cert" ]; then
    scheme=https
    api_lines="http = false
    https = true
    secure_port = $api_port
    secure_ip = \"$bind\""
else
    scheme=http
    api_lines="http = true
    port = $api_port
    ip = \"$bind\"
    https = false"
fi
cat > "$dir/conf/janus.transport.http.jcfg" <<EOF
general: {
    json = "plain"
    base_path = "/janus"
    $api_lines
}
admin: {
    admin_base_path = "/admin"
    admin_http = true
    admin_port = $admin_port
    admin_ip = "127.0.0.1"
    admin_https = false
}
certificates: {
    cert_pem = "$cert"
    cert_key = "$key"
}
EOF
cat > "$dir/conf/janus.plugin.streaming.jcfg" <<EOF
general: {
    admin_key = "$relay_secret"
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
# Janus keeps its tokens in memory only: every start registers both again
# through the Admin API, then waits for the public API. Another program
# answering on a port does not count: ours must still run.
if ! { /usr/bin/python3 "$here/scripts/janus-tokens.py" --admin-port "$admin_port" --admin-secret-file "$dir/admin.secret" \
           --api "$scheme://$bind:$api_port/janus" "$dir/viewer.token" "$dir/relay.token" &&
       alive "$dir/janus.pid"; }; then
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
    if [ -n "$cert" ]; then
        set -- --cert "$cert" --key "$key"
    else
        set --
    fi
    /usr/bin/python3 "$here/tools/viewer/serve.py" --bind "$bind" --port "$page_port" --directory "$dir/www" "$@" \
        > "$dir/page.log" 2>&1 &
    echo $! > "$dir/page.pid"
    if ! wait_http "$scheme://$bind:$page_port/index.html" 50; then
        echo "janus.sh: the page server did not come up; its log:" >&2
        tail -n 20 "$dir/page.log" >&2 || true
        stop_pid "$dir/page.pid"
        stop_pid "$dir/janus.pid"
        exit 1
    fi
fi
if [ "$page_port" != 0 ]; then
    echo "page=$scheme://$bind:$page_port/?janus=$api_port#token=$token"
fi
