// The 10-bit encoders: a 10-bit ramp through each encoder and back through
// FFmpeg's decoder keeps its codes, its colour description and the
// mastering metadata; the AV1 metadata OBUs byte by byte.
#include "apps/capture/encoders/codec.h"
#include "apps/capture/encoders/cpu_encoder.h"
#include "apps/capture/encoders/hdr_encoding.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/opt.h>
}

namespace {

// A PQ signal mastered on a BT.2020 display of 1000 cd/m2.
HdrSignal pq_signal()
{
    return HdrSignal{
        HDR_TRANSFER_PQ, true, {{35400, 14600}, {8500, 39850}, {6550, 2300}}, {15635, 16450}, 1000, 50, 1000, 400};
}

constexpr int kW = 1920;  // wide enough for every code of the ramp to span two pixels
// Rows: the balanced AV1 row's tile layout needs 128; the compatible AV1
// encoder, slow and looking 35 frames ahead, gets fewer.
constexpr int kBalancedH = 128;
constexpr int kCompatibleH = 32;
constexpr int kFps = 30;

// Packed yuv420p10le: Y a horizontal ramp over all 1024 codes, Cb and Cr
// neutral.
std::vector<uint16_t> ramp(int height)
{
    std::vector<uint16_t> p(size_t(kW) * height * 3 / 2, 512);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < kW; ++x)
            p[size_t(y) * kW + x] = uint16_t(std::lround(x * 1023.0 / (kW - 1)));
    return p;
}

// What the decoder gave back: the first frame's description and side data,
// the last frame's distinct luma codes.
struct Decoded {
    int frames = 0;
    int format = -1;
    AVColorTransferCharacteristic trc = AVCOL_TRC_UNSPECIFIED;
    AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
    AVColorSpace matrix = AVCOL_SPC_UNSPECIFIED;
    bool has_mastering = false;
    AVMasteringDisplayMetadata mastering{};
    bool has_light = false;
    AVContentLightMetadata light{};
    size_t luma_codes = 0;
};

class Decoder {
public:
    explicit Decoder(AVCodecID id)
    {
        const AVCodec *codec = avcodec_find_decoder(id);
        context_ = avcodec_alloc_context3(codec);
        frame_ = av_frame_alloc();
        if (avcodec_open2(context_, codec, nullptr) < 0)
            avcodec_free_context(&context_);
    }
    ~Decoder()
    {
        avcodec_free_context(&context_);
        av_frame_free(&frame_);
    }
    bool ok() const { return context_ != nullptr; }
    void decode(const AVPacket *packet)  // null flushes
    {
        if (avcodec_send_packet(context_, packet) < 0)
            return;
        while (avcodec_receive_frame(context_, frame_) == 0) {
            if (got.frames++ == 0)
                take_description();
            std::set<uint16_t> codes;
            for (int y = 0; y < frame_->height; ++y) {
                const auto *row = reinterpret_cast<const uint16_t *>(frame_->data[0] + y * frame_->linesize[0]);
                codes.insert(row, row + frame_->width);
            }
            got.luma_codes = codes.size();
            av_frame_unref(frame_);
        }
    }
    Decoded got;

private:
    void take_description()
    {
        got.format = frame_->format;
        got.trc = frame_->color_trc;
        got.primaries = frame_->color_primaries;
        got.matrix = frame_->colorspace;
        if (const AVFrameSideData *d = av_frame_get_side_data(frame_, AV_FRAME_DATA_MASTERING_DISPLAY_METADATA)) {
            got.has_mastering = true;
            std::memcpy(&got.mastering, d->data, sizeof(got.mastering));
        }
        if (const AVFrameSideData *d = av_frame_get_side_data(frame_, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL)) {
            got.has_light = true;
            std::memcpy(&got.light, d->data, sizeof(got.light));
        }
    }
    AVCodecContext *context_ = nullptr;
    AVFrame *frame_ = nullptr;
};

struct Path {
    const char *label;
    int32_t codec;
    bool generic;  // the compatible mode's wrapper, else CpuEncoder
    // How close the decoded metadata must be: H.265's SEI keeps the
    // connector's units; AV1 rounds chromaticity to 1/65536 and the least
    // luminance to 1/16384 cd/m2.
    double chromaticity_step;
    double min_luminance_step;
};

