// The relay's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/relay/relay_text.h"

// One WebRTC server (Janus) that the relay feeds.
struct RelayJanusServer {
    std::string host = "127.0.0.1";  // IPv4 address of its mountpoint's RTP and RTCP ports
    int rtp_port = 0;
    int rtcp_port = 0;
    std::string api_url;     // base URL of its HTTP API ("http://HOST:PORT/janus"), "": not used
    std::string token_file;  // file holding the secret sent as "token" in every API request, "": none
    std::string ca_file;     // certificates to trust for an https API, "": the system's
};

struct RelayOptions {
    int codec = CODEC_TYPE_H264;
    std::vector<RelayScheduledRecord> sends;
    bool query_config = false;
    int udp_port = 5004;
    std::string sdp_path = "/tmp/vistrel-relay.sdp";
    std::string record_path;
    std::string snapshot_path;
    int64_t snapshot_frame = 0;
    bool latency = false;
    bool per_frame = false;
    bool bitmap_digits = false;
    bool source_stamp = false;
    double duration_s = 0;
    int64_t idle_exit_ms = 0;
    int janus_port = 0;       // a WebRTC server's RTP port on 127.0.0.1, 0: none
    int janus_rtcp_port = 0;  // its RTCP port (0: janus_port + 1)
    int janus_api_port = 0;   // its HTTP API on 127.0.0.1, 0: not used
    int64_t janus_mountpoint = 1;
    // Every server the stream goes to: those of --janus, or the one of
    // --janus-port; empty when none.
    std::vector<RelayJanusServer> janus_servers;
};

// The text --help prints.
const char *relay_usage();

// Parses argv into *options; messages go to standard error, --help's text
// to standard output. Returns 0 to run, 1 after --help, -1 on a bad
// command line.
int relay_parse_options(int argc, char **argv, RelayOptions *options);

// True when the options ask for the stream to be decoded (latency, a
// recording or a snapshot).
bool relay_options_decoding(const RelayOptions &options);
