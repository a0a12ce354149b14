// Encoded pictures leave through the streamer and arrive at the relay as a
// stream that FFmpeg's own RTP demuxer decodes frame for frame.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "apps/capture/encoders/codec_types.h"
#include "apps/capture/encoders/cpu_encoder.h"
#include "apps/capture/streamer/streamer.h"
#include "tests/relay/relay_process.h"
#include "libs/common/relay_protocol.h"

namespace {

struct Case {
    CodecType type;
    const char *relay_codec;
    const char *ffmpeg_name;
};

class StreamerToRelay : public ::testing::TestWithParam<Case> {};

long value(const std::map<std::string, std::string> &v, const std::string &key)
{
    auto it = v.find(key);
    return it == v.end() ? -1 : std::stol(it->second);
}

TEST_P(StreamerToRelay, EveryEncodedFrameIsReceivedAndDecoded)
{
    const Case &c = GetParam();
    constexpr int kW = 320, kH = 240, kFrames = 30;

    RelayProcess relay;
    ASSERT_EQ(relay_process_start(&relay, {"--codec", c.relay_codec, "--record", "/tmp/out.mkv", "--idle-exit", "1500",
                                           "--udp-port", "5004"}),
              0);

    CpuEncoder *encoder = nullptr;
    ASSERT_EQ(cpu_encoder_create(&encoder, c.type, kW, kH, 30), 0);

    StreamerConfig config{};
    config.rtp_path = relay_protocol::kRtpSocketPath;
    config.control_path = relay_protocol::kControlSocketPath;
    config.width = kW;
    config.height = kH;
    config.codec_name = codec_type_to_string(c.type);
    config.mode = 1;
    config.fps = 30;
    config.upstream_width = kW;
    config.upstream_height = kH;
    Streamer *streamer = nullptr;
    ASSERT_EQ(streamer_init(&streamer, &config), 0);
    ASSERT_EQ(streamer_connect(streamer), 0);

    std::vector<uint8_t> y(kW * kH), u(kW * kH / 4), v(kW * kH / 4);
    int sent = 0;
    for (int i = 0; i < kFrames; ++i) {
        for (int row = 0; row < kH; ++row)
            for (int col = 0; col < kW; ++col)
                y[row * kW + col] = static_cast<uint8_t>(col + row + 4 * i);
        std::fill(u.begin(), u.end(), static_cast<uint8_t>(100 + i));
        std::fill(v.begin(), v.end(), static_cast<uint8_t>(150 - i));
        AVPacket *packet = nullptr;
        ASSERT_EQ(cpu_encoder_encode_planes(encoder, y.data(), kW, u.data(), kW / 2, v.data(), kW / 2, &packet), 0);
        if (packet != nullptr) {
            EXPECT_EQ(streamer_send_packet(streamer, packet, 1000 + 33u * static_cast<uint64_t>(i)), 0);
            ++sent;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Let the sender drain its queue before the streamer goes away.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(streamer_cleanup(streamer), 0);
    cpu_encoder_destroy(encoder);

    ASSERT_EQ(relay_process_finish(&relay, false, 20000), 0) << relay.output;
    auto values = relay_process_values(relay.output);
    EXPECT_GE(sent, kFrames / 2);
    EXPECT_EQ(value(values, "frames"), sent) << relay.output;
    EXPECT_EQ(value(values, "bad_version"), 0);
    EXPECT_LE(value(values, "largest_datagram"), 1400);
    EXPECT_EQ(value(values, "sequence_gaps"), 0);
    EXPECT_EQ(value(values, "decoded_frames"), sent) << relay.output;
    EXPECT_EQ(values["decoded_size"], "320x240");
    EXPECT_EQ(values["decoded_codec"], c.ffmpeg_name);
}

INSTANTIATE_TEST_SUITE_P(Codecs, StreamerToRelay,
                         ::testing::Values(Case{CODEC_TYPE_H264, "h264", "h264"}, Case{CODEC_TYPE_H265, "hevc", "hevc"},
                                           Case{CODEC_TYPE_VP8, "vp8", "vp8"}, Case{CODEC_TYPE_VP9, "vp9", "vp9"}),
                         [](const auto &info) { return std::string(info.param.relay_codec); });

}  // namespace