class HdrEncoders : public testing::TestWithParam<Path> {};

// Encodes the ramp for a few frames and decodes everything that came out.
Decoded encode_ramp(const Path &path, const HdrSignal &signal)
{
    const AVCodecID id = path.codec == CODEC_TYPE_AV1 ? AV_CODEC_ID_AV1 : AV_CODEC_ID_HEVC;
    Decoder decoder(id);
    EXPECT_TRUE(decoder.ok());
    const int height = path.generic ? kCompatibleH : kBalancedH;
    const std::vector<uint16_t> picture = ramp(height);
    const auto *bytes = reinterpret_cast<const uint8_t *>(picture.data());
    // The compatible mode's AV1 encoder looks ahead: enough frames for the
    // first packets to come out.
    const int frames = path.generic ? 40 : 8;
    if (path.generic) {
        CodecContext *codec = nullptr;
        const CodecEncoderConfig config{path.codec, kW, height, kFps, 8000, kFps};
        EXPECT_EQ(codec_encoder_init_hdr(&codec, &config, signal), 0);
        if (!codec)
            return {};
        for (int i = 0; i < frames; ++i) {
            AVPacket *packet = nullptr;
            EXPECT_EQ(codec_encode_frame(codec, bytes, &packet), 0);
            if (packet)
                decoder.decode(packet);
            av_packet_free(&packet);
        }
        codec_cleanup(codec);
    } else {
        CpuEncoder *encoder = nullptr;
        EXPECT_EQ(cpu_encoder_create_hdr(&encoder, path.codec, kW, height, kFps, signal), 0);
        if (!encoder)
            return {};
        const uint8_t *u = bytes + size_t(kW) * height * 2;
        const uint8_t *v = u + size_t(kW) * height / 2;
        for (int i = 0; i < frames; ++i) {
            AVPacket *packet = nullptr;
            EXPECT_EQ(cpu_encoder_encode_planes(encoder, bytes, kW * 2, u, kW, v, kW, &packet), 0);
            if (packet)
                decoder.decode(packet);
        }
        cpu_encoder_destroy(encoder);
    }
    decoder.decode(nullptr);
    return decoder.got;
}

// Measured here: of the ramp's 1024 codes libx265 keeps 1024 (balanced) and
// 1020 (compatible), libaom-av1 1005 and 1019 (a 1080-row ramp through the
// balanced libx265 row at its bit rate: 960 in the first frame, 1016 and
// more after); 900 leaves room for a different encoder version, while any
// 8-bit step on the way keeps at most 256.
TEST_P(HdrEncoders, RampKeepsItsCodesAndTheStreamItsColourAndMetadata)
{
    const Path path = GetParam();
    const HdrSignal signal = pq_signal();
    const Decoded got = encode_ramp(path, signal);
    ASSERT_GT(got.frames, 0) << path.label;
    EXPECT_EQ(got.format, AV_PIX_FMT_YUV420P10LE) << path.label;
    EXPECT_GT(got.luma_codes, 900u) << path.label;
    EXPECT_EQ(got.trc, AVCOL_TRC_SMPTE2084) << path.label;
    EXPECT_EQ(got.primaries, AVCOL_PRI_BT2020) << path.label;
    EXPECT_EQ(got.matrix, AVCOL_SPC_BT2020_NCL) << path.label;

    ASSERT_TRUE(got.has_mastering) << path.label;
    const AVMasteringDisplayMetadata &m = got.mastering;
    ASSERT_TRUE(m.has_primaries && m.has_luminance) << path.label;
    const double step = path.chromaticity_step;
    for (int i = 0; i < 3; ++i)
        for (int c = 0; c < 2; ++c)
            EXPECT_NEAR(av_q2d(m.display_primaries[i][c]), signal.primaries[i][c] / 50000.0, step)
                << path.label << " primary " << i << "," << c;
    EXPECT_NEAR(av_q2d(m.white_point[0]), 0.3127, step) << path.label;
    EXPECT_NEAR(av_q2d(m.white_point[1]), 0.3290, step) << path.label;
    EXPECT_DOUBLE_EQ(av_q2d(m.max_luminance), 1000.0) << path.label;
    EXPECT_NEAR(av_q2d(m.min_luminance), 0.005, path.min_luminance_step) << path.label;

    ASSERT_TRUE(got.has_light) << path.label;
    EXPECT_EQ(got.light.MaxCLL, 1000u) << path.label;
    EXPECT_EQ(got.light.MaxFALL, 400u) << path.label;
}

