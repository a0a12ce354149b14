// The compatible mode on the processor under an HDR connector, with the real
// helper, relay and capture: a PQ display's 10-bit ramp comes out of the
// 8-bit stream tone-mapped to SDR as the curve gives it (100 cd/m2 and the
// highlights above the target peak included), charts on overlay planes are
// tone-mapped after composing, and with --hdr the ramp comes as a 10-bit
// H.265 stream that keeps its steps and says BT.2020, PQ and the
// connector's mastering metadata.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/mastering_display_metadata.h>
}

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "apps/capture-helper/vd_picture.h"
#include "apps/capture/core/deep_formats.h"
#include "apps/capture/core/hdr_tone.h"
#include "tests/e2e/system_fixture.h"

namespace {

constexpr int kW = 1280, kH = 720;
const std::vector<std::string> kNoEgl = {"__EGL_VENDOR_LIBRARY_FILENAMES=/nonexistent"};

// An XR30 display (the pattern, its ramp band in the bottom 8 rows: column
// x holds code x * 1024 / 1280) on a connector saying PQ, BT.2020, with a
// cursor (an opaque green 16x16 square at its top-left).
const char kPqWorld[] = "device /dev/dri/card1\n"
                        "framebuffer 201 1280x720 XR30\n"
                        "crtc 50 1280x720@60 fb=201\n"
                        "encoder 80 crtc=50\n"
                        "connector 100 DP-3 connected encoders=80 hdr=pq maxcll=1000 maxfall=400 "
                        "mastering=1000,50\n"
                        "cursor crtc=50 32x32 at=1000,560\n";

int ramp_code(int x)
{
    return x * 1024 / kW;
}

// The last decoded picture of a recording, as the decoder gives it.
struct Decoded {
    int format = -1, transfer = -1, primaries = -1, width = 0;
    bool mastering = false, light_level = false;
    std::vector<uint16_t> luma;  // samples as they are (8 or 10 bits)
};

int decode_last(const std::string &path, Decoded *out)
{
    AVFormatContext *input = nullptr;
    if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) != 0)
        return -1;
    const AVCodec *decoder = nullptr;
    AVCodecContext *context = nullptr;
    AVFrame *frame = av_frame_alloc();
    AVPacket *packet = av_packet_alloc();
    int stream = -1, frames = 0;
    if (avformat_find_stream_info(input, nullptr) >= 0)
        stream = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (stream >= 0 && decoder && (context = avcodec_alloc_context3(decoder)) &&
        avcodec_parameters_to_context(context, input->streams[stream]->codecpar) >= 0 &&
        avcodec_open2(context, decoder, nullptr) >= 0 && frame && packet) {
        auto drain = [&] {
            while (avcodec_receive_frame(context, frame) == 0) {
                ++frames;
                const bool ten = frame->format == AV_PIX_FMT_YUV420P10LE;
                out->format = frame->format;
                out->transfer = frame->color_trc;
                out->primaries = frame->color_primaries;
                out->width = frame->width;
                out->mastering |= av_frame_get_side_data(frame, AV_FRAME_DATA_MASTERING_DISPLAY_METADATA) != nullptr;
                out->light_level |= av_frame_get_side_data(frame, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL) != nullptr;
                out->luma.assign(size_t(frame->width) * frame->height, 0);
                for (int y = 0; y < frame->height; ++y)
                    for (int x = 0; x < frame->width; ++x) {
                        const uint8_t *row = frame->data[0] + y * frame->linesize[0];
                        out->luma[size_t(y) * frame->width + x] =
                            ten ? uint16_t(row[2 * x] | row[2 * x + 1] << 8) : row[x];
                    }
                av_frame_unref(frame);
            }
        };
        while (av_read_frame(input, packet) == 0) {
            if (packet->stream_index == stream)
                avcodec_send_packet(context, packet);
            av_packet_unref(packet);
            drain();
        }
        avcodec_send_packet(context, nullptr);
        drain();
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
    avformat_close_input(&input);
    return frames > 0 ? 0 : -1;
}

