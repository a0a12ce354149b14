// The relay's pieces on crafted input: RTP checks and figures, the
// watermark reader, and the text helpers.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/relay/synthetic_stream.h"
#include "tools/relay/decoder.h"
#include "tools/relay/relay_feedback.h"
#include "tools/relay/relay_janus.h"
#include "tools/relay/relay_options.h"
#include "tools/relay/relay_summary.h"
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
    feed(&s, Rtp{seq++, base, 1});                // back in time
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
    for (auto [drawn, read] : {std::pair{42ull, 42ull},
                               {10000000000000ull + 9876543210ull, 9876543210ull},
                               {9999999999999ull, 9999999999999ull},
                               {0ull, 0ull}}) {
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
    ASSERT_EQ(relay_parse_config("CONFIG\nresolution=1280x720\ncodec=H.265\nmode=balanced\nupstream_fps=59.9\n", &f),
              0);
    EXPECT_EQ(f["resolution"], "1280x720");
    EXPECT_EQ(f["upstream_fps"], "59.9");
    EXPECT_EQ(relay_codec_from_name(f["codec"]), CODEC_TYPE_H265);
    EXPECT_EQ(relay_parse_config("CONFIGURE\n", &f), -1);
    EXPECT_EQ(relay_parse_config("BPS:1", &f), -1);

    EXPECT_EQ(relay_codec_from_name("H264"), CODEC_TYPE_H264);
    EXPECT_EQ(relay_codec_from_name("h.264"), CODEC_TYPE_H264);
    EXPECT_EQ(relay_codec_from_name("HEVC"), CODEC_TYPE_H265);
    EXPECT_EQ(relay_codec_from_name("Vp9"), CODEC_TYPE_VP9);
    EXPECT_EQ(relay_codec_from_name("mpeg2"), -1);

    std::string sdp = relay_sdp_text(CODEC_TYPE_VP8, 97, 5004);
    EXPECT_NE(sdp.find("m=video 5004 RTP/AVP 97\r\n"), std::string::npos);
    EXPECT_NE(sdp.find("a=rtpmap:97 VP8/90000\r\n"), std::string::npos);
    EXPECT_EQ(sdp.find("packetization-mode"), std::string::npos);
    EXPECT_NE(relay_sdp_text(CODEC_TYPE_H264, 96, 1).find("a=fmtp:96 packetization-mode=1"), std::string::npos);
}

