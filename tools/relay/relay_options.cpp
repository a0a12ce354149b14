#include "tools/relay/relay_options.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kUsage[] =
    "Usage: vistrel-relay [options]\n"
    "\n"
    "Receives the capture program's RTP datagrams on /tmp/rtp.sock, checks and\n"
    "counts them, accepts its control connections on /tmp/rtcp.sock, and prints\n"
    "a key=value summary on standard output when it ends.\n"
    "\n"
    "Options:\n"
    "  --codec NAME         codec of the stream: h264 (default), h265, vp8, vp9, av1;\n"
    "                       a CONFIG reply naming another codec replaces it\n"
    "  --send MS:RECORD     send RECORD on the control connection MS milliseconds\n"
    "                       after the first one was accepted (repeatable; \\n, \\r,\n"
    "                       \\t, \\\\ and \\xHH escapes are turned into bytes)\n"
    "  --query-config       send CONFIG on every new control connection\n"
    "  --udp-port N         forward every datagram to 127.0.0.1:N (default 5004, 0: off)\n"
    "  --sdp FILE           SDP file describing the forwarded stream\n"
    "                       (default /tmp/vistrel-relay.sdp)\n"
    "  --record FILE        record the stream through FFmpeg's RTP demuxer; the\n"
    "                       container follows the extension (.mkv, .mp4, .h264, ...);\n"
    "                       a later stream (new SSRC) goes to FILE-N.ext\n"
    "  --snapshot FILE.png  save one decoded frame as PNG\n"
    "  --snapshot-frame N   which decoded frame to save (default 0)\n"
    "  --latency            decode every frame and read its time watermark\n"
    "  --per-frame          with --latency, one frame_latency line per frame\n"
    "  --watermark KIND     the watermark's digits: segments (default, the GPU\n"
    "                       modes) or bitmap (the compatible mode's font);\n"
    "                       source (may be given besides one of those) also\n"
    "                       reads the virtual display's own stamp of every frame\n"
    "                       and reports the source_latency figures\n"
    "  --duration SECONDS   stop after this long (default: until SIGINT/SIGTERM)\n"
    "  --idle-exit MS       stop MS milliseconds after the last datagram\n"
    "  --janus-port N       also forward the stream to a Janus streaming mountpoint\n"
    "                       whose RTP port is 127.0.0.1:N, and turn its viewers'\n"
    "                       feedback into control records (IDR, BPS:)\n"
    "  --janus-rtcp-port N  the mountpoint's RTCP port (default: the RTP port + 1)\n"
    "  --janus-api PORT     Janus's HTTP API on 127.0.0.1:PORT: when the stream's\n"
    "                       codec changes, the mountpoint is made again for it\n"
    "  --janus-mountpoint ID  the mountpoint's id (default 1)\n"
    "  --janus HOST:PORT[/RTCPPORT]  feed a Janus mountpoint at HOST (IPv4) whose RTP\n"
    "                       port is PORT and RTCP port RTCPPORT (default PORT+1);\n"
    "                       repeat it to feed several servers the same stream\n"
    "                       (their feedback is combined); instead of --janus-port\n"
    "  --janus-api [HOST:]PORT|URL  with --janus, the API of the server given\n"
    "                       before it (HOST defaults to that server's; a URL such\n"
    "                       as https://HOST:8089/janus for TLS)\n"
    "  --janus-token-file PATH  send the secret in PATH as \"token\" (and as the\n"
    "                       streaming plugin's admin_key) in every API request of\n"
    "                       the server given before it (or of --janus-port's)\n"
    "  --janus-ca-file PATH  trust the certificates in PATH for that server's https API\n"
    "  --help               show this text\n"
    "\n"
    "Each line on standard input is sent as one control record (same escapes).\n"
    "Standard output: ready=1 once both sockets listen, sent=RECORD, reply=RECORD and config.KEY=VALUE lines for\n"
    "control traffic, frame_latency lines, feedback_port=N with --janus-port, then the summary. Messages go to\n"
    "standard error.\n";

bool parse_int(const char *text, int64_t min, int64_t max, int64_t *out)
{
    char *end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (errno || end == text || *end || v < min || v > max)
        return false;
    *out = v;
    return true;
}

// The dotted IPv4 address of host (a name is looked up). False when it has none.
bool ipv4_address(const std::string &host, std::string *out)
{
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) == 1) {
        *out = host;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
        return false;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr, text, sizeof(text));
    freeaddrinfo(found);
    *out = text;
    return true;
}

