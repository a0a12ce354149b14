// The relay's side of a Janus streaming mountpoint: the request that makes
// an RTP mountpoint for the stream's codec, and a small client of Janus's
// HTTP API on 127.0.0.1 that makes it again when the codec changes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct RelayJanusMountpoint {
    int64_t id = 1;
    int codec = 0;  // CodecType
    int payload_type = 96;
    int rtp_port = 0;   // on 127.0.0.1
    int rtcp_port = 0;  // on 127.0.0.1, where the viewers' feedback comes from
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

// The codec of mountpoint id as Janus names it ("h264", "vp8", ...) into
// *codec. Returns 0, 1 when Janus has no such mountpoint, or -1 with the
// reason in *error.
int relay_janus_mountpoint_codec(int api_port, int64_t id, int timeout_ms, std::string *codec, std::string *error);

// A thread that keeps the mountpoint made for the stream's codec: at start,
// whenever relay_janus_keeper_want changes the codec, and every two seconds
// (so a restarted Janus, whose configuration names another codec, follows
// too) it asks Janus for the mountpoint and makes it again when it is
// missing or of another codec. It logs each remake and each new problem on
// standard error; the event loop never waits for Janus.
struct RelayJanusKeeper;
RelayJanusKeeper *relay_janus_keeper_start(int api_port, const RelayJanusMountpoint &mountpoint);
void relay_janus_keeper_want(RelayJanusKeeper *keeper, int codec, int payload_type);
// How many times the mountpoint was made so far.
uint64_t relay_janus_keeper_remakes(RelayJanusKeeper *keeper);
// Stops and joins the thread, frees it; a check or remake under way ends first
// (each of its few exchanges with Janus waits at most a second).
void relay_janus_keeper_stop(RelayJanusKeeper *keeper);

struct RelayJanusKeeperStop {
    void operator()(RelayJanusKeeper *keeper) const { relay_janus_keeper_stop(keeper); }
};
using RelayJanusKeeperPtr = std::unique_ptr<RelayJanusKeeper, RelayJanusKeeperStop>;

// The string after "key": in the JSON text (no escapes inside), looking
// from the first place where `within` appears. Returns 0, or -1.
int relay_janus_json_string(const std::string &json, const std::string &within, const std::string &key,
                            std::string *out);

// The number after "key": in the JSON text, looking from the first place
// where `within` appears (empty: the start). Returns 0, or -1 when absent.
int relay_janus_json_number(const std::string &json, const std::string &within, const std::string &key, int64_t *out);