// A 10-bit stream's CONFIG reply puts its profile and colour into the SDP;
// an 8-bit reply, or a codec that has no 10-bit stream, leaves it as it was.
TEST(RelayText, TenBitColourGoesIntoTheSdp)
{
    const std::string ten_bit = "CONFIG\ncodec=H.265\nupstream_fps=60.0\ndepth=10\nprimaries=bt2020\n"
                                "transfer=smpte2084\nmatrix=bt2020nc\nrange=limited\n"
                                "mastering_display=0.70800,0.29200,0.17000,0.79700,0.13100,0.04600,0.31270,0.32900,"
                                "1000,0.0050\ncontent_light=1000,400\n";
    const std::string hlg = "CONFIG\ndepth=10\nprimaries=bt2020\ntransfer=arib-std-b67\nmatrix=bt2020nc\n"
                            "range=limited\n";
    const std::string eight_bit = "CONFIG\ncodec=H.265\nupstream_fps=60.0\n";
    const std::string pq_colour = "depth=10;primaries=bt2020;transfer=smpte2084;matrix=bt2020nc;range=limited;"
                                  "mastering_display=0.70800,0.29200,0.17000,0.79700,0.13100,0.04600,0.31270,"
                                  "0.32900,1000,0.0050;content_light=1000,400\r\n";
    const struct {
        int codec;
        const std::string &reply;
        std::string added;  // after the 8-bit SDP of the codec
    } cases[] = {
        {CODEC_TYPE_H265, ten_bit, "a=fmtp:96 profile-id=2\r\na=x-vistrel-colour:96 " + pq_colour},
        {CODEC_TYPE_AV1, ten_bit, "a=fmtp:96 profile=0\r\na=x-vistrel-colour:96 " + pq_colour},
        {CODEC_TYPE_AV1, hlg,
         "a=fmtp:96 profile=0\r\na=x-vistrel-colour:96 depth=10;primaries=bt2020;transfer=arib-std-b67;"
         "matrix=bt2020nc;range=limited\r\n"},
        {CODEC_TYPE_H265, eight_bit, ""},
        {CODEC_TYPE_H264, ten_bit, ""},
        {CODEC_TYPE_VP9, ten_bit, ""},
    };
    for (const auto &c : cases) {
        std::map<std::string, std::string> fields;
        ASSERT_EQ(relay_parse_config(c.reply, &fields), 0);
        const RelayColour colour = relay_colour_from_config(fields);
        EXPECT_EQ(relay_sdp_text(c.codec, 96, 5004, colour), relay_sdp_text(c.codec, 96, 5004) + c.added)
            << c.codec << " " << c.reply;
    }
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

namespace {

int parse(std::vector<std::string> args, RelayOptions *o)
{
    std::vector<char *> argv;
    static char name[] = "vistrel-relay";
    argv.push_back(name);
    for (std::string &a : args)
        argv.push_back(a.data());
    return relay_parse_options(int(argv.size()), argv.data(), o);
}

}  // namespace

TEST(RelayOptions, RefusesBadValuesAndKeepsGoodOnes)
{
    RelayOptions o;
    EXPECT_EQ(
        parse({"--codec", "VP8", "--udp-port", "0", "--send", "250:IDR", "--latency", "--watermark", "bitmap"}, &o), 0);
    EXPECT_EQ(o.codec, CODEC_TYPE_VP8);
    EXPECT_EQ(o.udp_port, 0);
    ASSERT_EQ(o.sends.size(), 1u);
    EXPECT_EQ(o.sends[0].delay_ms, 250);
    EXPECT_TRUE(o.bitmap_digits);
    EXPECT_TRUE(relay_options_decoding(o));
    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{{"--udp-port", "65536"},
                                                                              {"--udp-port"},
                                                                              {"--codec", "mpeg2"},
                                                                              {"--duration", "0"},
                                                                              {"--duration", "nan"},
                                                                              {"--idle-exit", "-1"},
                                                                              {"--watermark", "dots"},
                                                                              {"--bogus"},
                                                                              {"--janus-api", "8088"},
                                                                              {"--janus-port", "65535"},
                                                                              {"--janus-port", "0"}}) {
        RelayOptions b;
        EXPECT_EQ(parse(bad, &b), -1) << bad[0];
    }
    RelayOptions plain;
    EXPECT_FALSE(relay_options_decoding(plain));
    RelayOptions janus;
    EXPECT_EQ(parse({"--janus-port", "5006"}, &janus), 0);
    EXPECT_EQ(janus.janus_rtcp_port, 5007);  // the mountpoint's RTCP port follows its RTP port
}

