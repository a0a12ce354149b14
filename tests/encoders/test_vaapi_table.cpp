#include "apps/capture/encoders/vaapi_encoders.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

extern "C" {
#include <libavutil/opt.h>
}

#include "libs/common/ffmpeg_ptr.h"

namespace {

// Allocates a context for the named encoder (no device is needed until it is
// opened), applies the row's configure function and returns what it logged.
AvCodecContextPtr configured(const char *name, std::string *log)
{
    const VaapiEncoderInfo *row = nullptr;
    for (const VaapiEncoderInfo &r : vaapi_encoders)
        if (std::string(r.name) == name)
            row = &r;
    const AVCodec *codec = avcodec_find_encoder_by_name(name);
    if (!row || !codec)
        return nullptr;
    AvCodecContextPtr c(avcodec_alloc_context3(codec));
    if (!c)
        return nullptr;
    testing::internal::CaptureStderr();
    const int ret = row->configure(c.get(), 1920, 1080);
    *log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ret, 0);
    return c;
}

int64_t int_option(AVCodecContext *c, const char *name)
{
    int64_t value = -12345;
    EXPECT_GE(av_opt_get_int(c->priv_data, name, 0, &value), 0) << name;
    return value;
}

void expect_rates(AVCodecContext *c, int64_t rate, int64_t max, int gop)
{
    EXPECT_EQ(c->bit_rate, rate);
    EXPECT_EQ(c->rc_max_rate, max);
    EXPECT_EQ(c->rc_buffer_size, 0);
    EXPECT_EQ(c->gop_size, gop);
    EXPECT_EQ(c->max_b_frames, 0);
}

}  // namespace

TEST(VaapiTable, RowsLookupAndList)
{
    ASSERT_NE(vaapi_find_encoder(CODEC_TYPE_H265), nullptr);
    EXPECT_EQ(vaapi_find_encoder(CODEC_TYPE_H265), &vaapi_encoders[3]);
    EXPECT_STREQ(vaapi_find_encoder(CODEC_TYPE_H265)->name, "hevc_vaapi");
    testing::internal::CaptureStderr();
    EXPECT_EQ(vaapi_find_encoder(-1), nullptr);
    EXPECT_EQ(vaapi_find_encoder(CODEC_TYPE_UNCHANGED), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[VAAPI] Error: Encoder not found for type Unknown\n"
                                                      "[VAAPI] Error: Encoder not found for type Unknown\n");

    testing::internal::CaptureStderr();
    vaapi_list_encoders();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[VAAPI] Supported encoders:\n"
                                                      "  - H.264      (h264_vaapi) [available]\n"
                                                      "  - VP8        (vp8_vaapi) [available]\n"
                                                      "  - VP9        (vp9_vaapi) [available]\n"
                                                      "  - H.265      (hevc_vaapi) [available]\n"
                                                      "  - AV1        (av1_vaapi) [available]\n");
}

TEST(VaapiTable, CodecNamesAndParsing)
{
    EXPECT_EQ(codec_type_from_string("h264"), CODEC_TYPE_H264);
    EXPECT_EQ(codec_type_from_string("H264"), CODEC_TYPE_UNCHANGED);
    EXPECT_EQ(codec_type_from_string("hevc"), CODEC_TYPE_H265);
    EXPECT_EQ(codec_type_from_string("h265"), CODEC_TYPE_H265);
    EXPECT_EQ(codec_type_from_string("av1 "), CODEC_TYPE_UNCHANGED);
    EXPECT_EQ(codec_type_from_string(nullptr), CODEC_TYPE_UNCHANGED);
    for (int t : {5, -1, 9})
        EXPECT_STREQ(codec_type_to_string(t), "Unknown") << t;
    EXPECT_STREQ(codec_type_to_string(CODEC_TYPE_VP9), "VP9");
}

// The configure functions read back from contexts of the installed encoders:
// every field and private option of the row, and no warning where FFmpeg has
// the option.
TEST(VaapiTable, H264RowSetsConstantQuantiserOptions)
{
    std::string log;
    AvCodecContextPtr c = configured("h264_vaapi", &log);
    if (!c)
        GTEST_SKIP() << "h264_vaapi is not in this FFmpeg build";
    EXPECT_EQ(log, "[VAAPI H.264] CQP Mode: QP=22, Profile=High, Level=4.1, GOP=30\n");
    EXPECT_EQ(c->bit_rate, 0);  // left unset: constant quantiser
    EXPECT_EQ(c->rc_max_rate, 0);
    EXPECT_EQ(c->gop_size, 30);
    EXPECT_EQ(c->max_b_frames, 0);
    EXPECT_EQ(int_option(c.get(), "profile"), 100);
    EXPECT_EQ(int_option(c.get(), "level"), 41);
    EXPECT_EQ(int_option(c.get(), "b_depth"), 1);
    EXPECT_EQ(int_option(c.get(), "async_depth"), 1);
    EXPECT_EQ(int_option(c.get(), "qp"), 22);
}