INSTANTIATE_TEST_SUITE_P(BalancedAndCompatible, HdrEncoders,
                         testing::Values(Path{"libx265 balanced", CODEC_TYPE_H265, false, 1e-9, 1e-9},
                                         Path{"libaom-av1 balanced", CODEC_TYPE_AV1, false, 1.0 / 65536, 1.0 / 16384},
                                         Path{"H.265 compatible", CODEC_TYPE_H265, true, 1e-9, 1e-9},
                                         Path{"AV1 compatible", CODEC_TYPE_AV1, true, 1.0 / 65536, 1.0 / 16384}));

TEST(HdrEncoding, CodecsWithoutTenBitAreRefused)
{
    const HdrSignal signal = pq_signal();
    for (int32_t type : {CODEC_TYPE_H264, CODEC_TYPE_VP8, CODEC_TYPE_VP9}) {
        EXPECT_FALSE(hdr_encoding_codec_supported(type));
        CpuEncoder *encoder = reinterpret_cast<CpuEncoder *>(1);
        EXPECT_EQ(cpu_encoder_create_hdr(&encoder, type, 64, 64, kFps, signal), -1);
        EXPECT_EQ(encoder, nullptr);
        CodecContext *codec = reinterpret_cast<CodecContext *>(1);
        const CodecEncoderConfig config{type, 64, 64, kFps, 1000, kFps};
        EXPECT_EQ(codec_encoder_init_hdr(&codec, &config, signal), -1);
        EXPECT_EQ(codec, nullptr);
    }
    // An encoder of a 10-bit codec that cannot make the stream says so.
    AVCodecContext *context = avcodec_alloc_context3(nullptr);
    EXPECT_EQ(hdr_encoding_configure(context, "libsvtav1", signal), -1);
    avcodec_free_context(&context);
}

