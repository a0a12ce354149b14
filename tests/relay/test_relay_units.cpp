// The relay's pieces on crafted input: RTP checks and figures, the
// watermark reader, and the text helpers.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/relay/synthetic_stream.h"
#include "tools/relay/decoder.h"
#include "tools/relay/relay_text.h"
#include "tools/relay/rtp_check.h"
#include "tools/relay/watermark_reader.h"

namespace {

struct Rtp {
    uint16_t seq = 0;
    uint32_t ts = 0;
    uint32_t ssrc = 0x11223344;
    bool marker = false;
    uint8_t version = 2;
    size_t size = 100;
};

std::vector<uint8_t> make(const Rtp &r)
{
    // The fixed header is written whole, then cut to the packet's size.
    std::vector<uint8_t> p(std::max<size_t>(r.size, 12), 0xab);
    p[0] = uint8_t(r.version << 6);
    p[1] = uint8_t((r.marker ? 0x80 : 0) | 96);
    p[2] = uint8_t(r.seq >> 8);
    p[3] = uint8_t(r.seq);
    for (int i = 0; i < 4; ++i) {
        p[4 + i] = uint8_t(r.ts >> (24 - 8 * i));
        p[8 + i] = uint8_t(r.ssrc >> (24 - 8 * i));
    }
    p.resize(r.size);
    return p;
}

int feed(RelayRtpStats *s, const Rtp &r, int64_t at = 1)
{
    auto p = make(r);
    return relay_rtp_check(s, p.data(), p.size(), at, nullptr, nullptr);
}

}  // namespace

TEST(RelayRtpCheck, RejectsWhatIsNoRtpPacketAndCountsIt)
{
    RelayRtpStats s;
    relay_rtp_stats_init(&s);
    Rtp r;
    r.version = 1;
    EXPECT_EQ(feed(&s, r), RELAY_RTP_BAD_VERSION);
    r.version = 2;
    r.size = 1401;
    EXPECT_EQ(feed(&s, r), RELAY_RTP_OVERSIZE);
    r.size = 11;
    EXPECT_EQ(feed(&s, r), RELAY_RTP_SHORT);

    auto csrc = make(Rtp{});
    csrc.resize(20);
    csrc[0] |= 3;  // three CSRCs need 24 bytes
    EXPECT_EQ(relay_rtp_check(&s, csrc.data(), csrc.size(), 1, nullptr, nullptr), RELAY_RTP_SHORT);
    auto ext = make(Rtp{});
    ext[0] |= 0x10;
    ext[14] = 0x01;  // 256 words of extension in a 100-byte packet
    EXPECT_EQ(relay_rtp_check(&s, ext.data(), ext.size(), 1, nullptr, nullptr), RELAY_RTP_SHORT);
    auto pad = make(Rtp{});
    pad[0] |= 0x20;
    pad.back() = 200;
    EXPECT_EQ(relay_rtp_check(&s, pad.data(), pad.size(), 1, nullptr, nullptr), RELAY_RTP_BAD_PADDING);

    auto rtcp = make(Rtp{});
    rtcp[1] = 200;  // sender report
    EXPECT_EQ(relay_rtp_check(&s, rtcp.data(), rtcp.size(), 1, nullptr, nullptr), RELAY_RTP_CONTROL);

    EXPECT_EQ(s.datagrams, 7u);
    EXPECT_EQ(s.packets, 0u);
    EXPECT_EQ(s.bad_version, 1u);
    EXPECT_EQ(s.oversize, 1u);
    EXPECT_EQ(s.malformed, 4u);
    EXPECT_EQ(s.rtcp_packets, 1u);
    EXPECT_EQ(s.largest, 1401u);

    r.size = 1400;  // the largest allowed
    EXPECT_EQ(feed(&s, r), RELAY_RTP_OK);
    EXPECT_EQ(s.packets, 1u);
    EXPECT_EQ(s.bytes, 1400u);

    RelayRtpHeader h;
    auto full = make(Rtp{7, 123456, 0xdeadbeef, true});
    full[0] |= 0x20 | 0x01;  // one CSRC, padding
    full.back() = 4;
    ASSERT_EQ(relay_rtp_parse(full.data(), full.size(), &h), RELAY_RTP_OK);
    EXPECT_TRUE(h.marker);
    EXPECT_EQ(h.sequence, 7);
    EXPECT_EQ(h.timestamp, 123456u);
    EXPECT_EQ(h.ssrc, 0xdeadbeefu);
    EXPECT_EQ(h.payload_offset, 16u);
    EXPECT_EQ(h.payload_size, 100u - 16u - 4u);
}