// Several servers: each --janus takes the API, token and CA options given
// after it; the single-server options make one server on 127.0.0.1, in any
// order; mixing the two or a setting without its server is refused.
TEST(RelayOptions, JanusServersAndWhatAppliesToEach)
{
    const std::string token = "/proc/self/cmdline";  // any readable file
    RelayOptions o;
    ASSERT_EQ(parse({"--janus", "10.232.1.2:5006", "--janus-api", "8088", "--janus-token-file", token, "--janus",
                     "10.232.2.2:6000/6100", "--janus-api", "https://janus.example:8089", "--janus-ca-file", token,
                     "--janus", "127.0.0.1:7000", "--janus-api", "10.0.0.9:80"},
                    &o),
              0);
    ASSERT_EQ(o.janus_servers.size(), 3u);
    const RelayJanusServer &a = o.janus_servers[0], &b = o.janus_servers[1], &c = o.janus_servers[2];
    EXPECT_EQ(a.host + " " + std::to_string(a.rtp_port) + " " + std::to_string(a.rtcp_port), "10.232.1.2 5006 5007");
    EXPECT_EQ(a.api_url, "http://10.232.1.2:8088/janus");  // the server's own host
    EXPECT_EQ(a.token_file, token);
    EXPECT_EQ(a.ca_file, "");
    EXPECT_EQ(b.rtcp_port, 6100);
    EXPECT_EQ(b.api_url, "https://janus.example:8089/janus");
    EXPECT_EQ(b.token_file, "");
    EXPECT_EQ(b.ca_file, token);
    EXPECT_EQ(c.api_url, "http://10.0.0.9:80/janus");
    EXPECT_EQ(o.janus_port, 0);

    for (auto args : std::vector<std::vector<std::string>>{{"--janus-port", "5006", "--janus-api", "8088",
                                                             "--janus-token-file", token},
                                                            {"--janus-token-file", token, "--janus-api", "8088",
                                                             "--janus-port", "5006"}}) {
        RelayOptions single;
        ASSERT_EQ(parse(args, &single), 0) << args[0];
        ASSERT_EQ(single.janus_servers.size(), 1u);
        EXPECT_EQ(single.janus_servers[0].host, "127.0.0.1");
        EXPECT_EQ(single.janus_servers[0].rtcp_port, 5007);
        EXPECT_EQ(single.janus_servers[0].api_url, "http://127.0.0.1:8088/janus");
        EXPECT_EQ(single.janus_servers[0].token_file, token);
    }
    RelayOptions tls;
    ASSERT_EQ(parse({"--janus-port", "5006", "--janus-api", "https://127.0.0.1:8089", "--janus-ca-file", token}, &tls), 0);
    ASSERT_EQ(tls.janus_servers.size(), 1u);
    EXPECT_EQ(tls.janus_servers[0].api_url, "https://127.0.0.1:8089/janus");
    EXPECT_EQ(tls.janus_servers[0].ca_file, token);
    RelayOptions none;
    ASSERT_EQ(parse({"--udp-port", "0"}, &none), 0);
    EXPECT_TRUE(none.janus_servers.empty());

    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"--janus", "10.232.1.2"},
             {"--janus", ":5006"},
             {"--janus", "10.232.1.2:65535"},  // no RTCP port left
             {"--janus", "10.232.1.2:5006/0"},
             {"--janus", "10.232.1.2:5006/"},
             {"--janus", "10.232.1.2:5006", "--janus-port", "5006"},
             {"--janus-port", "5006", "--janus", "10.232.1.2:5006"},
             {"--janus", "10.232.1.2:5006", "--janus-rtcp-port", "5009"},
             {"--janus-token-file", token, "--janus", "10.232.1.2:5006"},
             {"--janus", "10.232.1.2:5006", "--janus-token-file", "/nonexistent/relay.token"},
             {"--janus-token-file", token},
             {"--janus", "10.232.1.2:5006", "--janus-api", "ftp://x"},
             {"--janus", "10.232.1.2:5006", "--janus-api", "https://"},
             {"--janus", "10.232.1.2:5006", "--janus-api", "99999"},
             {"--janus-api", "8088", "--janus", "10.232.1.2:5006"},
             {"--janus-api", "https://127.0.0.1:8089"}}) {
        RelayOptions b;
        EXPECT_EQ(parse(bad, &b), -1) << bad[0] << " " << bad[1];
    }
}

