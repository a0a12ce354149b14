#include "apps/capture/encoders/cpu_encoder.h"
#include "tests/encoders/pictures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

namespace {

constexpr int kW = 320, kH = 240, kFps = 30;

AVCodecID id_of(CodecType t)
{
    switch (t) {
    case CODEC_TYPE_H265: return AV_CODEC_ID_HEVC;
    case CODEC_TYPE_VP8: return AV_CODEC_ID_VP8;
    case CODEC_TYPE_VP9: return AV_CODEC_ID_VP9;
    case CODEC_TYPE_AV1: return AV_CODEC_ID_AV1;
    default: return AV_CODEC_ID_H264;
    }
}

int encode(CpuEncoder *e, const std::vector<uint8_t> &pic, AVPacket **out)
{
    const uint8_t *y = pic.data(), *u = y + kW * kH, *v = u + (kW / 2) * (kH / 2);
    return cpu_encoder_encode_planes(e, y, kW, u, kW / 2, v, kW / 2, out);
}

}  // namespace

TEST(CpuEncoderTable, RowsAndLookup)
{
    ASSERT_NE(cpu_find_encoder(1), nullptr);
    EXPECT_STREQ(cpu_find_encoder(1)->name, "libx265");
    EXPECT_EQ(cpu_find_encoder(1), &cpu_encoders[4]);
    EXPECT_STREQ(cpu_find_encoder(4)->name, "libaom-av1");
    testing::internal::CaptureStderr();
    EXPECT_EQ(cpu_find_encoder(CODEC_TYPE_UNCHANGED), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[CPU Encoder] Not found for type: Unknown\n");

    CpuEncoder *e = reinterpret_cast<CpuEncoder *>(1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(cpu_encoder_create(&e, 9, kW, kH, kFps), -1);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(e, nullptr);
    EXPECT_NE(log.find("[CPU Encoder] Not found for type: Unknown\n[CPU Encoder] Available encoders:\n"),
              std::string::npos);
}

// Hides one encoder from this process: calls to avcodec_find_encoder_by_name
// (from the encoder module as from the tests) resolve to this definition
// first, which forwards everything else to libavcodec.
static const char *g_hidden_encoder = nullptr;

extern "C" const AVCodec *avcodec_find_encoder_by_name(const char *name)
{
    using Lookup = const AVCodec *(*)(const char *);
    static const Lookup real = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "avcodec_find_encoder_by_name"));
    if (g_hidden_encoder && name && std::strcmp(name, g_hidden_encoder) == 0)
        return nullptr;
    return real ? real(name) : nullptr;
}

struct HiddenEncoder {
    explicit HiddenEncoder(const char *name) { g_hidden_encoder = name; }
    ~HiddenEncoder() { g_hidden_encoder = nullptr; }
};

