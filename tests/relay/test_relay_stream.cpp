// The relay as a process, fed by FFmpeg's rtp muxer and by a fake capture
// side on the control socket.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "tests/relay/relay_process.h"
#include "tests/relay/synthetic_stream.h"

namespace {

struct FileFacts {
    std::string codec;
    int width = 0, height = 0;
    int frames = 0;  // decoded
};

// Opens a file with libavformat and decodes every frame of its first stream.
bool inspect_file(const std::string &path, FileFacts *f)
{
    AVFormatContext *ic = nullptr;
    if (avformat_open_input(&ic, path.c_str(), nullptr, nullptr) < 0)
        return false;
    bool ok = avformat_find_stream_info(ic, nullptr) >= 0 && ic->nb_streams > 0;
    AVCodecContext *dec = nullptr;
    if (ok) {
        AVStream *st = ic->streams[0];
        f->codec = avcodec_get_name(st->codecpar->codec_id);
        const AVCodec *c = avcodec_find_decoder(st->codecpar->codec_id);
        dec = c ? avcodec_alloc_context3(c) : nullptr;
        ok = dec && avcodec_parameters_to_context(dec, st->codecpar) >= 0 && avcodec_open2(dec, c, nullptr) >= 0;
    }
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    auto drain = [&] {
        while (avcodec_receive_frame(dec, frame) == 0) {
            f->frames++;
            f->width = frame->width;
            f->height = frame->height;
        }
    };
    while (ok && av_read_frame(ic, pkt) >= 0) {
        if (pkt->stream_index == 0 && avcodec_send_packet(dec, pkt) >= 0)
            drain();
        av_packet_unref(pkt);
    }
    if (ok) {
        avcodec_send_packet(dec, nullptr);
        drain();
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&ic);
    return ok;
}

long value(const std::map<std::string, std::string> &v, const std::string &key)
{
    auto it = v.find(key);
    return it == v.end() ? -1 : std::stol(it->second);
}

std::string text(const std::map<std::string, std::string> &v, const std::string &key)
{
    auto it = v.find(key);
    return it == v.end() ? "<missing>" : it->second;
}

struct CodecCase {
    const char *encoder;
    const char *relay_codec;
    const char *ffmpeg_name;
    const char *extension;
};

class RelayStreamTest : public ::testing::TestWithParam<CodecCase> {};

}  // namespace

// Every frame crosses the relay, FFmpeg's RTP demuxer and the recording
// intact, at the right size and codec; the figures match what was sent.
TEST_P(RelayStreamTest, RecordsEveryFrame)
{
    const CodecCase &c = GetParam();
    const std::string record = std::string("/tmp/out.") + c.extension;
    RelayProcess relay;
    ASSERT_EQ(relay_process_start(&relay, {"--codec", c.relay_codec, "--record", record, "--snapshot", "/tmp/shot.png",
                                           "--snapshot-frame", "5", "--idle-exit", "1500", "--sdp", "/tmp/relay.sdp",
                                           "--udp-port", "5004"}),
              0);
    TestStreamOptions o;
    o.encoder = c.encoder;
    o.frames = 36;
    TestStreamReport sent;
    ASSERT_EQ(test_send_stream(o, &sent), 0) << sent.error;
    ASSERT_EQ(relay_process_finish(&relay, false, 20000), 0) << relay.output;
    auto v = relay_process_values(relay.output);

    EXPECT_EQ(value(v, "packets") + value(v, "rtcp_packets"), sent.datagrams);
    EXPECT_GT(value(v, "packets"), 36);
    EXPECT_EQ(value(v, "frames"), 36);
    EXPECT_EQ(value(v, "bad_version"), 0);
    EXPECT_EQ(value(v, "largest_datagram"), long(sent.largest));
    EXPECT_LE(value(v, "largest_datagram"), 1400);
    EXPECT_EQ(value(v, "sequence_gaps"), 0);
    EXPECT_EQ(value(v, "streams"), 1);
    EXPECT_EQ(value(v, "timestamp_steps"), 35);
    EXPECT_EQ(value(v, "timestamp_step_min"), 33 * 90);
    EXPECT_EQ(value(v, "timestamp_step_max"), 33 * 90);
    EXPECT_EQ(value(v, "timestamp_off_grid"), 0);
    EXPECT_EQ(value(v, "decoded_frames"), 36) << relay.output;
    EXPECT_EQ(text(v, "decoded_size"), "320x240");
    EXPECT_EQ(text(v, "decoded_codec"), c.ffmpeg_name);
    EXPECT_EQ(text(v, "snapshot"), "/tmp/shot.png");

    FileFacts rec;
    ASSERT_TRUE(inspect_file(record, &rec)) << relay.output;
    EXPECT_EQ(rec.codec, c.ffmpeg_name);
    EXPECT_EQ(rec.frames, 36);
    EXPECT_EQ(rec.width, 320);
    EXPECT_EQ(rec.height, 240);

    FileFacts png;
    ASSERT_TRUE(inspect_file("/tmp/shot.png", &png));
    EXPECT_EQ(png.codec, "png");
    EXPECT_EQ(png.width, 320);
    EXPECT_EQ(png.height, 240);

    // The SDP beside the forwarded port names the codec for any receiver.
    FILE *f = fopen("/tmp/relay.sdp", "r");
    ASSERT_NE(f, nullptr);
    char sdp[1024] = {};
    fread(sdp, 1, sizeof(sdp) - 1, f);
    fclose(f);
    EXPECT_NE(std::strstr(sdp, "m=video 5004 RTP/AVP 96"), nullptr) << sdp;
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, RelayStreamTest,
    ::testing::Values(CodecCase{"libx264", "h264", "h264", "mkv"}, CodecCase{"libx264", "h264", "h264", "mp4"},
                      CodecCase{"libx265", "hevc", "hevc", "mkv"}, CodecCase{"libvpx", "vp8", "vp8", "mkv"},
                      CodecCase{"libvpx-vp9", "vp9", "vp9", "mkv"}),
    [](const auto &info) { return std::string(info.param.relay_codec) + "_" + info.param.extension; });