// HOST:PORT[/RTCPPORT] into a server (the RTCP port defaults to PORT+1).
bool parse_janus_server(const std::string &text, RelayJanusServer *s)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    const std::string ports = text.substr(colon + 1);
    const size_t slash = ports.find('/');
    int64_t rtp = 0, rtcp = 0;
    if (!parse_int(ports.substr(0, slash).c_str(), 1, 65535, &rtp))
        return false;
    if (slash != std::string::npos ? !parse_int(ports.substr(slash + 1).c_str(), 1, 65535, &rtcp)
                                   : (rtcp = rtp + 1) > 65535)
        return false;
    if (!ipv4_address(text.substr(0, colon), &s->host))
        return false;
    s->rtp_port = int(rtp);
    s->rtcp_port = int(rtcp);
    return true;
}

// [HOST:]PORT (HOST defaulting to default_host) or an http(s) URL into the
// API's base URL; a URL without a path gets Janus's "/janus".
bool parse_janus_api(const std::string &text, const std::string &default_host, std::string *url)
{
    if (text.rfind("http://", 0) == 0 || text.rfind("https://", 0) == 0) {
        const size_t host_at = text.find("://") + 3;
        if (host_at == text.size() || text[host_at] == '/')
            return false;
        *url = text.find('/', host_at) == std::string::npos ? text + "/janus" : text;
        return true;
    }
    const size_t colon = text.rfind(':');
    const std::string host = colon == std::string::npos ? default_host : text.substr(0, colon);
    int64_t port = 0;
    if (host.empty() || !parse_int(text.c_str() + (colon == std::string::npos ? 0 : colon + 1), 1, 65535, &port))
        return false;
    *url = "http://" + host + ":" + std::to_string(port) + "/janus";
    return true;
}

}  // namespace

const char *relay_usage()
{
    return kUsage;
}