TEST(VaapiTable, HevcRowSetsRatesProfileTierLevel)
{
    std::string log;
    AvCodecContextPtr c = configured("hevc_vaapi", &log);
    if (!c)
        GTEST_SKIP() << "hevc_vaapi is not in this FFmpeg build";
    EXPECT_EQ(log, "[VAAPI HEVC] Configured: Profile=Main, Bitrate=12000000 bps, GOP=30\n");
    expect_rates(c.get(), 12000000, 24000000, 30);
    EXPECT_EQ(int_option(c.get(), "profile"), FF_PROFILE_HEVC_MAIN);
    EXPECT_EQ(int_option(c.get(), "tier"), 0);     // main tier
    EXPECT_EQ(int_option(c.get(), "level"), 123);  // 4.1 as general_level_idc (30 x 4.1)
}

TEST(VaapiTable, Vp8RowSetsRatesAndLoopFilter)
{
    std::string log;
    AvCodecContextPtr c = configured("vp8_vaapi", &log);
    if (!c)
        GTEST_SKIP() << "vp8_vaapi is not in this FFmpeg build";
    EXPECT_EQ(log, "[VAAPI VP8] Configured: Bitrate=25000000 bps, GOP=30, Loop Filter=16/4\n");
    expect_rates(c.get(), 25000000, 50000000, 30);
    EXPECT_EQ(int_option(c.get(), "loop_filter_level"), 16);
    EXPECT_EQ(int_option(c.get(), "loop_filter_sharpness"), 4);
}

TEST(VaapiTable, Vp9RowSetsRatesOnly)
{
    std::string log;
    AvCodecContextPtr c = configured("vp9_vaapi", &log);
    if (!c)
        GTEST_SKIP() << "vp9_vaapi is not in this FFmpeg build";
    EXPECT_EQ(log, "[VAAPI VP9] Configured: Bitrate=15000000 bps, GOP=60\n");
    expect_rates(c.get(), 15000000, 30000000, 60);
}

// This FFmpeg has no "av1_vaapi": the row is still found (so the table and
// its list stay whole) but looking its encoder up gives nothing, which is
// where a fast run asking for AV1 stops. Its configure function still sets
// the row's fields, and reports each option it cannot set.
TEST(VaapiTable, Av1RowWithoutEncoderInFFmpeg)
{
    const VaapiEncoderInfo *row = vaapi_find_encoder(CODEC_TYPE_AV1);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->name, "av1_vaapi");
    if (avcodec_find_encoder_by_name(row->name))
        GTEST_SKIP() << "this FFmpeg build has av1_vaapi";
    AvCodecContextPtr c(avcodec_alloc_context3(nullptr));
    ASSERT_TRUE(c);
    testing::internal::CaptureStderr();
    EXPECT_EQ(row->configure(c.get(), 1920, 1080), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[VAAPI AV1] Warning: Failed to set profile\n"
                                                      "[VAAPI AV1] Warning: Failed to set async_depth\n"
                                                      "[VAAPI AV1] Warning: Failed to set compression_level\n"
                                                      "[VAAPI AV1] Configured: Bitrate=12000000 bps, GOP=60\n");
    expect_rates(c.get(), 12000000, 25000000, 60);
}

// A context of another encoder lacks some of the row's options: each missing
// one is warned about, the others are set, none fails the function. The
// options every VA-API encoder shares (b_depth, async_depth) stay silent.
TEST(VaapiTable, MissingOptionsWarnAndDoNotFail)
{
    const AVCodec *vp9 = avcodec_find_encoder_by_name("vp9_vaapi");
    const AVCodec *hevc = avcodec_find_encoder_by_name("hevc_vaapi");
    if (!vp9 || !hevc)
        GTEST_SKIP() << "vp9_vaapi or hevc_vaapi is not in this FFmpeg build";
    AvCodecContextPtr a(avcodec_alloc_context3(vp9)), b(avcodec_alloc_context3(hevc));
    ASSERT_TRUE(a && b);
    testing::internal::CaptureStderr();
    EXPECT_EQ(configure_h264_vaapi(a.get(), 64, 64), 0);
    EXPECT_EQ(configure_vp8_vaapi(b.get(), 64, 64), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[VAAPI H.264] Warning: Failed to set profile\n"
              "[VAAPI H.264] Warning: Failed to set level\n"
              "[VAAPI H.264] Warning: Failed to set qp\n"
              "[VAAPI H.264] CQP Mode: QP=22, Profile=High, Level=4.1, GOP=30\n"
              "[VAAPI VP8] Warning: loop_filter_level not supported by driver\n"
              "[VAAPI VP8] Warning: loop_filter_sharpness not supported by driver\n"
              "[VAAPI VP8] Configured: Bitrate=25000000 bps, GOP=30, Loop Filter=16/4\n");
    EXPECT_EQ(int_option(a.get(), "b_depth"), 1);
    EXPECT_EQ(int_option(a.get(), "async_depth"), 1);
}
