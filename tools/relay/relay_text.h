// The relay's text helpers: codec names, the SDP it writes, control
// records given on the command line, and CONFIG replies.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "libs/common/codec_type.h"

// Accepts, in any case, "h264", "h.264", "avc", "h265", "h.265", "hevc",
// "vp8", "vp9", "av1". Returns the codec (a CodecType) or -1 for any
// other name.
int relay_codec_from_name(const std::string &name);

// The RTP encoding name of a codec ("H264", "H265", "VP8", "VP9", "AV1").
const char *relay_codec_rtp_name(int codec);

// The colour of a 10-bit stream, as its CONFIG reply gives it (the fields
// after upstream_fps); depth 8 (the default) is the 8-bit SDR stream.
struct RelayColour {
    int depth = 8;
    std::string primaries, transfer, matrix, range;
    std::string mastering_display;  // empty when the reply had none
    std::string content_light;
};

// The colour fields of a parsed CONFIG reply; a reply without "depth=10"
// gives the 8-bit default.
RelayColour relay_colour_from_config(const std::map<std::string, std::string> &fields);

bool relay_colour_equal(const RelayColour &a, const RelayColour &b);

// An SDP that describes one video stream of the codec with payload type
// `payload_type` arriving as RTP on 127.0.0.1:port. A 10-bit stream (H.265
// or AV1) adds its profile's fmtp line and an "a=x-vistrel-colour:" line
// with the colour description; an 8-bit one's text does not change.
std::string relay_sdp_text(int codec, int payload_type, int port, const RelayColour &colour = RelayColour{});

// Writes text to path through a temporary file and a rename, so a reader
// never sees half a file. Returns 0, or -1 with errno set.
int relay_write_file(const std::string &path, const std::string &text);

// Turns the escapes \n, \r, \t, \\ and \xHH into their bytes; any other
// backslash stays as it is.
std::string relay_unescape(const std::string &text);

// Shows bytes on one line: \n, \r, \t, \\ and \xHH for other unprintables.
std::string relay_escape(const std::string &bytes);

// A control record to send some time after the first control connection.
struct RelayScheduledRecord {
    int64_t delay_ms;
    std::string record;
};

// Parses "DELAY_MS:RECORD" (RECORD may hold escapes). Returns 0, or -1 when
// the delay is missing, not a decimal number, or the record is empty.
int relay_parse_send(const std::string &request, RelayScheduledRecord *out);

// Parses a reply that begins with the line "CONFIG" into its key=value
// lines. Returns 0, or -1 when the record is no CONFIG reply.
int relay_parse_config(const std::string &reply, std::map<std::string, std::string> *fields);
