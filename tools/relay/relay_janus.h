// The relay's side of a Janus streaming mountpoint: the request that makes
// an RTP mountpoint for the stream's codec, and a client of Janus's HTTP(S)
// API (libcurl, JSON through jansson) that makes it again when the codec
// changes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct RelayJanusMountpoint {
    int64_t id = 1;
    int codec = 0;  // CodecType
    int payload_type = 96;
    std::string iface = "127.0.0.1";  // the address whose ports the mountpoint listens on
    int rtp_port = 0;
    int rtcp_port = 0;  // where the viewers' feedback comes from
};

// How to reach one server's API.
struct RelayJanusApi {
    std::string url;         // base URL, "http://HOST:PORT/janus" or https
    std::string token_file;  // holds the secret sent as "token" and the plugin's admin_key; "": none
    std::string ca_file;     // certificates to trust for https; "": the system's
};

// What a reply of Janus says, as far as the relay cares.
struct RelayJanusReply {
    std::string janus;        // "success", "error", ...
    std::string reason;       // the error's reason when janus is "error"
    int64_t id = 0;           // data.id: a new session's or handle's id, 0: none
    int64_t plugin_error = 0; // the streaming plugin's error_code, 0: none
    std::string plugin_reason;
    std::string codec;        // the first medium's codec of an "info" answer, "": none
};

// The streaming plugin's "create" request body (JSON) for the mountpoint;
// admin_key, when not empty, is the plugin's key for making mountpoints.
std::string relay_janus_create_request(const RelayJanusMountpoint &mountpoint, const std::string &admin_key);

// Reads a Janus reply. Returns 0, or -1 when it is no JSON object.
int relay_janus_parse_reply(const std::string &text, RelayJanusReply *out);

// The secret in a token file (trailing blanks and line ends cut). Returns 0,
// or -1 with the reason in *error when it cannot be read or is empty.
int relay_janus_read_token(const std::string &path, std::string *token, std::string *error);

// Through the API: opens a session, attaches the streaming plugin, destroys
// the mountpoint (if any) and creates it for the codec, then closes the
// session; viewers of the old one are ended and reconnect. The token file is
// read anew each time. Each exchange waits at most timeout_ms. Returns 0, or
// -1 with the reason in *error.
int relay_janus_remake_mountpoint(const RelayJanusApi &api, const RelayJanusMountpoint &mountpoint, int timeout_ms,
                                  std::string *error);

// The codec of mountpoint id as Janus names it ("h264", "vp8", ...) into
// *codec. Returns 0, 1 when Janus has no such mountpoint, or -1 with the
// reason in *error.
int relay_janus_mountpoint_codec(const RelayJanusApi &api, int64_t id, int timeout_ms, std::string *codec,
                                 std::string *error);

// A thread that keeps the mountpoint made for the stream's codec: at start,
// whenever relay_janus_keeper_want changes the codec, and every two seconds
// (so a restarted Janus, whose configuration names another codec, follows
// too) it asks Janus for the mountpoint and makes it again when it is
// missing or of another codec. It logs each remake and each new problem on
// standard error, naming the server by its API's URL when `named`; the event
// loop never waits for Janus.
struct RelayJanusKeeper;
RelayJanusKeeper *relay_janus_keeper_start(const RelayJanusApi &api, const RelayJanusMountpoint &mountpoint,
                                           bool named);
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