TEST(CpuEncoderTable, MissingEncoderMarkedWhileAllRowsPrint)
{
    for (const CpuEncoderInfo &row : cpu_encoders)
        if (!avcodec_find_encoder_by_name(row.name))
            GTEST_SKIP() << row.name << " is not in this FFmpeg build";
    HiddenEncoder hidden("libx265");
    testing::internal::CaptureStderr();
    cpu_encoder_list_available();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[CPU Encoder] Available encoders:\n"
                                                      "  - H.264  (libx264) [available]\n"
                                                      "  - VP8    (libvpx) [available]\n"
                                                      "  - VP9    (libvpx-vp9) [available]\n"
                                                      "  - AV1    (libaom-av1) [available]\n"
                                                      "  - H.265  (libx265) [not installed]\n");

    CpuEncoder *e = reinterpret_cast<CpuEncoder *>(1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(cpu_encoder_create(&e, CODEC_TYPE_H265, kW, kH, kFps), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[CPU Encoder] libx265 not found in FFmpeg\n");
    EXPECT_EQ(e, nullptr);
}

// The rates, group of pictures, private options and log line of each row, read back from a configured context
// before it is opened. Options this FFmpeg's wrappers do not have ("threads"
// and "sliced_threads" of libx264, "token-partitions" of libvpx, "bframes"
// of libx265) are skipped silently by the rows and so are not listed.
TEST(CpuEncoderTable, RowsSetTheirPrivateOptions)
{
    struct Expected {
        int row;
        const char *option;
        const char *value;
    };
    const Expected expected[] = {
        {0, "qp", "28"},
        {0, "preset", "ultrafast"},
        {0, "tune", "zerolatency"},
        {1, "cpu-used", "8"},
        {1, "deadline", "1"},
        {1, "lag-in-frames", "0"},
        {1, "static-thresh", "1000"},
        {2, "cpu-used", "8"},
        {2, "deadline", "1"},
        {2, "lag-in-frames", "0"},
        {2, "row-mt", "true"},
        {2, "tile-columns", "2"},
        {2, "tile-rows", "1"},
        {2, "frame-parallel", "true"},
        {3, "cpu-used", "8"},
        {3, "usage", "1"},
        {3, "lag-in-frames", "0"},
        {3, "row-mt", "true"},
        {3, "tile-columns", "2"},
        {3, "tile-rows", "1"},
        {4, "preset", "ultrafast"},
        {4, "tune", "zerolatency"},
    };
    struct Rates {
        int64_t rate, max;
        int buffer, gop;
    };
    const Rates rates[5] = {{0, 25000000, 25000000, 60},
                            {15000000, 30000000, 0, 60},
                            {10000000, 20000000, 0, 60},
                            {8000000, 16000000, 0, kFps},
                            {10000000, 20000000, 0, kFps}};
    const char *logs[5] = {"", "[CPU VP8] realtime, cpu-used=8, GOP=60, 15000000 bps\n",
                           "[CPU VP9] realtime, cpu-used=8, row-mt, GOP=60, 10000000 bps\n",
                           "[CPU AV1] realtime, cpu-used=8, GOP=30, 8000000 bps\n",
                           "[CPU H265] ultrafast+zerolatency, GOP=30, 10000000 bps\n"};
    for (int r = 0; r < 5; ++r) {
        const CpuEncoderInfo &row = cpu_encoders[r];
        const AVCodec *codec = avcodec_find_encoder_by_name(row.name);
        if (!codec)
            continue;
        AVCodecContext *c = avcodec_alloc_context3(codec);
        ASSERT_NE(c, nullptr);
        testing::internal::CaptureStderr();
        EXPECT_EQ(row.configure(c, kW, kH, kFps), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), logs[r]);
        EXPECT_EQ(c->bit_rate, rates[r].rate) << row.name;
        EXPECT_EQ(c->rc_max_rate, rates[r].max) << row.name;
        EXPECT_EQ(c->rc_buffer_size, rates[r].buffer) << row.name;
        EXPECT_EQ(c->gop_size, rates[r].gop) << row.name;
        EXPECT_EQ(c->max_b_frames, 0) << row.name;
        for (const Expected &e : expected) {
            if (e.row != r)
                continue;
            uint8_t *value = nullptr;
            ASSERT_GE(av_opt_get(c->priv_data, e.option, 0, &value), 0) << row.name << " " << e.option;
            EXPECT_STREQ(reinterpret_cast<char *>(value), e.value) << row.name << " " << e.option;
            av_free(value);
        }
        avcodec_free_context(&c);
    }
}

class CpuEncoderRows : public testing::TestWithParam<int> {};

// Every installed row encodes a moving picture that decodes back close to the
// input. The threshold is 35 dB on the worst plane of every frame: at 320x240
// the rows' rates and quantisers give 40 dB or more (libaom-av1 lowest at
// 40.0, libx264 44, libx265 72), while on this picture a plane shifted by one
// pixel scores 31 dB, the neighbouring frame 24, swapped chroma planes 21 and
// a plane copied with a wrong stride 12.
TEST_P(CpuEncoderRows, EncodesDecodablePicturesWithRowSettings)
{
    const CpuEncoderInfo &row = cpu_encoders[GetParam()];
    if (!avcodec_find_encoder_by_name(row.name))
        GTEST_SKIP() << row.name << " is not in this FFmpeg build";
    CpuEncoder *e = nullptr;
    ASSERT_EQ(cpu_encoder_create(&e, row.type, kW, kH, kFps), 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->context->gop_size, (row.type == CODEC_TYPE_AV1 || row.type == CODEC_TYPE_H265) ? kFps : 60);
    EXPECT_EQ(e->context->max_b_frames, 0);

    TestDecoder dec(id_of(row.type), kW, kH);
    ASSERT_TRUE(dec.ok());
    const int frames = 30;
    int64_t last_pts = -1;
    int packets = 0;
    for (int i = 0; i < frames; ++i) {
        auto pic = make_picture(kW, kH, i);
        AVPacket *pkt = nullptr;
        ASSERT_EQ(encode(e, pic, &pkt), 0);
        EXPECT_EQ(e->frame->pts, i);  // pts advance whether or not a packet came out
        EXPECT_EQ(e->next_pts, i + 1);
        if (pkt) {
            EXPECT_GT(pkt->pts, last_pts);
            last_pts = pkt->pts;
            ++packets;
            dec.decode(pkt);
        }
    }
    dec.decode(nullptr);
    EXPECT_GE(packets, frames / 2);
    EXPECT_GE(dec.pictures.size(), size_t(packets));
    ASSERT_FALSE(dec.pictures.empty());
    for (const auto &[pts, got] : dec.pictures)
        EXPECT_GT(picture_psnr(make_picture(kW, kH, int(pts)), got, kW, kH), 35.0) << row.name << " pts " << pts;
    testing::internal::CaptureStderr();
    cpu_encoder_destroy(e);
    // The encoder libraries may print their own closing statistics after it.
    const std::string destroyed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(destroyed.rfind(std::string("[CPU Encoder] Destroying ") + row.name + "\n", 0), 0u) << destroyed;
}

INSTANTIATE_TEST_SUITE_P(AllRows, CpuEncoderRows, testing::Range(0, 5));

