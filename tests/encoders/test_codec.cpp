#include "apps/capture/encoders/codec.h"
#include "tests/encoders/pictures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

CodecEncoderConfig config(int32_t type, int w, int h, int kbps = 2000)
{
    return CodecEncoderConfig{type, w, h, 30, kbps, 30};
}

}  // namespace

TEST(Codec, RateControlRecipeFromOneFigure)
{
    CodecContext *c = nullptr;
    CodecEncoderConfig cfg = config(CODEC_TYPE_H264, 320, 240, 16000);
    testing::internal::CaptureStdout();
    ASSERT_EQ(codec_encoder_init(&c, &cfg), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[CODEC] Initializing H.264 encoder\n[CODEC] Encoder initialized: 320x240 @ 30fps, 16000kbps\n");
    EXPECT_EQ(c->context->bit_rate, 16000000);
    EXPECT_EQ(c->context->rc_max_rate, 16000000);
    EXPECT_EQ(c->context->rc_buffer_size, 32000000);
    EXPECT_EQ(c->context->rc_initial_buffer_occupancy, 28800000);
    EXPECT_EQ(c->context->qmin, 20);
    EXPECT_EQ(c->context->qmax, 36);
    EXPECT_EQ(c->context->gop_size, 30);
    EXPECT_EQ(c->context->refs, 2);
    EXPECT_EQ(c->context->max_b_frames, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(codec_set_bitrate(c, 5000000), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[CODEC] Dynamic bitrate set to 5000000 bps\n");
    AVPacket *pkt = nullptr;
    auto pic = make_picture(320, 240, 0);
    ASSERT_EQ(codec_encode_frame(c, pic.data(), &pkt), 0);
    av_packet_free(&pkt);
    EXPECT_EQ(c->context->bit_rate, 5000000);
    EXPECT_EQ(c->context->rc_max_rate, 5000000);
    EXPECT_EQ(c->context->rc_buffer_size, 32000000);
    EXPECT_EQ(codec_set_bitrate(nullptr, 1), -1);
    EXPECT_EQ(codec_force_keyframe(nullptr), -1);
    EXPECT_EQ(codec_encode_frame(nullptr, pic.data(), &pkt), -1);
    testing::internal::CaptureStdout();
    codec_cleanup(c);
    codec_cleanup(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[CODEC] Cleaning up codec context\n[CODEC] Cleaning up codec context\n");
}

TEST(Codec, UnknownTypeOpensH264)
{
    CodecContext *c = nullptr;
    CodecEncoderConfig cfg = config(7, 320, 240);
    testing::internal::CaptureStdout();
    ASSERT_EQ(codec_encoder_init(&c, &cfg), 0);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log.rfind("[CODEC] Initializing Unknown encoder\n", 0), 0u);
    EXPECT_EQ(c->context->codec_id, AV_CODEC_ID_H264);
    codec_cleanup(c);
}

// Packed I420 has no room for the chroma of an odd last column or row, so
// such sizes (and empty ones) are refused before anything is opened.
TEST(Codec, OddOrEmptySizesRefused)
{
    for (auto [w, h] : {std::pair{321, 240}, std::pair{320, 241}, std::pair{0, 240}}) {
        CodecContext *c = reinterpret_cast<CodecContext *>(1);
        CodecEncoderConfig cfg = config(CODEC_TYPE_H264, w, h);
        testing::internal::CaptureStdout();
        EXPECT_EQ(codec_encoder_init(&c, &cfg), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "[CODEC] Initializing H.264 encoder\n[CODEC] Failed to open codec\n");
        EXPECT_EQ(c, nullptr);
    }
}

// 1366 (and 683 for chroma) is not a multiple of the frame's line alignment:
// a copy that ignored the line sizes would shear every row (12 dB on this
// picture) and fail the 35 dB that the software rows are held to; this one
// decodes at 40 dB or more.
TEST(Codec, WideOddAlignedPictureEncodesUnsheared)
{
    const int w = 1366, h = 96;
    CodecContext *c = nullptr;
    CodecEncoderConfig cfg = config(CODEC_TYPE_H264, w, h, 8000);
    ASSERT_EQ(codec_encoder_init(&c, &cfg), 0);
    ASSERT_NE(c->frame->linesize[0], w);
    TestDecoder dec(AV_CODEC_ID_H264, w, h);
    for (int i = 0; i < 10; ++i) {
        AVPacket *pkt = nullptr;
        ASSERT_EQ(codec_encode_frame(c, make_picture(w, h, i).data(), &pkt), 0);
        EXPECT_EQ(c->frame_counter, i + 1);
        if (pkt) {
            dec.decode(pkt);
            av_packet_free(&pkt);
        }
    }
    dec.decode(nullptr);
    ASSERT_FALSE(dec.pictures.empty());
    for (const auto &[pts, got] : dec.pictures)
        EXPECT_GT(picture_psnr(make_picture(w, h, int(pts)), got, w, h), 35.0) << "pts " << pts;
    codec_cleanup(c);
}

TEST(Codec, TwoForcedKeyFramesGiveOneIntraFrameAndOneLine)
{
    CodecContext *c = nullptr;
    CodecEncoderConfig cfg = config(CODEC_TYPE_H264, 320, 240);
    ASSERT_EQ(codec_encoder_init(&c, &cfg), 0);
    std::vector<int64_t> keys;
    std::string log;
    for (int i = 0; i < 12; ++i) {
        if (i == 5) {
            codec_force_keyframe(c);
            codec_force_keyframe(c);
        }
        AVPacket *pkt = nullptr;
        testing::internal::CaptureStdout();
        ASSERT_EQ(codec_encode_frame(c, make_picture(320, 240, i).data(), &pkt), 0);
        log += testing::internal::GetCapturedStdout();
        if (pkt && (pkt->flags & AV_PKT_FLAG_KEY))
            keys.push_back(pkt->pts);
        av_packet_free(&pkt);
    }
    EXPECT_EQ(log, "[CODEC] Forcing IDR frame at pts 5\n");
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0], 0);
    EXPECT_EQ(keys[1], 5);
    codec_cleanup(c);
}

// As for CpuEncoder: requests from another thread for as long as frames are
// encoded, then the last rate reaches the context with the next frame.
TEST(Codec, ControlCallsRaceFreeWithEncoding)
{
    CodecContext *c = nullptr;
    CodecEncoderConfig cfg = config(CODEC_TYPE_H264, 160, 120);
    ASSERT_EQ(codec_encoder_init(&c, &cfg), 0);
    auto pic = make_picture(160, 120, 3);
    std::atomic<bool> stop{false};
    std::atomic<int> requests{0};
    testing::internal::CaptureStdout();
    std::thread control([&] {
        for (int i = 0; !stop.load(); ++i) {
            codec_set_bitrate(c, 1000000 + i % 1000);
            codec_force_keyframe(c);
            requests.fetch_add(1);
        }
    });
    int failures = 0;
    for (int i = 0; i < 40 || requests.load() == 0; ++i) {
        AVPacket *pkt = nullptr;
        failures += codec_encode_frame(c, pic.data(), &pkt) != 0;
        av_packet_free(&pkt);
    }
    stop = true;
    control.join();
    codec_set_bitrate(c, 640000);
    AVPacket *pkt = nullptr;
    EXPECT_EQ(codec_encode_frame(c, pic.data(), &pkt), 0);
    av_packet_free(&pkt);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(c->context->bit_rate, 640000);
    EXPECT_EQ(c->context->rc_max_rate, 640000);
    codec_cleanup(c);
}
