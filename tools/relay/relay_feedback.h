// The viewers' RTCP feedback, as a WebRTC server sends it back toward the
// stream's source, turned into the control records of the capture program:
// a picture-loss or full-intra request becomes "IDR", a receiver bit-rate
// estimate (REMB) becomes "BPS:<bits per second>".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What one compound RTCP datagram asks for.
struct RelayRtcpFeedback {
    int picture_loss = 0;      // PLI packets
    int full_intra = 0;        // FIR packets
    int bitrate_reports = 0;   // REMB packets
    uint64_t bitrate_bps = 0;  // the smallest REMB estimate among them
    int other = 0;             // valid RTCP packets of any other kind
};

// Parses one datagram as compound RTCP. Returns 0, or -1 when any packet in
// it is not RTCP, is truncated or holds a malformed feedback message; then
// *out says nothing and the whole datagram is to be ignored.
int relay_rtcp_parse(const uint8_t *data, size_t size, RelayRtcpFeedback *out);

// Bounds of the bit rates the relay asks for, and the shortest spacing of
// two records of one kind.
constexpr uint64_t RELAY_FEEDBACK_MIN_BPS = 150000;
constexpr uint64_t RELAY_FEEDBACK_MAX_BPS = 50000000;
constexpr int64_t RELAY_FEEDBACK_IDR_SPACING_NS = 250000000;
constexpr int64_t RELAY_FEEDBACK_BPS_SPACING_NS = 500000000;

// The policy between feedback and records, and its figures.
struct RelayFeedbackState {
    uint64_t datagrams = 0;     // every datagram received on the feedback socket
    uint64_t bad = 0;           // of them, not valid RTCP (ignored)
    uint64_t picture_loss = 0;  // PLI packets
    uint64_t full_intra = 0;    // FIR packets
    uint64_t bitrate_reports = 0;
    uint64_t idr_records = 0;  // "IDR" records asked for
    uint64_t bps_records = 0;  // "BPS:" records asked for
    uint64_t last_bps = 0;     // the value of the last one

    int64_t last_idr_ns = 0;  // monotonic times of the last records, 0: none yet
    int64_t last_bps_ns = 0;
    uint64_t pending_bps = 0;  // smallest estimate not yet sent, 0: none
};

// Takes one received datagram at now_ns (monotonic) and appends the records
// to send now: "IDR" at once unless one went out less than a quarter second
// ago (the key frame it asked for serves this request as well); a bit-rate
// estimate is held as pending and goes out through relay_feedback_due.
void relay_feedback_on_datagram(RelayFeedbackState *state, const uint8_t *data, size_t size, int64_t now_ns,
                                std::vector<std::string> *records);

// Appends "BPS:<n>" when an estimate is pending and the last one went out at
// least half a second ago: the smallest estimate since then, clamped to
// [RELAY_FEEDBACK_MIN_BPS, RELAY_FEEDBACK_MAX_BPS]; a value equal to the last
// one sent is dropped. Returns the nanoseconds until a pending estimate is
// due, or -1 when none is pending.
int64_t relay_feedback_due(RelayFeedbackState *state, int64_t now_ns, std::vector<std::string> *records);

// An empty RTCP receiver report from ssrc (8 bytes): what the relay sends to
// the server's RTCP port so that the server knows where to send feedback.
std::vector<uint8_t> relay_rtcp_empty_report(uint32_t ssrc);
