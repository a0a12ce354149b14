#include "apps/capture/encoders/cpu_encoder.h"
#include "tests/encoders/pictures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
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

TEST(CpuEncoderTable, ListShowsAllRowsAndMarksMissingOnes)
{
    testing::internal::CaptureStderr();
    cpu_encoder_list_available();
    const std::string log = testing::internal::GetCapturedStderr();
    std::string expected = "[CPU Encoder] Available encoders:\n";
    for (const CpuEncoderInfo &row : cpu_encoders) {
        char line[128];
        std::snprintf(line, sizeof line, "  - %-6s (%s) [%s]\n", codec_type_to_string(row.type), row.name,
                      avcodec_find_encoder_by_name(row.name) ? "available" : "not installed");
        expected += line;
    }
    EXPECT_EQ(log, expected);
    EXPECT_NE(log.find("  - H.264  (libx264) ["), std::string::npos);
    EXPECT_NE(log.find("  - H.265  (libx265) ["), std::string::npos);
}

class CpuEncoderRows : public testing::TestWithParam<int> {};

// Every installed row encodes a moving picture that decodes back close to the
// input. 28 dB on luma: these rates and quantisers give well above 30 dB at
// 320x240, while a sheared, shifted or mixed-up plane falls below 15 dB.
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
    const int frames = row.type == CODEC_TYPE_AV1 ? 12 : 30;
    int64_t last_pts = -1;
    int packets = 0;
    for (int i = 0; i < frames; ++i) {
        auto pic = make_picture(kW, kH, i);
        AVPacket *pkt = nullptr;
        ASSERT_EQ(encode(e, pic, &pkt), 0);
        EXPECT_EQ(e->frame->pts, i);        // pts advance whether or not a packet came out
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
    ASSERT_FALSE(dec.luma.empty());
    for (const auto &[pts, y] : dec.luma) {
        auto pic = make_picture(kW, kH, int(pts));
        EXPECT_GT(luma_psnr(pic.data(), y.data(), y.size()), 28.0) << row.name << " pts " << pts;
    }
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
    EXPECT_EQ(keys, 2);   // the first frame and the forced one
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
    cpu_encoder_destroy(e);
}

// The control thread changes rate and asks for key frames while the pipeline
// thread encodes; run under ThreadSanitizer this proves the hand-over.
TEST(CpuEncoder, ControlCallsRaceFreeWithEncoding)
{
    CpuEncoder *e = nullptr;
    ASSERT_EQ(cpu_encoder_create(&e, CODEC_TYPE_H264, 160, 120, kFps), 0);
    std::atomic<bool> stop{false};
    testing::internal::CaptureStderr();
    std::thread control([&] {
        for (int i = 0; i < 400 && !stop.load(); ++i) {
            cpu_encoder_set_bitrate(e, 1000000 + i * 1000);
            cpu_encoder_force_keyframe(e);
        }
    });
    std::vector<uint8_t> pic = make_picture(160, 120, 0);
    for (int i = 0; i < 40; ++i) {
        AVPacket *pkt = nullptr;
        const uint8_t *y = pic.data(), *u = y + 160 * 120, *v = u + 80 * 60;
        ASSERT_EQ(cpu_encoder_encode_planes(e, y, 160, u, 80, v, 80, &pkt), 0);
    }
    stop = true;
    control.join();
    testing::internal::GetCapturedStderr();
    AVPacket *pkt = nullptr;
    cpu_encoder_set_bitrate(e, 777000);
    const uint8_t *y = pic.data(), *u = y + 160 * 120, *v = u + 80 * 60;
    ASSERT_EQ(cpu_encoder_encode_planes(e, y, 160, u, 80, v, 80, &pkt), 0);
    EXPECT_EQ(e->context->bit_rate, 777000);
    cpu_encoder_destroy(e);
}
