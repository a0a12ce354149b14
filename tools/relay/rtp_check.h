// Checks every datagram that reaches the relay as one RTP packet and keeps
// the figures of the stream: counts, sizes, sequence continuity and the
// steps of the 90 kHz timestamps.
#pragma once

#include <cstddef>
#include <cstdint>

// The largest datagram the capture side may send, RTP header included.
constexpr size_t RELAY_RTP_MAX_DATAGRAM = 1400;

// Verdicts of relay_rtp_check (negative: the datagram is not a valid packet).
enum RelayRtpVerdict : int {
    RELAY_RTP_OK = 0,
    RELAY_RTP_CONTROL = 1,       // an RTCP packet (sender report etc.) on the same socket
    RELAY_RTP_SHORT = -1,        // shorter than its fixed header, CSRCs or extension
    RELAY_RTP_BAD_VERSION = -2,  // version field is not 2
    RELAY_RTP_OVERSIZE = -3,     // more than RELAY_RTP_MAX_DATAGRAM bytes
    RELAY_RTP_BAD_PADDING = -4,  // padding count larger than the payload
};

// The fixed header fields of one packet and where its payload lies.
struct RelayRtpHeader {
    uint8_t version;
    bool marker;
    uint8_t payload_type;
    uint16_t sequence;
    uint32_t timestamp;
    uint32_t ssrc;
    size_t payload_offset;
    size_t payload_size;
};

// Figures of everything seen since relay_rtp_stats_init. A new SSRC starts
// a new stream: its first packet is no gap and no timestamp step.
struct RelayRtpStats {
    uint64_t datagrams;  // every datagram, valid or not
    uint64_t packets;    // valid RTP packets
    uint64_t bytes;      // bytes of the valid packets
    uint64_t largest;    // largest datagram seen (valid or not)
    uint64_t bad_version;
    uint64_t oversize;
    uint64_t malformed;           // too short or bad padding
    uint64_t rtcp_packets;        // RTCP packets the sender's muxer sent along
    uint64_t streams;             // distinct runs of one SSRC
    uint64_t frames;              // packets with the marker bit (ends of frames)
    uint64_t sequence_gaps;       // forward jumps of the sequence number
    uint64_t lost_packets;        // packets missing inside those jumps
    uint64_t out_of_order;        // duplicates or backward steps
    uint64_t timestamp_steps;     // changes of timestamp between packets
    uint64_t timestamp_off_grid;  // steps that are not whole milliseconds (90 ticks)
    uint64_t timestamp_backward;  // steps that go back
    uint32_t timestamp_step_min;  // smallest forward step (0 when none)
    uint32_t timestamp_step_max;  // largest forward step
    uint8_t payload_type;         // of the last valid packet
    uint32_t ssrc;                // of the last valid packet
    uint16_t last_sequence;
    uint32_t last_timestamp;
    int64_t first_arrival_ns;  // CLOCK_REALTIME of the first valid packet
    int64_t last_arrival_ns;   // and of the last one
};

// Starts empty figures.
void relay_rtp_stats_init(RelayRtpStats *stats);

// Parses the header of one datagram into *header (when not null) and
// returns RELAY_RTP_OK, RELAY_RTP_CONTROL for an RTCP packet (second byte
// 192..223, whose header is not parsed), or the first reason it is not a
// valid RTP packet.
int relay_rtp_parse(const uint8_t *data, size_t size, RelayRtpHeader *header);

// Parses and counts one datagram that arrived at arrival_ns; returns the
// verdict of relay_rtp_parse. *new_stream (when not null) tells whether the
// packet opened a new stream (a new SSRC).
int relay_rtp_check(RelayRtpStats *stats, const uint8_t *data, size_t size, int64_t arrival_ns, RelayRtpHeader *header,
                    bool *new_stream);

// Frames per second between the first and the last frame end, or 0.
double relay_rtp_fps(const RelayRtpStats *stats);