TEST(RelaySummary, FeedFailuresAreNoForwardErrorsAndDecodingLinesOnlyWhenDecoding)
{
    RelaySummary m;
    m.forward_errors = 2;
    m.decoder_feed_errors = 7;
    std::string plain = relay_summary_text(m);
    EXPECT_EQ(plain.rfind("summary=1\n", 0), 0u);
    EXPECT_NE(plain.find("\nforward_errors=2\n"), std::string::npos);
    EXPECT_EQ(plain.find("decoder_feed_errors"), std::string::npos);
    EXPECT_EQ(plain.find("latency_"), std::string::npos);

    RelayDecoderResult a{}, b{};
    a.decoded_frames = 3;
    a.width = 640;
    a.height = 360;
    a.latency_ms = {10, 30};
    b.decoded_frames = 0;  // a session that decoded nothing keeps the last size
    b.latency_ms = {20};
    relay_summary_add_session(&m, a);
    relay_summary_add_session(&m, b);
    m.decoding = m.latency = true;
    m.snapshot_path = std::string(600, 'x') + ".png";
    std::string full = relay_summary_text(m);
    EXPECT_NE(full.find("\ndecoder_feed_errors=7\n"), std::string::npos);
    EXPECT_NE(full.find("\nforward_errors=2\n"), std::string::npos);
    EXPECT_NE(full.find("\ndecoded_size=640x360\n"), std::string::npos);
    EXPECT_NE(full.find("\nlatency_frames=3\nlatency_unreadable=0\nlatency_p50_ms=20.0\n"), std::string::npos);
    EXPECT_NE(full.find("\nsnapshot=none\n"), std::string::npos);
    m.decoded.snapshot_written = true;
    EXPECT_NE(relay_summary_text(m).find("\nsnapshot=" + m.snapshot_path + "\n"), std::string::npos);
}

