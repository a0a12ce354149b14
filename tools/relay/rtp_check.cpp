#include "tools/relay/rtp_check.h"

#include <cstring>

void relay_rtp_stats_init(RelayRtpStats *stats)
{
    std::memset(stats, 0, sizeof(*stats));
}

int relay_rtp_parse(const uint8_t *data, size_t size, RelayRtpHeader *header)
{
    if (size > RELAY_RTP_MAX_DATAGRAM)
        return RELAY_RTP_OVERSIZE;
    if (size < 1)
        return RELAY_RTP_SHORT;
    uint8_t version = data[0] >> 6;
    if (version != 2)
        return RELAY_RTP_BAD_VERSION;
    if (size < 12)
        return RELAY_RTP_SHORT;
    // RTCP shares the socket; its packet types 192..223 cover what would be
    // RTP payload types 64..95 with the marker bit.
    if (data[1] >= 192 && data[1] <= 223)
        return RELAY_RTP_CONTROL;
    bool padding = data[0] & 0x20;
    bool extension = data[0] & 0x10;
    size_t csrc = data[0] & 0x0f;
    size_t offset = 12 + 4 * csrc;
    if (size < offset)
        return RELAY_RTP_SHORT;
    if (extension) {
        if (size < offset + 4)
            return RELAY_RTP_SHORT;
        size_t words = (size_t(data[offset + 2]) << 8) | data[offset + 3];
        offset += 4 + 4 * words;
        if (size < offset)
            return RELAY_RTP_SHORT;
    }
    size_t payload = size - offset;
    if (padding) {
        size_t pad = data[size - 1];
        if (pad == 0 || pad > payload)
            return RELAY_RTP_BAD_PADDING;
        payload -= pad;
    }
    if (header) {
        header->version = version;
        header->marker = data[1] & 0x80;
        header->payload_type = data[1] & 0x7f;
        header->sequence = uint16_t((data[2] << 8) | data[3]);
        header->timestamp = (uint32_t(data[4]) << 24) | (uint32_t(data[5]) << 16) | (uint32_t(data[6]) << 8) | data[7];
        header->ssrc = (uint32_t(data[8]) << 24) | (uint32_t(data[9]) << 16) | (uint32_t(data[10]) << 8) | data[11];
        header->payload_offset = offset;
        header->payload_size = payload;
    }
    return RELAY_RTP_OK;
}

int relay_rtp_check(RelayRtpStats *stats, const uint8_t *data, size_t size, int64_t arrival_ns, RelayRtpHeader *out,
                    bool *new_stream)
{
    stats->datagrams++;
    if (size > stats->largest)
        stats->largest = size;
    if (new_stream)
        *new_stream = false;

    RelayRtpHeader h;
    int verdict = relay_rtp_parse(data, size, &h);
    if (verdict == RELAY_RTP_CONTROL) {
        stats->rtcp_packets++;
        return verdict;
    }
    if (verdict == RELAY_RTP_BAD_VERSION)
        stats->bad_version++;
    else if (verdict == RELAY_RTP_OVERSIZE)
        stats->oversize++;
    else if (verdict != RELAY_RTP_OK)
        stats->malformed++;
    if (verdict != RELAY_RTP_OK)
        return verdict;

    bool fresh = stats->packets == 0 || h.ssrc != stats->ssrc;
    if (fresh) {
        stats->streams++;
    } else {
        uint16_t expected = uint16_t(stats->last_sequence + 1);
        uint16_t jump = uint16_t(h.sequence - expected);
        if (jump != 0) {
            if (jump < 0x8000) {
                stats->sequence_gaps++;
                stats->lost_packets += jump;
            } else {
                stats->out_of_order++;
            }
        }
        if (h.timestamp != stats->last_timestamp) {
            uint32_t step = h.timestamp - stats->last_timestamp;
            stats->timestamp_steps++;
            if (step >= 0x80000000u) {
                stats->timestamp_backward++;
            } else {
                if (step % 90 != 0)
                    stats->timestamp_off_grid++;
                if (stats->timestamp_step_min == 0 || step < stats->timestamp_step_min)
                    stats->timestamp_step_min = step;
                if (step > stats->timestamp_step_max)
                    stats->timestamp_step_max = step;
            }
        }
    }
    // A packet that went backwards does not move the expected sequence on.
    if (fresh || uint16_t(h.sequence - stats->last_sequence) < 0x8000) {
        stats->last_sequence = h.sequence;
        stats->last_timestamp = h.timestamp;
    }
    stats->ssrc = h.ssrc;
    stats->payload_type = h.payload_type;
    stats->packets++;
    stats->bytes += size;
    if (h.marker)
        stats->frames++;
    if (stats->first_arrival_ns == 0)
        stats->first_arrival_ns = arrival_ns;
    stats->last_arrival_ns = arrival_ns;
    if (out)
        *out = h;
    if (new_stream)
        *new_stream = fresh;
    return RELAY_RTP_OK;
}

double relay_rtp_fps(const RelayRtpStats *stats)
{
    if (stats->frames < 2 || stats->last_arrival_ns <= stats->first_arrival_ns)
        return 0.0;
    return double(stats->frames - 1) * 1e9 / double(stats->last_arrival_ns - stats->first_arrival_ns);
}
