// The protocol between the capture program's streamer and the relay, in one
// place for both ends and the tests: the two sockets, the keywords of the
// relay's control records and the fields of the CONFIG reply.
//
//   kRtpSocketPath      datagrams, one RTP packet each, streamer to relay
//   kControlSocketPath  sequenced packets, one text record each: the relay's
//                       requests, and the streamer's CONFIG reply
#pragma once

#include <cstddef>
#include <cstring>

namespace relay_protocol {

inline constexpr char kRtpSocketPath[] = "/tmp/rtp.sock";
inline constexpr char kControlSocketPath[] = "/tmp/rtcp.sock";

// A record is recognised by its first bytes.
struct Keyword {
    const char *text;
    size_t length;
};
template <size_t N>
constexpr Keyword keyword(const char (&text)[N])
{
    return Keyword{text, N - 1};
}

inline constexpr Keyword kSdp = keyword("SDP:");                // SDP:<text>
inline constexpr Keyword kBitrate = keyword("BPS:");            // BPS:<bits per second>
inline constexpr Keyword kKeyframe = keyword("IDR");            // a key frame now
inline constexpr Keyword kResolution = keyword("RESOLUTION:");  // RESOLUTION:<w>x<h>
inline constexpr Keyword kCodec = keyword("CODEC:");            // CODEC:<name>
inline constexpr Keyword kRestart = keyword("RESTART");
inline constexpr Keyword kReconfig = keyword("RECONFIG\n");  // RECONFIG\n<text>
inline constexpr Keyword kConfig = keyword("CONFIG");        // the query; the reply starts "CONFIG\n"
inline constexpr Keyword kMode = keyword("MODE:");           // MODE:<mode>[:sync|fix[:fps]]

// True when the record of length bytes starts with the keyword.
inline bool starts_with(const char *record, size_t length, Keyword keyword)
{
    return length >= keyword.length && std::memcmp(record, keyword.text, keyword.length) == 0;
}

// The CONFIG reply: "CONFIG\n" and one "name=value\n" line per field, in
// this order.
inline constexpr char kConfigReplyHead[] = "CONFIG\n";
inline constexpr char kFieldResolution[] = "resolution";                    // <w>x<h>, encoded
inline constexpr char kFieldUpstreamResolution[] = "upstream_resolution";  // <w>x<h>, captured
inline constexpr char kFieldCodec[] = "codec";                              // display name
inline constexpr char kFieldMode[] = "mode";                                // compatible, balanced, fast
inline constexpr char kFieldVblankSync[] = "vblank_sync";                   // sync or fix
inline constexpr char kFieldFps[] = "fps";
inline constexpr char kFieldUpstreamFps[] = "upstream_fps";  // one decimal
// Only in the reply of a 10-bit stream, after the fields above, in this
// order (the last two only when the connector gives them):
inline constexpr char kFieldDepth[] = "depth";          // 10
inline constexpr char kFieldPrimaries[] = "primaries";  // bt2020 or bt709
inline constexpr char kFieldTransfer[] = "transfer";    // smpte2084, arib-std-b67 or bt709
inline constexpr char kFieldMatrix[] = "matrix";        // bt2020nc or bt709
inline constexpr char kFieldRange[] = "range";          // limited
// Rx,Ry,Gx,Gy,Bx,By,Wx,Wy (CIE 1931, five decimals),Lmax,Lmin (cd/m2)
inline constexpr char kFieldMasteringDisplay[] = "mastering_display";
inline constexpr char kFieldContentLight[] = "content_light";  // MaxCLL,MaxFALL (cd/m2)

}  // namespace relay_protocol
