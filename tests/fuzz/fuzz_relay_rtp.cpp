// What reaches the relay: datagrams checked as RTP packets and counted, and
// the capture side's CONFIG reply. Input: datagrams, each a 2-byte length
// (little endian) and its bytes; what is left after the last whole one is
// read as a CONFIG reply.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tools/relay/relay_text.h"
#include "tools/relay/rtp_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    RelayRtpStats stats;
    relay_rtp_stats_init(&stats);
    size_t at = 0;
    int64_t now = 1'000'000'000;
    uint64_t valid = 0;
    while (at + 2 <= size) {
        const size_t length = data[at] | (size_t(data[at + 1]) << 8);
        if (at + 2 + length > size)
            break;
        // Exactly the datagram's bytes on the heap, so a read past them is caught.
        std::vector<uint8_t> datagram(data + at + 2, data + at + 2 + length);
        RelayRtpHeader header{};
        bool new_stream = false;
        const int verdict = relay_rtp_check(&stats, datagram.data(), datagram.size(), now, &header, &new_stream);
        if (verdict == RELAY_RTP_OK) {
            ++valid;
            if (header.payload_offset + header.payload_size > datagram.size() || header.version != 2)
                abort();
        }
        at += 2 + length;
        now += 1'000'000;
    }
    if (stats.packets != valid || stats.lost_packets > 65535 * stats.sequence_gaps)
        abort();
    relay_rtp_fps(&stats);

    std::map<std::string, std::string> fields;
    relay_parse_config(std::string(reinterpret_cast<const char *>(data + at), size - at), &fields);
    return 0;
}
