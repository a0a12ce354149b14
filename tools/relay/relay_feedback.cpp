#include "tools/relay/relay_feedback.h"

#include <algorithm>

namespace {

constexpr uint8_t kPayloadSpecificFeedback = 206;
constexpr int kFormatPli = 1, kFormatFir = 4, kFormatApplication = 15;

// One payload-specific feedback packet of `size` bytes (header included).
// Returns 0, or -1 when it is too short for its format.
int parse_feedback(const uint8_t *p, size_t size, RelayRtcpFeedback *out)
{
    const int format = p[0] & 0x1f;
    if (size < 12)  // header, sender SSRC, media SSRC
        return -1;
    if (format == kFormatPli) {
        out->picture_loss++;
    } else if (format == kFormatFir) {
        if (size < 20)  // at least one entry: SSRC and sequence number
            return -1;
        out->full_intra++;
    } else if (format == kFormatApplication && size >= 16 && p[12] == 'R' && p[13] == 'E' && p[14] == 'M' &&
               p[15] == 'B') {
        if (size < 20)
            return -1;
        const size_t ssrcs = p[16];
        if (size < 20 + 4 * ssrcs)
            return -1;
        const unsigned exponent = p[17] >> 2;
        const uint64_t mantissa = (uint64_t(p[17] & 3) << 16) | uint64_t(p[18]) << 8 | p[19];
        // Estimates beyond what 64 bits hold are as good as unlimited.
        uint64_t bps = UINT64_MAX;
        if (mantissa == 0)
            bps = 0;
        else if (exponent < 64 && (mantissa << exponent) >> exponent == mantissa)
            bps = mantissa << exponent;
        out->bitrate_bps = out->bitrate_reports == 0 ? bps : std::min(out->bitrate_bps, bps);
        out->bitrate_reports++;
    } else {
        out->other++;
    }
    return 0;
}

}  // namespace

int relay_rtcp_parse(const uint8_t *data, size_t size, RelayRtcpFeedback *out)
{
    RelayRtcpFeedback f;
    if (!data || size < 4)
        return -1;
    size_t at = 0;
    while (at < size) {
        if (size - at < 4)
            return -1;
        const uint8_t *p = data + at;
        const uint8_t type = p[1];
        const size_t length = (size_t(p[2]) << 8 | p[3]) * 4 + 4;
        if ((p[0] >> 6) != 2 || type < 192 || type > 223 || length > size - at)
            return -1;
        if (type == kPayloadSpecificFeedback) {
            if (parse_feedback(p, length, &f) != 0)
                return -1;
        } else {
            f.other++;
        }
        at += length;
    }
    *out = f;
    return 0;
}

void relay_feedback_on_datagram(RelayFeedbackState *s, size_t server, const uint8_t *data, size_t size,
                                int64_t now_ns, std::vector<std::string> *records)
{
    s->datagrams++;
    RelayRtcpFeedback f;
    if (relay_rtcp_parse(data, size, &f) != 0) {
        s->bad++;
        return;
    }
    s->picture_loss += uint64_t(f.picture_loss);
    s->full_intra += uint64_t(f.full_intra);
    s->bitrate_reports += uint64_t(f.bitrate_reports);
    if (f.picture_loss + f.full_intra > 0 &&
        (s->last_idr_ns == 0 || now_ns - s->last_idr_ns >= RELAY_FEEDBACK_IDR_SPACING_NS)) {
        s->last_idr_ns = now_ns;
        s->idr_records++;
        records->push_back("IDR");
    }
    if (f.bitrate_reports > 0) {
        if (s->estimates.size() <= server)
            s->estimates.resize(server + 1);
        RelayFeedbackEstimate &e = s->estimates[server];
        const uint64_t bps = std::clamp(f.bitrate_bps, RELAY_FEEDBACK_MIN_BPS, RELAY_FEEDBACK_MAX_BPS);
        e.bps = e.since_record ? std::min(e.bps, bps) : bps;
        e.at_ns = now_ns;
        e.since_record = true;
        s->bps_pending = true;
    }
}

int64_t relay_feedback_due(RelayFeedbackState *s, int64_t now_ns, std::vector<std::string> *records)
{
    if (!s->bps_pending)
        return -1;
    if (s->last_bps_ns != 0 && now_ns - s->last_bps_ns < RELAY_FEEDBACK_BPS_SPACING_NS)
        return s->last_bps_ns + RELAY_FEEDBACK_BPS_SPACING_NS - now_ns;
    s->bps_pending = false;
    uint64_t bps = 0;
    for (RelayFeedbackEstimate &e : s->estimates) {
        if (e.bps != 0 && now_ns - e.at_ns <= RELAY_FEEDBACK_BPS_RECENT_NS)
            bps = bps == 0 ? e.bps : std::min(bps, e.bps);
        e.since_record = false;
    }
    if (bps == 0 || bps == s->last_bps)
        return -1;
    s->last_bps = bps;
    s->last_bps_ns = now_ns;
    s->bps_records++;
    records->push_back("BPS:" + std::to_string(bps));
    return -1;
}

std::vector<uint8_t> relay_rtcp_empty_report(uint32_t ssrc)
{
    return {0x80, 201, 0, 1, uint8_t(ssrc >> 24), uint8_t(ssrc >> 16), uint8_t(ssrc >> 8), uint8_t(ssrc)};
}