class HdrConnector : public E2eSystem {
protected:
    void SetUp() override
    {
        ASSERT_EQ(e2e_write_file("/tmp/hdr-world.txt", kPqWorld), 0);
        ASSERT_EQ(e2e_start_helper(&helper_, "/tmp/hdr-world.txt"), 0) << logs(helper_);
    }

    // Streams two seconds of the display in the compatible mode on the
    // processor with extra arguments, recorded at path.
    void record(const std::vector<std::string> &extra, const std::string &path)
    {
        ASSERT_EQ(e2e_start_relay(&relay_, {"--query-config", "--udp-port", "0", "--record", path}), 0) << e2e_stderr(&relay_);
        std::vector<std::string> args = {"-m", "compatible"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_EQ(e2e_spawn(&capture_, "capture", e2e_capture_program(), args, kNoEgl), 0);
        ASSERT_TRUE(e2e_wait_for_text(&capture_, "FPS t=", 15000)) << logs(capture_);
        e2e_sleep_ms(2000);
        stop_worker();
        finish_relay();
        EXPECT_TRUE(WIFEXITED(capture_.status) && WEXITSTATUS(capture_.status) == 0) << logs(capture_);
    }
};

class HdrCharts : public E2eSystem {
protected:
    void SetUp() override {}
};

}  // namespace

// Charts shown as overlay planes over a black primary on a PQ connector:
// the composed picture (each layer cut to 8 bits a channel) is tone-mapped
// after composing, so each patch decodes within 2 of the curve applied to
// its 8-bit colour and rounded to 8 bits again.
TEST_F(HdrCharts, ComposedPqChartsToneMappedAfterComposing)
{
    constexpr int tile_w = 480, tile_h = 220, top = 200;
    constexpr uint32_t chart_w = tile_w, chart_h = VD_CHART_TOP_ROWS + tile_h;
    const char *const formats[] = {"XR30", "AB4H", "XB48", "RG16"};
    std::string world = "device /dev/dri/card1\ncrtc 50 1920x1080@60 fb=201\nencoder 80 crtc=50\n"
                        "connector 100 DP-3 connected encoders=80 hdr=pq maxcll=1000\n"
                        "framebuffer 201 1920x1080 XR24 fill=0xff000000\n";
    for (size_t t = 0; t < std::size(formats); ++t)
        world += "framebuffer " + std::to_string(301 + t) + " " + std::to_string(chart_w) + "x" +
                 std::to_string(chart_h) + " " + formats[t] + " pattern=chart\nplane " + std::to_string(61 + t) +
                 " crtc=50 fb=" + std::to_string(301 + t) + " zpos=" + std::to_string(1 + t) +
                 " at=" + std::to_string(tile_w * int(t)) + "," + std::to_string(top) + " src=0," +
                 std::to_string(VD_CHART_TOP_ROWS) + "," + std::to_string(tile_w) + "x" + std::to_string(tile_h) + "\n";
    const std::vector<E2eFrame> frames = stream_world(world, "compatible", {}, 2000, "hdr-charts");
    ASSERT_GE(frames.size(), 3u);
    const E2eFrame &f = frames.back();
    ASSERT_EQ(f.width, 1920);
    HdrSignal signal;
    signal.transfer = HDR_TRANSFER_PQ;
    signal.bt2020 = true;
    signal.max_cll = 1000;
    const HdrToneMap map = hdr_tone_map_for(signal);
    auto eighth = [](double v) { return std::round(v * 255) / 255; };
    double worst = 0;
    for (size_t t = 0; t < std::size(formats); ++t)
        for (int i = 0; i < VD_CHART_PATCHES; ++i) {
            const char *n = formats[t];
            double rgb[3], in[3], sdr[3], ycc[3];
            ASSERT_TRUE(vd_picture_chart_value(deep_fourcc(n[0], n[1], n[2], n[3]), i, rgb));
            for (int c = 0; c < 3; ++c)
                in[c] = eighth(rgb[c]);
            hdr_tone_map_rgb(map, in, sdr);
            for (double &c : sdr)
                c = eighth(c);
            hdr_rgb_to_ycbcr709(sdr, ycc);
            const VdRect r = vd_picture_chart_patch(chart_w, chart_h, i);
            const int x = (tile_w * int(t) + r.x + r.w / 2) & ~1, y = (top + r.y - VD_CHART_TOP_ROWS + r.h / 2) & ~1;
            const int cw = (f.width + 1) / 2;
            const double got[3] = {double(f.luma[size_t(y) * f.width + x]), double(f.u[size_t(y / 2) * cw + x / 2]),
                                   double(f.v[size_t(y / 2) * cw + x / 2])};
            for (int c = 0; c < 3; ++c) {
                worst = std::max(worst, std::fabs(got[c] - ycc[c]));
                EXPECT_NEAR(got[c], ycc[c], 2) << n << " patch " << i << " plane " << c;
            }
        }
    std::printf("[ report ] composed PQ charts: worst difference from the curve %.2f\n", worst);
}

