// The relay's control side and its checks as a process: records sent with
// their delay and from standard input, replies printed, the codec learnt
// from a CONFIG reply, bad datagrams counted, and watermark latency.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "libs/common/unique_fd.h"
#include "libs/common/unix_socket.h"
#include "tests/relay/relay_process.h"
#include "tests/relay/synthetic_stream.h"
#include "libs/common/relay_protocol.h"

namespace {

int64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Reads one record, or "" after timeout_ms.
std::string read_record(int fd, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return "";
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    return n > 0 ? std::string(buf, size_t(n)) : "";
}

long value(const std::map<std::string, std::string> &v, const std::string &key)
{
    auto it = v.find(key);
    return it == v.end() ? -1 : std::stol(it->second);
}

const char kConfigReply[] = "CONFIG\nresolution=320x240\nupstream_resolution=2560x1440\ncodec=%s\nmode=compatible\n"
                            "vblank_sync=fix\nfps=60\nupstream_fps=60.0\n";

std::string config_reply(const char *codec)
{
    char buf[512];
    std::snprintf(buf, sizeof(buf), kConfigReply, codec);
    return buf;
}

}  // namespace

TEST(RelayControl, SendsRecordsWithTheirDelayAndPrintsReplies)
{
    RelayProcess relay;
    ASSERT_EQ(relay_process_start(&relay, {"--send", "400:BPS:500000", "--send", "0:IDR", "--send",
                                           "150:RECONFIG\\nBPS:1\\nCODEC:vp8", "--udp-port", "0"}),
              0);
    // Nothing goes out before a capture run connects.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    UniqueFD ctl = unix_connect(relay_protocol::kControlSocketPath, SOCK_SEQPACKET, nullptr);
    ASSERT_TRUE(ctl);
    const int64_t t0 = now_ms();
    std::vector<std::pair<std::string, int64_t>> got;
    for (int i = 0; i < 3; ++i) {
        std::string r = read_record(ctl.get(), 3000);
        ASSERT_FALSE(r.empty()) << "record " << i;
        got.emplace_back(r, now_ms() - t0);
    }
    EXPECT_EQ(got[0].first, "IDR");
    EXPECT_EQ(got[1].first, "RECONFIG\nBPS:1\nCODEC:vp8");
    EXPECT_GE(got[1].second, 140);
    EXPECT_EQ(got[2].first, "BPS:500000");
    EXPECT_GE(got[2].second, 390);

    // A line on standard input is one record, escapes and all.
    const char line[] = "CONFIG\nRESOLUTION:1280x720\\n\n";
    ASSERT_EQ(write(relay.stdin_fd.get(), line, sizeof(line) - 1), ssize_t(sizeof(line) - 1));
    EXPECT_EQ(read_record(ctl.get(), 3000), "CONFIG");
    EXPECT_EQ(read_record(ctl.get(), 3000), "RESOLUTION:1280x720\n");

    std::string reply = config_reply("H264");
    ASSERT_EQ(send(ctl.get(), reply.data(), reply.size(), 0), ssize_t(reply.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ctl.reset();
    // A second run's connection takes the records from now on.
    UniqueFD ctl2 = unix_connect(relay_protocol::kControlSocketPath, SOCK_SEQPACKET, nullptr);
    ASSERT_TRUE(ctl2);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(write(relay.stdin_fd.get(), "RESTART\n", 8), 8);
    EXPECT_EQ(read_record(ctl2.get(), 3000), "RESTART");

    ASSERT_EQ(relay_process_finish(&relay, true, 10000), 0) << relay.output;
    auto v = relay_process_values(relay.output);
    EXPECT_NE(relay.output.find("sent=RECONFIG\\nBPS:1\\nCODEC:vp8\n"), std::string::npos) << relay.output;
    EXPECT_NE(relay.output.find("reply=CONFIG\\nresolution=320x240\\n"), std::string::npos) << relay.output;
    EXPECT_EQ(v["config.codec"], "H264");
    EXPECT_EQ(v["config.mode"], "compatible");
    EXPECT_EQ(v["config.vblank_sync"], "fix");
    EXPECT_EQ(v["config.fps"], "60");
    EXPECT_EQ(value(v, "control_connections"), 2);
    EXPECT_EQ(value(v, "replies"), 1);
    EXPECT_EQ(value(v, "unsent_records"), 0);
}

// The relay starts decoding as H.264; a CONFIG reply that names VP8, sent
// while the stream already flows, restarts decoding from the stream's first
// packet, so no frame is lost.
TEST(RelayControl, LearnsTheCodecFromTheConfigReply)
{
    RelayProcess relay;
    ASSERT_EQ(relay_process_start(
                  &relay, {"--query-config", "--record", "/tmp/out.mkv", "--idle-exit", "1500", "--udp-port", "0"}),
              0);
    UniqueFD ctl = unix_connect(relay_protocol::kControlSocketPath, SOCK_SEQPACKET, nullptr);
    ASSERT_TRUE(ctl);
    EXPECT_EQ(read_record(ctl.get(), 3000), "CONFIG");

    TestStreamOptions o;
    o.encoder = "libvpx";
    o.frames = 30;
    o.frame_ms = 20;
    o.paced = true;
    TestStreamReport sent;
    std::thread sender([&] { test_send_stream(o, &sent); });
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    std::string reply = config_reply("VP8");
    EXPECT_EQ(send(ctl.get(), reply.data(), reply.size(), 0), ssize_t(reply.size()));
    sender.join();
    ASSERT_TRUE(sent.error.empty()) << sent.error;

    ASSERT_EQ(relay_process_finish(&relay, false, 20000), 0) << relay.output;
    auto v = relay_process_values(relay.output);
    EXPECT_EQ(v["codec"], "VP8");
    EXPECT_EQ(v["decoded_codec"], "vp8") << relay.output;
    EXPECT_EQ(value(v, "decoded_frames"), 30) << relay.output;
    EXPECT_EQ(v["decoded_size"], "320x240");
    EXPECT_GT(value(v, "recorded_packets"), 0);
}

TEST(RelayControl, CountsDatagramsThatAreNoRtp)
{
    RelayProcess relay;
    ASSERT_EQ(relay_process_start(&relay, {"--idle-exit", "300", "--udp-port", "0"}), 0);
    UniqueFD rtp = unix_connect(relay_protocol::kRtpSocketPath, SOCK_DGRAM, nullptr);
    ASSERT_TRUE(rtp);
    std::vector<uint8_t> p(1500, 0);
    p[0] = 0x80;
    p[1] = 96;
    auto put = [&](size_t size, uint8_t first, uint16_t seq, uint32_t ts) {
        p[0] = first;
        p[2] = uint8_t(seq >> 8);
        p[3] = uint8_t(seq);
        p[4] = uint8_t(ts >> 24);
        p[5] = uint8_t(ts >> 16);
        p[6] = uint8_t(ts >> 8);
        p[7] = uint8_t(ts);
        ASSERT_EQ(send(rtp.get(), p.data(), size, 0), ssize_t(size));
    };
    put(200, 0x80, 1, 0);
    put(200, 0x40, 2, 0);   // version 1
    put(1500, 0x80, 3, 0);  // too large
    put(200, 0x80, 4, 90);  // 2 and 3 count as lost: they were not RTP
    put(200, 0x80, 5, 180);
    ASSERT_EQ(relay_process_finish(&relay, false, 10000), 0) << relay.output;
    auto v = relay_process_values(relay.output);
    EXPECT_EQ(value(v, "datagrams"), 5);
    EXPECT_EQ(value(v, "packets"), 3);
    EXPECT_EQ(value(v, "bad_version"), 1);
    EXPECT_EQ(value(v, "oversize"), 1);
    EXPECT_EQ(value(v, "largest_datagram"), 1500);
    EXPECT_EQ(value(v, "sequence_gaps"), 1);
    EXPECT_EQ(value(v, "lost_packets"), 2);
    EXPECT_EQ(value(v, "timestamp_steps"), 2);
    EXPECT_EQ(value(v, "timestamp_step_max"), 90);
}

// Frames carry the wall-clock time at which they were made, in seven-segment
// digits (the GPU modes) or in the bitmap font (the compatible mode); the
// relay decodes them, reads the digits of the kind it was told, and
// subtracts them from the arrival time. Told the other kind, it reads
// nothing rather than guess.
TEST(RelayControl, MeasuresWatermarkLatencyForBothDigitKinds)
{
    struct Case {
        bool bitmap_drawn;
        std::vector<std::string> reader;
        bool readable;
    };
    const Case cases[] = {
        {false, {}, true},
        {true, {"--watermark", "bitmap"}, true},
        {true, {}, false},
        {false, {"--watermark", "bitmap"}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.bitmap_drawn ? "bitmap" : "segments") + " digits, reader " +
                     (c.reader.empty() ? "default" : c.reader[1]));
        std::vector<std::string> args = {"--latency", "--per-frame", "--idle-exit", "1500", "--udp-port", "0"};
        args.insert(args.end(), c.reader.begin(), c.reader.end());
        RelayProcess relay;
        ASSERT_EQ(relay_process_start(&relay, args), 0);
        TestStreamOptions o;
        // Thirteen bitmap cells 74 pixels apart need 1012 columns.
        o.width = c.bitmap_drawn ? 1024 : 720;
        o.height = c.bitmap_drawn ? 128 : 176;
        o.frames = 30;
        o.frame_ms = 20;
        o.paced = true;
        o.watermark = true;
        o.bitmap_watermark = c.bitmap_drawn;
        TestStreamReport sent;
        ASSERT_EQ(test_send_stream(o, &sent), 0) << sent.error;
        ASSERT_EQ(relay_process_finish(&relay, false, 20000), 0) << relay.output;
        auto v = relay_process_values(relay.output);
        EXPECT_EQ(value(v, "decoded_frames"), 30);
        if (!c.readable) {
            EXPECT_EQ(value(v, "latency_frames"), 0) << relay.output;
            EXPECT_EQ(value(v, "latency_unreadable"), 30);
            continue;
        }
        EXPECT_EQ(value(v, "latency_frames"), 30) << relay.output;
        EXPECT_EQ(value(v, "latency_unreadable"), 0);
        double p50 = std::stod(v["latency_p50_ms"]), p95 = std::stod(v["latency_p95_ms"]),
               max = std::stod(v["latency_max_ms"]);
        // Encoding one small frame takes a few milliseconds; a wrong digit or
        // a wrong frame-to-arrival match is off by far more.
        EXPECT_GE(p50, 0.0);
        EXPECT_LE(p50, p95);
        EXPECT_LE(p95, max);
        EXPECT_LT(max, 1000.0);
        size_t lines = 0;
        for (size_t pos = 0; (pos = relay.output.find("frame_latency ", pos)) != std::string::npos; ++pos)
            lines++;
        EXPECT_EQ(lines, 30u);
    }
}

// A watermark kind the relay does not know is refused at start.
TEST(RelayControl, RefusesAnUnknownWatermarkKind)
{
    RelayProcess relay;
    EXPECT_NE(relay_process_start(&relay, {"--watermark", "roman"}), 0);
}