TEST(RelayRtpCheck, SequenceContinuityAcrossWrapGapsAndReorder)
{
    RelayRtpStats s;
    relay_rtp_stats_init(&s);
    for (uint16_t seq : {65533, 65534, 65535, 0, 1})  // wraps without a gap
        feed(&s, Rtp{seq});
    EXPECT_EQ(s.sequence_gaps, 0u);
    feed(&s, Rtp{5});  // 2, 3, 4 missing
    EXPECT_EQ(s.sequence_gaps, 1u);
    EXPECT_EQ(s.lost_packets, 3u);
    feed(&s, Rtp{3});  // late
    feed(&s, Rtp{5});  // duplicate
    EXPECT_EQ(s.out_of_order, 2u);
    feed(&s, Rtp{6});  // the late ones did not move the expectation back
    EXPECT_EQ(s.sequence_gaps, 1u);

    // A new SSRC is a new stream: its first packet is no gap.
    Rtp other{40000};
    other.ssrc = 99;
    bool fresh = false;
    auto p = make(other);
    relay_rtp_check(&s, p.data(), p.size(), 1, nullptr, &fresh);
    EXPECT_TRUE(fresh);
    EXPECT_EQ(s.streams, 2u);
    EXPECT_EQ(s.sequence_gaps, 1u);
}

TEST(RelayRtpCheck, TimestampStepsAndFrameRate)
{
    RelayRtpStats s;
    relay_rtp_stats_init(&s);
    // Two packets per frame, the second with the marker; 0, 1, 2 ms apart
    // in time stamps and 10 ms apart in arrival.
    uint16_t seq = 0;
    const uint32_t base = 0xffffff00u;  // the 32-bit wrap is one step of 90
    for (int f = 0; f < 3; ++f)
        for (int k = 0; k < 2; ++k)
            feed(&s, Rtp{seq++, base + 90u * f, 1, k == 1}, 1000000000LL + f * 10000000LL);
    EXPECT_EQ(s.frames, 3u);
    EXPECT_EQ(s.timestamp_steps, 2u);
    EXPECT_EQ(s.timestamp_step_min, 90u);
    EXPECT_EQ(s.timestamp_step_max, 90u);
    EXPECT_EQ(s.timestamp_off_grid, 0u);
    EXPECT_EQ(s.timestamp_backward, 0u);
    EXPECT_NEAR(relay_rtp_fps(&s), 100.0, 1e-6);

    feed(&s, Rtp{seq++, base + 180u + 100u, 1});  // not a whole millisecond
    feed(&s, Rtp{seq++, base, 1});             // back in time
    EXPECT_EQ(s.timestamp_off_grid, 1u);
    EXPECT_EQ(s.timestamp_backward, 1u);
    EXPECT_EQ(s.timestamp_step_max, 100u);
}

