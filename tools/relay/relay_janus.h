// The relay's side of a Janus streaming mountpoint: the request that makes
// an RTP mountpoint for the stream's codec, and a small client of Janus's
// HTTP API on 127.0.0.1 that makes it again when the codec changes.
#pragma once

#include <cstdint>
#include <string>

struct RelayJanusMountpoint {
    int64_t id = 1;
    int codec = 0;          // RelayCodec
    int payload_type = 96;
    int rtp_port = 0;       // on 127.0.0.1
    int rtcp_port = 0;      // on 127.0.0.1, where the viewers' feedback comes from
};

// The streaming plugin's "create" request body (JSON) for the mountpoint.
std::string relay_janus_create_request(const RelayJanusMountpoint &mountpoint);

// Through the HTTP API on 127.0.0.1:api_port: opens a session, attaches the
// streaming plugin, destroys the mountpoint (if any) and creates it for the
// codec, then closes the session; viewers of the old one are ended and
// reconnect. Each exchange waits at most timeout_ms. Returns 0, or -1 with
// the reason in *error.
int relay_janus_remake_mountpoint(int api_port, const RelayJanusMountpoint &mountpoint, int timeout_ms,
                                  std::string *error);

// The number after "key": in the JSON text, looking from the first place
// where `within` appears (empty: the start). Returns 0, or -1 when absent.
int relay_janus_json_number(const std::string &json, const std::string &within, const std::string &key,
                            int64_t *out);
