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

// Bounds of the bit rates the relay asks for, the shortest spacing of two
// records of one kind, and how long a server's last estimate counts.
constexpr uint64_t RELAY_FEEDBACK_MIN_BPS = 150000;
constexpr uint64_t RELAY_FEEDBACK_MAX_BPS = 50000000;
constexpr int64_t RELAY_FEEDBACK_IDR_SPACING_NS = 250000000;
constexpr int64_t RELAY_FEEDBACK_BPS_SPACING_NS = 500000000;
constexpr int64_t RELAY_FEEDBACK_BPS_RECENT_NS = 2000000000;

// One server's bit-rate estimate.
struct RelayFeedbackEstimate {
    uint64_t bps = 0;           // clamped; 0: none yet
    int64_t at_ns = 0;          // when its last estimate came
    bool since_record = false;  // it came after the last "BPS:" record
};

// The policy between the servers' feedback and the records, and its figures.
struct RelayFeedbackState {
    uint64_t datagrams = 0;     // every datagram received on the feedback sockets
    uint64_t bad = 0;           // of them, not valid RTCP (ignored)
    uint64_t picture_loss = 0;  // PLI packets
    uint64_t full_intra = 0;    // FIR packets
    uint64_t bitrate_reports = 0;
    uint64_t idr_records = 0;  // "IDR" records asked for
    uint64_t bps_records = 0;  // "BPS:" records asked for
    uint64_t last_bps = 0;     // the value of the last one

    int64_t last_idr_ns = 0;  // monotonic times of the last records, 0: none yet
    int64_t last_bps_ns = 0;
    bool bps_pending = false;                     // an estimate came since the last record
    std::vector<RelayFeedbackEstimate> estimates;  // by server, grown as servers report
};

// Takes one datagram received from server (0, 1, ...) at now_ns (monotonic)
// and appends the records to send now. Whichever server asks, "IDR" goes out
// at once unless one went out less than a quarter second ago (the key frame
// it asked for serves this request as well). A bit-rate estimate becomes the
// server's estimate (the smallest it sent since the last "BPS:" record) and
// goes out through relay_feedback_due.
void relay_feedback_on_datagram(RelayFeedbackState *state, size_t server, const uint8_t *data, size_t size,
                                int64_t now_ns, std::vector<std::string> *records);

// Appends "BPS:<n>" when an estimate came since the last record and that
// one went out at least half a second ago: the smallest of the servers'
// estimates that are recent (received within RELAY_FEEDBACK_BPS_RECENT_NS),
// so that a server whose viewers left stops holding the rate down. A value
// equal to the last one sent is dropped. Returns the nanoseconds until a
// pending estimate is due, or -1 when none is pending.
int64_t relay_feedback_due(RelayFeedbackState *state, int64_t now_ns, std::vector<std::string> *records);

// An empty RTCP receiver report from ssrc (8 bytes): what the relay sends to
// the server's RTCP port so that the server knows where to send feedback.
std::vector<uint8_t> relay_rtcp_empty_report(uint32_t ssrc);
