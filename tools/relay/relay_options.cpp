#include "tools/relay/relay_options.h"

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

}  // namespace

const char *relay_usage()
{
    return kUsage;
}

int relay_parse_options(int argc, char **argv, RelayOptions *o)
{
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
        std::fprintf(stderr, "[Relay] --janus-rtcp-port and --janus-api need --janus-port\n");
        return -1;
    }
    if (o->janus_port != 0 && o->janus_rtcp_port == 0) {
        std::fprintf(stderr, "[Relay] --janus-port 65535 leaves no RTCP port; give --janus-rtcp-port\n");
        return -1;
    }
    return 0;
}

bool relay_options_decoding(const RelayOptions &options)
{
    return options.latency || options.source_stamp || !options.record_path.empty() || !options.snapshot_path.empty();
}