// No VA-API driver here: the hardware encoder's context is set up unopened,
// and its frames carry the metadata its SEI is written from.
TEST(HdrEncoding, VaapiContextGetsMainTenAndFramesTheMetadata)
{
    const AVCodec *codec = avcodec_find_encoder_by_name("hevc_vaapi");
    if (!codec)
        GTEST_SKIP() << "hevc_vaapi is not in this FFmpeg build";
    AVCodecContext *context = avcodec_alloc_context3(codec);
    context->pix_fmt = AV_PIX_FMT_VAAPI;
    const HdrSignal signal = pq_signal();
    ASSERT_EQ(hdr_encoding_configure(context, codec->name, signal), 0);
    int64_t profile = 0;
    EXPECT_EQ(av_opt_get_int(context->priv_data, "profile", 0, &profile), 0);
    EXPECT_EQ(profile, FF_PROFILE_HEVC_MAIN_10);
    EXPECT_EQ(context->pix_fmt, AV_PIX_FMT_VAAPI);
    EXPECT_EQ(context->color_trc, AVCOL_TRC_SMPTE2084);
    EXPECT_EQ(context->colorspace, AVCOL_SPC_BT2020_NCL);
    avcodec_free_context(&context);

    AVFrame *frame = av_frame_alloc();
    ASSERT_EQ(hdr_encoding_tag_frame(frame, "libx265", signal), 0);
    EXPECT_EQ(frame->nb_side_data, 0);
    ASSERT_EQ(hdr_encoding_tag_frame(frame, "hevc_vaapi", signal), 0);
    const AVFrameSideData *d = av_frame_get_side_data(frame, AV_FRAME_DATA_MASTERING_DISPLAY_METADATA);
    ASSERT_NE(d, nullptr);
    const auto *m = reinterpret_cast<const AVMasteringDisplayMetadata *>(d->data);
    EXPECT_DOUBLE_EQ(av_q2d(m->display_primaries[1][1]), 0.797);  // green y
    EXPECT_DOUBLE_EQ(av_q2d(m->min_luminance), 0.005);
    d = av_frame_get_side_data(frame, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(reinterpret_cast<const AVContentLightMetadata *>(d->data)->MaxFALL, 400u);
    av_frame_free(&frame);
}

// A key frame's temporal unit: temporal delimiter, sequence header (three
// payload bytes here), frame OBU.
const std::vector<uint8_t> kKeyUnit = {0x12, 0x00, 0x0a, 0x03, 0xaa, 0xbb, 0xcc, 0x32, 0x02, 0x11, 0x22};

// The metadata OBUs of pq_signal(): mastering display (type 2), then light
// levels (type 1), each as header 0x2A, size, type, big-endian fields and
// the trailing bit.
const std::vector<uint8_t> kMetadata = {
    0x2a, 0x1a, 0x02, 0xb5, 0x3f, 0x4a, 0xc1,  // red (0.708, 0.292) in 0.16: 46399, 19137
    0x2b, 0x85, 0xcc, 0x08,                    // green (0.170, 0.797): 11141, 52232
    0x21, 0x89, 0x0b, 0xc7,                    // blue (0.131, 0.046): 8585, 3015
    0x50, 0x0d, 0x54, 0x39,                    // white (0.3127, 0.3290): 20493, 21561
    0x00, 0x03, 0xe8, 0x00,                    // 1000 cd/m2 in 24.8
    0x00, 0x00, 0x00, 0x52,                    // 0.005 cd/m2 in 18.14: 81.92 rounds to 82
    0x80, 0x2a, 0x06, 0x01, 0x03, 0xe8, 0x01, 0x90, 0x80};

TEST(HdrEncoding, MetadataGoesIntoAv1KeyFramesOnly)
{
    const HdrSignal pq = pq_signal();
    HdrSignal sdr = pq;
    sdr.transfer = HDR_TRANSFER_SDR;
    HdrSignal bare;  // PQ without any metadata
    bare.transfer = HDR_TRANSFER_PQ;
    std::vector<uint8_t> amended(kKeyUnit.begin(), kKeyUnit.begin() + 7);
    amended.insert(amended.end(), kMetadata.begin(), kMetadata.end());
    amended.insert(amended.end(), kKeyUnit.begin() + 7, kKeyUnit.end());
    const std::vector<uint8_t> leading(kMetadata.begin(), kMetadata.end());
    struct Case {
        const char *label;
        const char *encoder;
        bool key;
        const HdrSignal &signal;
        std::vector<uint8_t> in;
        std::vector<uint8_t> out;
    } cases[] = {
        {"key frame", "libaom-av1", true, pq, kKeyUnit, amended},
        {"hardware key frame", "av1_vaapi", true, pq, kKeyUnit, amended},
        {"no delimiter",
         "libaom-av1",
         true,
         pq,
         {0x32, 0x00},
         [&] {
             auto v = leading;
             v.insert(v.end(), {0x32, 0x00});
             return v;
         }()},
        {"other frame", "libaom-av1", false, pq, kKeyUnit, kKeyUnit},
        {"SDR", "libaom-av1", true, sdr, kKeyUnit, kKeyUnit},
        {"no metadata", "libaom-av1", true, bare, kKeyUnit, kKeyUnit},
        {"H.265", "libx265", true, pq, kKeyUnit, kKeyUnit},
    };
    for (const Case &c : cases) {
        AVPacket *packet = av_packet_alloc();
        ASSERT_EQ(av_new_packet(packet, int(c.in.size())), 0);
        std::memcpy(packet->data, c.in.data(), c.in.size());
        packet->flags = c.key ? AV_PKT_FLAG_KEY : 0;
        packet->pts = 7;
        EXPECT_EQ(hdr_encoding_amend_packet(packet, c.encoder, c.signal), 0) << c.label;
        EXPECT_EQ(std::vector<uint8_t>(packet->data, packet->data + packet->size), c.out) << c.label;
        EXPECT_EQ(packet->pts, 7) << c.label;
        EXPECT_EQ(packet->flags, c.key ? AV_PKT_FLAG_KEY : 0) << c.label;
        av_packet_free(&packet);
    }
}

}  // namespace
