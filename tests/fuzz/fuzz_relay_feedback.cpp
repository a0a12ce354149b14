// What Janus servers send back to the relay: compound RTCP feedback,
// parsed and combined into control records. Input: datagrams, each one byte
// (low two bits: the server; the rest: milliseconds since the previous
// datagram, times four), a 2-byte length (little endian) and its bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/relay/relay_feedback.h"

namespace {

// Every record is "IDR" or "BPS:" with a rate inside the bounds.
void check_record(const std::string &r)
{
    if (r == "IDR")
        return;
    if (r.rfind("BPS:", 0) != 0)
        abort();
    const uint64_t bps = std::strtoull(r.c_str() + 4, nullptr, 10);
    if (bps < RELAY_FEEDBACK_MIN_BPS || bps > RELAY_FEEDBACK_MAX_BPS)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    RelayFeedbackState state;
    int64_t now = 1'000'000'000;
    int64_t last_idr = 0, last_bps = 0;
    size_t at = 0;
    while (at + 3 <= size) {
        const size_t server = data[at] & 3;
        now += int64_t(data[at] >> 2) * 4'000'000;
        const size_t length = data[at + 1] | (size_t(data[at + 2]) << 8);
        if (at + 3 + length > size)
            break;
        // Exactly the datagram's bytes on the heap, so a read past them is caught.
        std::vector<uint8_t> datagram(data + at + 3, data + at + 3 + length);
        RelayRtcpFeedback parsed;
        const int ok = relay_rtcp_parse(datagram.data(), datagram.size(), &parsed);
        if (ok == 0 && (parsed.picture_loss < 0 || parsed.full_intra < 0 || parsed.bitrate_reports < 0 ||
                        (parsed.bitrate_reports == 0 && parsed.bitrate_bps != 0)))
            abort();
        std::vector<std::string> records;
        relay_feedback_on_datagram(&state, server, datagram.data(), datagram.size(), now, &records);
        relay_feedback_due(&state, now, &records);
        for (const std::string &r : records) {
            check_record(r);
            int64_t &last = r == "IDR" ? last_idr : last_bps;
            const int64_t spacing = r == "IDR" ? RELAY_FEEDBACK_IDR_SPACING_NS : RELAY_FEEDBACK_BPS_SPACING_NS;
            if (last != 0 && now - last < spacing)
                abort();
            last = now;
        }
        at += 3 + length;
    }
    if (state.bad > state.datagrams || state.idr_records > state.picture_loss + state.full_intra ||
        state.bps_records > state.bitrate_reports || state.estimates.size() > 4)
        abort();
    return 0;
}