TEST(CpuEncoder, TwoForcedKeyFramesGiveOneIntraFrame)
{
    CpuEncoder *e = nullptr;
    ASSERT_EQ(cpu_encoder_create(&e, CODEC_TYPE_H264, kW, kH, kFps), 0);
    int keys = 0;
    std::vector<int> key_at;
    for (int i = 0; i < 20; ++i) {
        if (i == 8) {
            EXPECT_EQ(cpu_encoder_force_keyframe(e), 0);
            EXPECT_EQ(cpu_encoder_force_keyframe(e), 0);
        }
        AVPacket *pkt = nullptr;
        ASSERT_EQ(encode(e, make_picture(kW, kH, i), &pkt), 0);
        if (pkt && (pkt->flags & AV_PKT_FLAG_KEY)) {
            ++keys;
            key_at.push_back(int(pkt->pts));
        }
    }
    EXPECT_EQ(keys, 2);  // the first frame and the forced one
    ASSERT_EQ(key_at.size(), 2u);
    EXPECT_EQ(key_at[0], 0);
    EXPECT_EQ(key_at[1], 8);
    EXPECT_EQ(cpu_encoder_force_keyframe(nullptr), -1);
    cpu_encoder_destroy(e);
    cpu_encoder_destroy(nullptr);
}

TEST(CpuEncoder, BitrateReachesContextWithTheNextFrame)
{
    CpuEncoder *e = nullptr;
    ASSERT_EQ(cpu_encoder_create(&e, CODEC_TYPE_VP8, kW, kH, kFps), 0);
    EXPECT_EQ(e->context->bit_rate, 15000000);
    testing::internal::CaptureStderr();
    EXPECT_EQ(cpu_encoder_set_bitrate(e, 4000000), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[CPU Encoder] Bitrate set to 4000000 bps\n");
    AVPacket *pkt = nullptr;
    ASSERT_EQ(encode(e, make_picture(kW, kH, 0), &pkt), 0);
    EXPECT_EQ(e->context->bit_rate, 4000000);
    EXPECT_EQ(e->context->rc_max_rate, 4000000);
    EXPECT_EQ(cpu_encoder_set_bitrate(nullptr, 1), -1);
    EXPECT_EQ(cpu_encoder_encode_planes(nullptr, nullptr, 0, nullptr, 0, nullptr, 0, &pkt), -1);
    // A missing plane is refused before FFmpeg reads it, and uses no pts.
    const auto pic = make_picture(kW, kH, 1);
    EXPECT_EQ(cpu_encoder_encode_planes(e, pic.data(), kW, nullptr, kW / 2, pic.data(), kW / 2, &pkt), AVERROR(EINVAL));
    EXPECT_EQ(pkt, nullptr);
    EXPECT_EQ(e->next_pts, 1);
    cpu_encoder_destroy(e);
}

// The control thread changes rate and asks for key frames for as long as the
// pipeline thread encodes; run under ThreadSanitizer this proves the
// hand-over. Afterwards the last request reaches the context with the next
// frame and a forced key frame still comes out as one.
TEST(CpuEncoder, ControlCallsRaceFreeWithEncoding)
{
    constexpr int w = 160, h = 120;
    CpuEncoder *e = nullptr;
    ASSERT_EQ(cpu_encoder_create(&e, CODEC_TYPE_H264, w, h, kFps), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> requests{0};
    testing::internal::CaptureStderr();
    std::thread control([&] {
        for (int i = 0; !stop.load(); ++i) {
            cpu_encoder_set_bitrate(e, 1000000 + (i % 1000) * 1000);
            cpu_encoder_force_keyframe(e);
            requests.fetch_add(1);
        }
    });
    const std::vector<uint8_t> pic = make_picture(w, h, 0);
    const uint8_t *y = pic.data(), *u = y + w * h, *v = u + (w / 2) * (h / 2);
    int failures = 0;
    for (int i = 0; i < 40 || requests.load() == 0; ++i) {
        AVPacket *pkt = nullptr;
        failures += cpu_encoder_encode_planes(e, y, w, u, w / 2, v, w / 2, &pkt) != 0;
    }
    stop = true;
    control.join();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(failures, 0);

    AVPacket *pkt = nullptr;
    ASSERT_EQ(cpu_encoder_encode_planes(e, y, w, u, w / 2, v, w / 2, &pkt), 0);  // takes any pending key frame
    testing::internal::CaptureStderr();
    cpu_encoder_set_bitrate(e, 777000);
    testing::internal::GetCapturedStderr();
    cpu_encoder_force_keyframe(e);
    int keys = 0;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(cpu_encoder_encode_planes(e, y, w, u, w / 2, v, w / 2, &pkt), 0);
        keys += pkt && (pkt->flags & AV_PKT_FLAG_KEY);
    }
    EXPECT_EQ(e->context->bit_rate, 777000);
    EXPECT_EQ(e->context->rc_max_rate, 777000);
    EXPECT_EQ(keys, 1);
    cpu_encoder_destroy(e);
}