namespace {

std::vector<uint8_t> picture(int w, int h, uint8_t base)
{
    std::vector<uint8_t> p(size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            p[size_t(y) * w + x] = uint8_t(base + (x * 7 + y * 3) % 20);
    return p;
}

}  // namespace

TEST(RelayWatermark, ReadsDigitsDrawnOverAnyPicture)
{
    for (uint8_t base : {16, 120, 215}) {
        auto p = picture(1280, 720, base);
        test_draw_watermark(p.data(), 1280, 720, 1280, 1733467200123ull);
        uint64_t v = 0;
        ASSERT_EQ(relay_watermark_read(p.data(), 1280, 720, 1280, &v), RELAY_WATERMARK_OK) << int(base);
        EXPECT_EQ(v, 1733467200123ull);
    }
    // Leading zeros, and only the thirteen lowest digits of a larger value.
    for (auto [drawn, read] : {std::pair{42ull, 42ull}, {10000000000000ull + 9876543210ull, 9876543210ull},
                               {9999999999999ull, 9999999999999ull}, {0ull, 0ull}}) {
        auto p = picture(720, 200, 90);
        test_draw_watermark(p.data(), 720, 200, 720, drawn);
        uint64_t v = 1;
        ASSERT_EQ(relay_watermark_read(p.data(), 720, 200, 720, &v), RELAY_WATERMARK_OK);
        EXPECT_EQ(v, read);
    }
}

TEST(RelayWatermark, ToleratesNoiseAndStride)
{
    const int w = 800, h = 160, stride = 832;
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> noise(-30, 30);
    for (int round = 0; round < 20; ++round) {
        std::vector<uint8_t> p(size_t(stride) * h, 128);
        uint64_t value = 1700000000000ull + uint64_t(round) * 111111111ull;
        test_draw_watermark(p.data(), w, h, stride, value);
        for (auto &px : p)
            px = uint8_t(std::clamp(int(px) + noise(rng), 0, 255));
        uint64_t v = 0;
        ASSERT_EQ(relay_watermark_read(p.data(), w, h, stride, &v), RELAY_WATERMARK_OK) << round;
        EXPECT_EQ(v, value);
    }
}

TEST(RelayWatermark, RefusesPicturesWithoutOneOrTooSmall)
{
    uint64_t v = 0;
    auto bright = picture(1280, 720, 200);  // no box at all
    EXPECT_EQ(relay_watermark_read(bright.data(), 1280, 720, 1280, &v), RELAY_WATERMARK_NO_BACKDROP);
    auto black = picture(1280, 720, 0);  // dark, but no lit segment anywhere
    EXPECT_EQ(relay_watermark_read(black.data(), 1280, 720, 1280, &v), RELAY_WATERMARK_BAD_DIGIT);

    // A cell with a segment missing shows no digit.
    auto broken = picture(1280, 720, 100);
    test_draw_watermark(broken.data(), 1280, 720, 1280, 8888888888888ull);
    for (int y = 57; y <= 67; ++y)  // top bar of the last digit: no digit lights p1..p6 alone
        for (int x = 662; x <= 678; ++x)
            broken[size_t(y) * 1280 + x] = 30;
    EXPECT_EQ(relay_watermark_read(broken.data(), 1280, 720, 1280, &v), RELAY_WATERMARK_BAD_DIGIT);

    // The box is cut at the picture's edge: the cells must be whole.
    auto p = picture(690, 130, 100);
    test_draw_watermark(p.data(), 690, 130, 690, 1234567890123ull);
    ASSERT_EQ(relay_watermark_read(p.data(), 690, 130, 690, &v), RELAY_WATERMARK_OK);
    EXPECT_EQ(v, 1234567890123ull);
    EXPECT_EQ(relay_watermark_read(p.data(), 689, 130, 690, &v), RELAY_WATERMARK_TOO_SMALL);
    EXPECT_EQ(relay_watermark_read(p.data(), 690, 129, 690, &v), RELAY_WATERMARK_TOO_SMALL);
    EXPECT_EQ(relay_watermark_read(nullptr, 1280, 720, 1280, &v), RELAY_WATERMARK_TOO_SMALL);
}

TEST(RelayText, ControlRecordsFromTheCommandLine)
{
    RelayScheduledRecord r;
    ASSERT_EQ(relay_parse_send("2000:BPS:500000", &r), 0);
    EXPECT_EQ(r.delay_ms, 2000);
    EXPECT_EQ(r.record, "BPS:500000");
    ASSERT_EQ(relay_parse_send("0:RECONFIG\\nBPS:1\\nCODEC:vp8\\x0a", &r), 0);
    EXPECT_EQ(r.record, "RECONFIG\nBPS:1\nCODEC:vp8\n");
    for (const char *bad : {"BPS:1", ":IDR", "100:", "1x0:IDR", "-5:IDR", "99999999999999:IDR"})
        EXPECT_EQ(relay_parse_send(bad, &r), -1) << bad;

    EXPECT_EQ(relay_unescape("a\\\\n\\q\\x4"), "a\\n\\q\\x4");
    const std::string bytes("CONFIG\nfps=60\t\\\x01\xff", 17);
    EXPECT_EQ(relay_escape(bytes), "CONFIG\\nfps=60\\t\\\\\\x01\\xff");
    EXPECT_EQ(relay_unescape(relay_escape(bytes)), bytes);
}

TEST(RelayText, ConfigRepliesAndCodecNames)
{
    std::map<std::string, std::string> f;
    ASSERT_EQ(relay_parse_config("CONFIG\nresolution=1280x720\ncodec=H.265\nmode=balanced\nupstream_fps=59.9\n", &f), 0);
    EXPECT_EQ(f["resolution"], "1280x720");
    EXPECT_EQ(f["upstream_fps"], "59.9");
    EXPECT_EQ(relay_codec_from_name(f["codec"]), RELAY_CODEC_H265);
    EXPECT_EQ(relay_parse_config("CONFIGURE\n", &f), -1);
    EXPECT_EQ(relay_parse_config("BPS:1", &f), -1);

    EXPECT_EQ(relay_codec_from_name("H264"), RELAY_CODEC_H264);
    EXPECT_EQ(relay_codec_from_name("h.264"), RELAY_CODEC_H264);
    EXPECT_EQ(relay_codec_from_name("HEVC"), RELAY_CODEC_H265);
    EXPECT_EQ(relay_codec_from_name("Vp9"), RELAY_CODEC_VP9);
    EXPECT_EQ(relay_codec_from_name("mpeg2"), -1);

    std::string sdp = relay_sdp_text(RELAY_CODEC_VP8, 97, 5004);
    EXPECT_NE(sdp.find("m=video 5004 RTP/AVP 97\r\n"), std::string::npos);
    EXPECT_NE(sdp.find("a=rtpmap:97 VP8/90000\r\n"), std::string::npos);
    EXPECT_EQ(sdp.find("packetization-mode"), std::string::npos);
    EXPECT_NE(relay_sdp_text(RELAY_CODEC_H264, 96, 1).find("a=fmtp:96 packetization-mode=1"), std::string::npos);
}

TEST(RelayText, Percentiles)
{
    std::vector<double> v;
    for (int i = 100; i >= 1; --i)
        v.push_back(i);
    EXPECT_EQ(relay_percentile(v, 50), 50);
    EXPECT_EQ(relay_percentile(v, 95), 95);
    EXPECT_EQ(relay_percentile(v, 100), 100);
    EXPECT_EQ(relay_percentile({7.5}, 95), 7.5);
    EXPECT_EQ(relay_percentile({}, 50), 0);
}