TEST_F(HdrConnector, PqRampToneMappedInTheSdrStream)
{
    record({}, "/tmp/hdr-sdr.mkv");
    Decoded d;
    ASSERT_EQ(decode_last("/tmp/hdr-sdr.mkv", &d), 0);
    ASSERT_EQ(d.format, AV_PIX_FMT_YUV420P);
    ASSERT_EQ(d.width, kW);
    HdrSignal signal;
    signal.transfer = HDR_TRANSFER_PQ;
    signal.bt2020 = true;
    signal.max_cll = 1000;
    const HdrToneMap map = hdr_tone_map_for(signal);
    // Across the ramp: black, the knee, 100 cd/m2 (code 520), the source
    // peak (code 769) and above it; the rolled-off highlights still climb.
    int last = 0;
    for (int x : {40, 300, 500, 650, 760, 900, 962, 1100, 1270}) {
        const double code = ramp_code(x) / 1023.0, in[3] = {code, code, code};
        double sdr[3], ycc[3];
        hdr_tone_map_rgb(map, in, sdr);
        hdr_rgb_to_ycbcr709(sdr, ycc);
        const int got = d.luma[size_t(kH - 4) * kW + x];
        EXPECT_NEAR(got, ycc[0], 2) << "x " << x << " code " << ramp_code(x);
        if (x <= 962) {
            EXPECT_GE(got, last) << x;
        }
        last = got;
    }
}

TEST_F(HdrConnector, HdrOptionStreamsTenBitsWithTheConnectorsColour)
{
    record({"--hdr"}, "/tmp/hdr-10.mkv");
    Decoded d;
    ASSERT_EQ(decode_last("/tmp/hdr-10.mkv", &d), 0);
    ASSERT_EQ(d.format, AV_PIX_FMT_YUV420P10LE);
    EXPECT_EQ(d.transfer, AVCOL_TRC_SMPTE2084);
    EXPECT_EQ(d.primaries, AVCOL_PRI_BT2020);
    EXPECT_TRUE(d.mastering);
    EXPECT_TRUE(d.light_level);
    ASSERT_EQ(d.width, kW);
    // The ramp keeps its 10-bit steps (8 bits would leave at most 220 codes
    // apart by 4) and its codes, Y' = 64 + 876 x code / 1023, within what
    // the encoder's quantization moves them (2 steps of 8 bits).
    std::set<int> codes;
    double error = 0;
    for (int x = 8; x < kW - 8; ++x) {
        const int got = d.luma[size_t(kH - 4) * kW + x];
        codes.insert(got);
        const double want = 64 + 876.0 * ramp_code(x) / 1023;
        error += std::fabs(got - want);
        ASSERT_NEAR(got, want, 16) << x;
    }
    error /= kW - 16;
    std::printf("[ report ] 10-bit ramp: %zu luma codes, mean error %.2f\n", codes.size(), error);
    EXPECT_LT(error, 3.0);
    EXPECT_GT(codes.size(), 700u);
    // The cursor's green at the stream's reference white (203 cd/m2: Y' near
    // 530), not at its SDR codes taken as PQ (692), and apart from the bar
    // beside it (below the moving square's rows).
    const int cursor_luma = d.luma[size_t(566) * kW + 1006], beside = d.luma[size_t(566) * kW + 1060];
    EXPECT_GT(cursor_luma, 450);
    EXPECT_LT(cursor_luma, 620);
    EXPECT_GT(std::abs(cursor_luma - beside), 25) << cursor_luma << " beside " << beside;
}
