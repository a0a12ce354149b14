// The key=value summary the relay prints when it ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/relay/decoder.h"
#include "tools/relay/relay_feedback.h"
#include "tools/relay/rtp_check.h"

struct RelaySummary {
    RelayRtpStats rtp{};
    int64_t forward_errors = 0;       // datagrams the forwarding socket refused
    int64_t decoder_feed_errors = 0;  // datagrams the decoding session did not take
    int64_t control_connections = 0;
    int64_t replies = 0;
    int64_t unsent_records = 0;  // --send records never sent
    int codec = 0;               // CodecType of the stream at the end

    bool decoding = false;  // the decoding lines follow
    int decode_sessions = 0;
    RelayDecoderResult decoded{};           // summed over the sessions
    bool recording = false;                 // recorded_packets line
    std::string snapshot_path;              // snapshot line when not empty
    bool latency = false;                   // latency lines
    std::vector<double> latency_ms;         // of every session
    bool source_stamp = false;              // the display stamp's latency lines
    std::vector<double> source_latency_ms;  // of every session
    bool feedback = false;                  // the feedback lines (a Janus mountpoint is fed)
    RelayFeedbackState feedback_state;
};

// Adds one finished session's figures to *total (counts summed, the last
// size and codec name kept, latency values appended).
void relay_summary_add_session(RelaySummary *total, const RelayDecoderResult &session);

// The summary's lines, "summary=1" first, each ending with a newline.
std::string relay_summary_text(const RelaySummary &summary);