int relay_parse_options(int argc, char **argv, RelayOptions *o)
{
    // --janus-api, --janus-token-file and --janus-ca-file apply to the
    // --janus given before them, or without any to the one of --janus-port.
    RelayJanusServer single;
    auto target = [&]() -> RelayJanusServer & { return o->janus_servers.empty() ? single : o->janus_servers.back(); };
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char **v) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "[Relay] %s needs a value\n", a.c_str());
                return false;
            }
            *v = argv[++i];
            return true;
        };
        const char *v = nullptr;
        int64_t n = 0;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 1;
        } else if (a == "--codec") {
            if (!value(&v))
                return -1;
            o->codec = relay_codec_from_name(v);
            if (o->codec < 0) {
                std::fprintf(stderr, "[Relay] unknown codec: %s\n", v);
                return -1;
            }
        } else if (a == "--send") {
            if (!value(&v))
                return -1;
            RelayScheduledRecord r;
            if (relay_parse_send(v, &r) != 0) {
                std::fprintf(stderr, "[Relay] --send wants MS:RECORD, got: %s\n", v);
                return -1;
            }
            o->sends.push_back(r);
        } else if (a == "--query-config") {
            o->query_config = true;
        } else if (a == "--udp-port") {
            if (!value(&v) || !parse_int(v, 0, 65535, &n)) {
                std::fprintf(stderr, "[Relay] --udp-port wants a port number\n");
                return -1;
            }
            o->udp_port = int(n);
        } else if (a == "--sdp") {
            if (!value(&v))
                return -1;
            o->sdp_path = v;
        } else if (a == "--record") {
            if (!value(&v))
                return -1;
            o->record_path = v;
        } else if (a == "--snapshot") {
            if (!value(&v))
                return -1;
            o->snapshot_path = v;
        } else if (a == "--snapshot-frame") {
            if (!value(&v) || !parse_int(v, 0, INT64_MAX, &n)) {
                std::fprintf(stderr, "[Relay] --snapshot-frame wants a frame index\n");
                return -1;
            }
            o->snapshot_frame = n;
        } else if (a == "--latency") {
            o->latency = true;
        } else if (a == "--per-frame") {
            o->per_frame = true;
        } else if (a == "--watermark") {
            if (value(&v) && std::strcmp(v, "source") == 0) {
                o->source_stamp = true;
                continue;
            }
            if (!v || (std::strcmp(v, "segments") != 0 && std::strcmp(v, "bitmap") != 0)) {
                std::fprintf(stderr, "[Relay] --watermark wants segments, bitmap or source\n");
                return -1;
            }
            o->bitmap_digits = std::strcmp(v, "bitmap") == 0;
        } else if (a == "--duration") {
            if (!value(&v))
                return -1;
            char *end = nullptr;
            o->duration_s = std::strtod(v, &end);
            if (end == v || *end || !(o->duration_s > 0) || !std::isfinite(o->duration_s)) {
                std::fprintf(stderr, "[Relay] --duration wants a positive number of seconds\n");
                return -1;
            }
        } else if (a == "--idle-exit") {
            if (!value(&v) || !parse_int(v, 1, INT64_MAX / 1000000, &n)) {
                std::fprintf(stderr, "[Relay] --idle-exit wants milliseconds\n");
                return -1;
            }
            o->idle_exit_ms = n;
        } else if (a == "--janus") {
            RelayJanusServer server;
            if (!value(&v) || !parse_janus_server(v, &server)) {
                std::fprintf(stderr, "[Relay] --janus wants HOST:PORT[/RTCPPORT] with an IPv4 HOST\n");
                return -1;
            }
            o->janus_servers.push_back(server);
        } else if (a == "--janus-api" && !o->janus_servers.empty()) {
            if (!value(&v) || !parse_janus_api(v, target().host, &target().api_url)) {
                std::fprintf(stderr, "[Relay] --janus-api wants [HOST:]PORT or an http(s) URL\n");
                return -1;
            }
        } else if (a == "--janus-token-file" || a == "--janus-ca-file") {
            if (!value(&v))
                return -1;
            if (access(v, R_OK) != 0) {
                std::fprintf(stderr, "[Relay] %s %s: %s\n", a.c_str(), v, strerror(errno));
                return -1;
            }
            (a == "--janus-token-file" ? target().token_file : target().ca_file) = v;
        } else if (a == "--janus-port" || a == "--janus-rtcp-port" || a == "--janus-api") {
            if (!value(&v) || !parse_int(v, 1, 65535, &n)) {
                std::fprintf(stderr, "[Relay] %s wants a port number\n", a.c_str());
                return -1;
            }
            int *port = a == "--janus-port"  ? &o->janus_port
                        : a == "--janus-api" ? &o->janus_api_port
                                             : &o->janus_rtcp_port;
            *port = int(n);
        } else if (a == "--janus-mountpoint") {
            if (!value(&v) || !parse_int(v, 1, INT32_MAX, &n)) {
                std::fprintf(stderr, "[Relay] --janus-mountpoint wants a mountpoint id\n");
                return -1;
            }
            o->janus_mountpoint = n;
        } else {
            std::fprintf(stderr, "[Relay] unknown option: %s (see --help)\n", a.c_str());
            return -1;
        }
    }
    if (o->janus_port != 0 && o->janus_rtcp_port == 0)
        o->janus_rtcp_port = o->janus_port == 65535 ? 0 : o->janus_port + 1;
    if ((o->janus_rtcp_port != 0 || o->janus_api_port != 0) && o->janus_port == 0) {
        std::fprintf(stderr, "[Relay] --janus-rtcp-port and --janus-api need --janus-port (--janus-api: or a --janus before it)\n");
        return -1;
    }
    if (o->janus_port != 0 && o->janus_rtcp_port == 0) {
        std::fprintf(stderr, "[Relay] --janus-port 65535 leaves no RTCP port; give --janus-rtcp-port\n");
        return -1;
    }
    if (!o->janus_servers.empty() && o->janus_port != 0) {
        std::fprintf(stderr, "[Relay] --janus and --janus-port cannot be mixed: give every server as --janus\n");
        return -1;
    }
    if (!o->janus_servers.empty() && (!single.token_file.empty() || !single.ca_file.empty())) {
        std::fprintf(stderr, "[Relay] --janus-token-file and --janus-ca-file apply to the --janus before them\n");
        return -1;
    }
    if (o->janus_port != 0) {
        single.rtp_port = o->janus_port;
        single.rtcp_port = o->janus_rtcp_port;
        if (o->janus_api_port != 0)
            single.api_url = "http://127.0.0.1:" + std::to_string(o->janus_api_port) + "/janus";
        o->janus_servers.push_back(single);
    } else if (o->janus_servers.empty() && (!single.token_file.empty() || !single.ca_file.empty())) {
        std::fprintf(stderr, "[Relay] --janus-token-file and --janus-ca-file need --janus or --janus-port\n");
        return -1;
    }
    return 0;
}

bool relay_options_decoding(const RelayOptions &options)
{
    return options.latency || options.source_stamp || !options.record_path.empty() || !options.snapshot_path.empty();
}