namespace {

// A payload-specific feedback packet: format, then FCI bytes after the two SSRCs.
std::vector<uint8_t> feedback_packet(int format, std::vector<uint8_t> fci)
{
    std::vector<uint8_t> p = {uint8_t(0x80 | format), 206, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    p.insert(p.end(), fci.begin(), fci.end());
    p[3] = uint8_t(p.size() / 4 - 1);
    return p;
}

std::vector<uint8_t> remb(unsigned exponent, uint32_t mantissa)
{
    return feedback_packet(15, {'R', 'E', 'M', 'B', 1, uint8_t(exponent << 2 | (mantissa >> 16 & 3)),
                                uint8_t(mantissa >> 8), uint8_t(mantissa), 9, 9, 9, 9});
}

std::vector<uint8_t> join(std::vector<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

}  // namespace

TEST(RelayFeedback, ParsesCompoundRtcpAndRefusesAnyBadPart)
{
    const std::vector<uint8_t> rr = relay_rtcp_empty_report(0x11223344);
    const std::vector<uint8_t> pli = feedback_packet(1, {});
    const std::vector<uint8_t> fir = feedback_packet(4, {1, 2, 3, 4, 7, 0, 0, 0});
    RelayRtcpFeedback f;
    const std::vector<uint8_t> all = join({rr, pli, fir, remb(3, 125000), remb(0, 90000)});
    ASSERT_EQ(relay_rtcp_parse(all.data(), all.size(), &f), 0);
    EXPECT_EQ(f.picture_loss, 1);
    EXPECT_EQ(f.full_intra, 1);
    EXPECT_EQ(f.bitrate_reports, 2);
    EXPECT_EQ(f.bitrate_bps, 90000u);  // the smallest estimate
    EXPECT_EQ(f.other, 1);
    // A huge exponent saturates instead of wrapping to a small rate.
    ASSERT_EQ(relay_rtcp_parse(remb(63, 0x3ffff).data(), 20 + 4, &f), 0);
    EXPECT_EQ(f.bitrate_bps, UINT64_MAX);

    std::vector<uint8_t> good = join({rr, pli});
    std::vector<std::vector<uint8_t>> bad = {
        {},
        {0x80, 201, 0},                           // shorter than a header
        {0x40, 201, 0, 1, 0, 0, 0, 0},            // version 1
        {0x80, 96, 0, 1, 0, 0, 0, 0},             // an RTP payload type
        {0x80, 201, 0, 2, 0, 0, 0, 0},            // length past the end
        {0x81, 206, 0, 1, 0, 0, 0, 0},            // PLI without its media SSRC
        feedback_packet(4, {}),                   // FIR without an entry
        {good.begin(), good.end() - 1},           // compound, second part cut
        join({pli, {0x80, 201, 0, 1, 0, 0, 0}}),  // trailing partial packet
    };
    for (size_t i = 0; i < bad.size(); ++i)
        EXPECT_EQ(relay_rtcp_parse(bad[i].data(), bad[i].size(), &f), -1) << "case " << i;
    std::vector<uint8_t> cut_remb = remb(0, 1000);
    cut_remb[3] = 3;  // the REMB's FCI claims to end before its estimate
    EXPECT_EQ(relay_rtcp_parse(cut_remb.data(), 16, &f), -1);
}

TEST(RelayFeedback, KeyFramesAtOnceBitRatesSpacedClampedAndTheSmallest)
{
    RelayFeedbackState s;
    std::vector<std::string> out;
    const int64_t t0 = 5000000000;
    const std::vector<uint8_t> pli = feedback_packet(1, {});
    relay_feedback_on_datagram(&s, 0, pli.data(), pli.size(), t0, &out);
    relay_feedback_on_datagram(&s, 0, pli.data(), pli.size(), t0 + 100000000, &out);  // served by the first
    relay_feedback_on_datagram(&s, 0, pli.data(), pli.size(), t0 + 300000000, &out);
    EXPECT_EQ(out, (std::vector<std::string>{"IDR", "IDR"}));
    EXPECT_EQ(s.picture_loss, 3u);

    out.clear();
    const uint8_t garbage[] = {'h', 'e', 'l', 'l', 'o'};
    relay_feedback_on_datagram(&s, 0, garbage, sizeof(garbage), t0, &out);
    EXPECT_EQ(s.bad, 1u);
    EXPECT_TRUE(out.empty());

    std::vector<uint8_t> low = remb(0, 1000), high = remb(10, 100000), mid = remb(3, 250000);
    relay_feedback_on_datagram(&s, 0, high.data(), high.size(), t0, &out);
    relay_feedback_on_datagram(&s, 0, low.data(), low.size(), t0, &out);
    EXPECT_TRUE(out.empty());  // estimates wait for relay_feedback_due
    EXPECT_EQ(relay_feedback_due(&s, t0, &out), -1);
    EXPECT_EQ(out, (std::vector<std::string>{"BPS:" + std::to_string(RELAY_FEEDBACK_MIN_BPS)}));
    relay_feedback_on_datagram(&s, 0, high.data(), high.size(), t0 + 100000000, &out);
    relay_feedback_on_datagram(&s, 0, mid.data(), mid.size(), t0 + 200000000, &out);
    EXPECT_EQ(relay_feedback_due(&s, t0 + 200000000, &out), 300000000);
    EXPECT_EQ(out.size(), 1u);
    relay_feedback_due(&s, t0 + RELAY_FEEDBACK_BPS_SPACING_NS, &out);
    EXPECT_EQ(out.back(), "BPS:2000000");
    relay_feedback_on_datagram(&s, 0, high.data(), high.size(), t0 + 2000000000, &out);
    relay_feedback_due(&s, t0 + 2000000000, &out);
    EXPECT_EQ(out.back(), "BPS:" + std::to_string(RELAY_FEEDBACK_MAX_BPS));
    EXPECT_EQ(s.bps_records, 3u);
    EXPECT_EQ(s.bitrate_reports, 5u);
}

// The feedback of several servers combined: one key-frame request per
// quarter second whoever asks, and the smallest recent estimate (a server's
// smallest since the last record, counting for 2 s) at most every 500 ms.
TEST(RelayFeedback, SeveralServersCombined)
{
    struct Step {
        int64_t ms;
        size_t server;
        std::string what;  // "PLI", "FIR", a bit rate, or "due"
    };
    struct Case {
        const char *name;
        std::vector<Step> steps;
        std::vector<std::string> records;  // "MS:RECORD"
    };
    const std::vector<Case> cases = {
        {"key frames from either server, a quarter second apart",
         {{0, 0, "PLI"}, {100, 1, "PLI"}, {250, 1, "FIR"}, {400, 0, "PLI"}, {499, 1, "PLI"}, {500, 1, "PLI"}},
         {"0:IDR", "250:IDR", "500:IDR"}},
        {"the smallest estimate across servers",
         {{0, 0, "3000000"}, {100, 1, "1000000"}, {500, 0, "due"}},
         {"500:BPS:1000000"}},
        {"a server quiet for over 2 s stops holding the rate down; at 2 s it still does",
         {{0, 0, "1000000"}, {0, 0, "due"}, {2000, 1, "4000000"}, {2000, 1, "due"}, {2600, 1, "4000000"},
          {2600, 1, "due"}},
         {"0:BPS:1000000", "2600:BPS:4000000"}},
        {"a server's smallest since the last record, then its new one replaces it",
         {{0, 0, "2000000"}, {0, 0, "due"}, {600, 0, "3000000"}, {700, 0, "5000000"}, {700, 0, "due"},
          {1300, 0, "6000000"}, {1300, 0, "due"}},
         {"0:BPS:2000000", "700:BPS:3000000", "1300:BPS:6000000"}},
        {"the low server rising lifts the rate to the next lowest",
         {{0, 0, "1000000"}, {0, 1, "3000000"}, {0, 0, "due"}, {600, 0, "4000000"}, {600, 0, "due"}},
         {"0:BPS:1000000", "600:BPS:3000000"}},
        {"records 500 ms apart whichever server reports",
         {{0, 0, "1000000"}, {0, 0, "due"}, {100, 1, "800000"}, {100, 1, "due"}, {499, 1, "due"}, {500, 1, "due"}},
         {"0:BPS:1000000", "500:BPS:800000"}},
        {"an unchanged rate is not sent again",
         {{0, 0, "1000000"}, {0, 0, "due"}, {600, 1, "2000000"}, {600, 1, "due"}},
         {"0:BPS:1000000"}},
    };
    for (const Case &c : cases) {
        RelayFeedbackState s;
        std::vector<std::string> got;
        for (const Step &step : c.steps) {
            const int64_t now = 7000000000 + step.ms * 1000000;
            std::vector<std::string> out;
            if (step.what == "due") {
                relay_feedback_due(&s, now, &out);
            } else {
                std::vector<uint8_t> packet;
                if (step.what == "PLI" || step.what == "FIR") {
                    packet = step.what == "PLI" ? feedback_packet(1, {}) : feedback_packet(4, {1, 2, 3, 4, 7, 0, 0, 0});
                } else {
                    const uint64_t bps = std::stoull(step.what);
                    unsigned e = 0;
                    while ((bps >> e) >= (1u << 18))
                        e++;
                    ASSERT_EQ((bps >> e) << e, bps) << "an estimate REMB cannot carry exactly";
                    packet = remb(e, uint32_t(bps >> e));
                }
                relay_feedback_on_datagram(&s, step.server, packet.data(), packet.size(), now, &out);
            }
            for (const std::string &r : out)
                got.push_back(std::to_string(step.ms) + ":" + r);
        }
        EXPECT_EQ(got, c.records) << c.name;
    }
}

TEST(RelayJanus, RequestsAndReplies)
{
    RelayJanusMountpoint m;
    m.codec = CODEC_TYPE_VP8;
    m.iface = "10.232.1.2";
    m.rtp_port = 5006;
    m.rtcp_port = 5007;
    const std::string vp8 = relay_janus_create_request(m, "");
    EXPECT_NE(vp8.find("\"codec\": \"vp8\""), std::string::npos) << vp8;
    EXPECT_NE(vp8.find("\"rtcpport\": 5007"), std::string::npos);
    EXPECT_NE(vp8.find("\"iface\": \"10.232.1.2\""), std::string::npos);
    EXPECT_EQ(vp8.find("fmtp"), std::string::npos);
    EXPECT_EQ(vp8.find("admin_key"), std::string::npos);
    EXPECT_EQ(vp8.find("secret"), std::string::npos);
    m.codec = CODEC_TYPE_H264;
    const std::string h264 = relay_janus_create_request(m, "se\"cret");
    EXPECT_NE(h264.find("packetization-mode=1"), std::string::npos);
    EXPECT_NE(h264.find("\"admin_key\": \"se\\\"cret\""), std::string::npos) << h264;  // escaped
    // The mountpoint's own secret: a viewer with the viewing token cannot destroy it.
    EXPECT_NE(h264.find("\"secret\": \"se\\\"cret\""), std::string::npos) << h264;

    RelayJanusReply r;
    ASSERT_EQ(relay_janus_parse_reply("{\"janus\":\"success\",\"session_id\":5,\"data\":{\"id\": 8812}}", &r), 0);
    EXPECT_EQ(r.janus, "success");
    EXPECT_EQ(r.id, 8812);
    EXPECT_EQ(r.plugin_error, 0);
    ASSERT_EQ(relay_janus_parse_reply("{\"janus\":\"success\",\"plugindata\":{\"plugin\":\"janus.plugin.streaming\","
                                      "\"data\":{\"streaming\":\"info\",\"info\":{\"id\":1,\"media\":[{\"mid\":\"v\","
                                      "\"codec\":\"vp8\"}]}}}}",
                                      &r),
              0);
    EXPECT_EQ(r.codec, "vp8");
    ASSERT_EQ(relay_janus_parse_reply("{\"janus\":\"success\",\"plugindata\":{\"data\":{\"error_code\":455,"
                                      "\"error\":\"No such mountpoint/stream 1\"}}}",
                                      &r),
              0);
    EXPECT_EQ(r.plugin_error, 455);
    EXPECT_EQ(r.codec, "");
    ASSERT_EQ(relay_janus_parse_reply("{\"janus\":\"error\",\"error\":{\"code\":403,\"reason\":\"Unauthorized\"}}", &r), 0);
    EXPECT_EQ(r.reason, "Unauthorized");
    // Wrong types read as absent; what is no JSON object is refused.
    ASSERT_EQ(relay_janus_parse_reply("{\"data\":{\"id\":\"x\"},\"janus\":7}", &r), 0);
    EXPECT_EQ(r.id, 0);
    EXPECT_EQ(r.janus, "");
    for (const char *bad : {"", "[1]", "{\"janus\":", "HTTP/1.1 200 OK"})
        EXPECT_EQ(relay_janus_parse_reply(bad, &r), -1) << bad;

    std::string error;
    m.rtp_port = 1;
    // Nothing listens on port 1 of the loopback: a clear failure, no hang.
    EXPECT_EQ(relay_janus_remake_mountpoint({"http://127.0.0.1:1/janus", "", ""}, m, 500, &error), -1);
    EXPECT_NE(error.find("cannot connect"), std::string::npos) << error;
    std::string token;
    EXPECT_EQ(relay_janus_read_token("/nonexistent/relay.token", &token, &error), -1);
    EXPECT_EQ(relay_janus_remake_mountpoint({"http://127.0.0.1:1/janus", "/nonexistent/relay.token", ""}, m, 500,
                                            &error),
              -1);
    EXPECT_NE(error.find("token file"), std::string::npos) << error;
}
