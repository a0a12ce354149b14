#include "apps/capture/encoders/hdr_encoding.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/opt.h>
}

#include "apps/capture/encoders/codec_types.h"
#include "libs/common/ffmpeg_ptr.h"

namespace {

enum class Family {
    None,
    X265,
    Aom,
    HevcVaapi,
    Av1Vaapi
};

Family family_of(const char *name)
{
    if (name == nullptr)
        return Family::None;
    const std::string n(name);
    if (n == "libx265")
        return Family::X265;
    if (n == "libaom-av1")
        return Family::Aom;
    if (n == "hevc_vaapi")
        return Family::HevcVaapi;
    if (n == "av1_vaapi")
        return Family::Av1Vaapi;
    return Family::None;
}

bool has_mastering_display(const HdrSignal &s)
{
    return s.max_mastering_luminance != 0 && s.white_point[0] != 0 && s.white_point[1] != 0;
}

bool has_light_levels(const HdrSignal &s)
{
    return s.max_cll != 0 || s.max_fall != 0;
}

// True when the encoder lists the pixel format among those it takes.
bool takes_format(const AVCodec *codec, AVPixelFormat format)
{
    if (codec == nullptr || codec->pix_fmts == nullptr)
        return false;
    for (const AVPixelFormat *p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
        if (*p == format)
            return true;
    return false;
}

// libx265's own settings for the stream: its headers before every key
// frame (a viewer may join at any one), and the SEI of the mastering
// display and the light levels. Its units are the connector's: chromaticity
// in 0.00002, luminance in 0.0001 cd/m2; the primaries go green, blue, red.
std::string x265_params(const HdrSignal &s)
{
    std::string params = "repeat-headers=1";
    if (!hdr_signal_is_hdr(s))
        return params;
    params += ":hdr10=1";
    if (s.transfer == HDR_TRANSFER_PQ)
        params += ":hdr10-opt=1";
    char text[160];
    if (has_mastering_display(s)) {
        std::snprintf(text, sizeof(text), ":master-display=G(%u,%u)B(%u,%u)R(%u,%u)WP(%u,%u)L(%lu,%u)",
                      s.primaries[1][0], s.primaries[1][1], s.primaries[2][0], s.primaries[2][1], s.primaries[0][0],
                      s.primaries[0][1], s.white_point[0], s.white_point[1],
                      static_cast<unsigned long>(s.max_mastering_luminance) * 10000UL, s.min_mastering_luminance);
        params += text;
    }
    if (has_light_levels(s)) {
        std::snprintf(text, sizeof(text), ":max-cll=%u,%u", s.max_cll, s.max_fall);
        params += text;
    }
    return params;
}

bool is_av1_encoder(const char *name)
{
    const Family f = family_of(name);
    return f == Family::Aom || f == Family::Av1Vaapi;
}

// The AV1 metadata OBUs: an OBU header (type OBU_METADATA, with a size
// field), the size, the metadata type and its fields, big-endian, then the
// trailing bit.
constexpr uint8_t kObuMetadataHeader = (5 << 3) | (1 << 1);
constexpr int kObuTemporalDelimiter = 2;
constexpr int kObuSequenceHeader = 1;
constexpr uint8_t kMetadataHdrCll = 1;
constexpr uint8_t kMetadataHdrMdcv = 2;

void put_be(std::vector<uint8_t> &out, uint64_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void put_metadata_obu(std::vector<uint8_t> &out, uint8_t type, const std::vector<uint8_t> &fields)
{
    out.push_back(kObuMetadataHeader);
    // Payload: type (one leb128 byte), fields, trailing bits. Under 128
    // bytes, so its size is one leb128 byte too.
    out.push_back(static_cast<uint8_t>(1 + fields.size() + 1));
    out.push_back(type);
    out.insert(out.end(), fields.begin(), fields.end());
    out.push_back(0x80);
}

// Connector units to the AV1 ones, rounded to the nearest.
uint32_t chromaticity_016(uint16_t value_000002)
{
    return static_cast<uint32_t>(std::lround(value_000002 * 65536.0 / 50000.0));
}

std::vector<uint8_t> metadata_obus(const HdrSignal &s)
{
    std::vector<uint8_t> out;
    if (has_mastering_display(s)) {
        std::vector<uint8_t> mdcv;
        for (int i = 0; i < 3; ++i) {  // red, green, blue
            put_be(mdcv, std::min<uint32_t>(chromaticity_016(s.primaries[i][0]), 0xffff), 2);
            put_be(mdcv, std::min<uint32_t>(chromaticity_016(s.primaries[i][1]), 0xffff), 2);
        }
        put_be(mdcv, std::min<uint32_t>(chromaticity_016(s.white_point[0]), 0xffff), 2);
        put_be(mdcv, std::min<uint32_t>(chromaticity_016(s.white_point[1]), 0xffff), 2);
        put_be(mdcv, static_cast<uint32_t>(s.max_mastering_luminance) << 8, 4);  // 24.8 fixed point
        put_be(mdcv, static_cast<uint32_t>(std::lround(s.min_mastering_luminance * 16384.0 / 10000.0)), 4);  // 18.14
        put_metadata_obu(out, kMetadataHdrMdcv, mdcv);
    }
    if (has_light_levels(s)) {
        std::vector<uint8_t> cll;
        put_be(cll, s.max_cll, 2);
        put_be(cll, s.max_fall, 2);
        put_metadata_obu(out, kMetadataHdrCll, cll);
    }
    return out;
}

// Reads one OBU at data[0..size): its type and its whole length, header
// included. False for an OBU without a size field or one that overruns.
bool read_obu(const uint8_t *data, size_t size, int *type, size_t *length)
{
    if (size < 1)
        return false;
    const uint8_t header = data[0];
    *type = (header >> 3) & 15;
    size_t at = (header & 4) ? 2 : 1;
    if (!(header & 2) || at > size)
        return false;
    uint64_t payload = 0;
    for (int i = 0;; ++i) {
        if (at >= size || i == 8)
            return false;
        const uint8_t b = data[at++];
        payload |= static_cast<uint64_t>(b & 0x7f) << (7 * i);
        if (!(b & 0x80))
            break;
    }
    if (payload > size - at)
        return false;
    *length = at + payload;
    return true;
}

}  // namespace

bool hdr_encoding_codec_supported(int32_t codec_type)
{
    return codec_type == CODEC_TYPE_H265 || codec_type == CODEC_TYPE_AV1;
}

int hdr_encoding_configure(AVCodecContext *context, const char *encoder_name, const HdrSignal &signal)
{
    const Family family = family_of(encoder_name);
    const bool software = family == Family::X265 || family == Family::Aom;
    if (context == nullptr || family == Family::None ||
        (software && !takes_format(context->codec, AV_PIX_FMT_YUV420P10LE))) {
        std::fprintf(stderr, "[HDR] %s cannot make a 10-bit stream\n", encoder_name ? encoder_name : "(none)");
        return -1;
    }
    if (software)
        context->pix_fmt = AV_PIX_FMT_YUV420P10LE;
    context->color_primaries = signal.bt2020 ? AVCOL_PRI_BT2020 : AVCOL_PRI_BT709;
    context->colorspace = signal.bt2020 ? AVCOL_SPC_BT2020_NCL : AVCOL_SPC_BT709;
    context->color_trc = signal.transfer == HDR_TRANSFER_PQ    ? AVCOL_TRC_SMPTE2084
                         : signal.transfer == HDR_TRANSFER_HLG ? AVCOL_TRC_ARIB_STD_B67
                                                               : AVCOL_TRC_BT709;
    context->color_range = AVCOL_RANGE_MPEG;

    switch (family) {
    case Family::X265:
        context->profile = FF_PROFILE_HEVC_MAIN_10;
        av_opt_set(context->priv_data, "profile", "main10", 0);
        if (av_opt_set(context->priv_data, "x265-params", x265_params(signal).c_str(), 0) < 0) {
            std::fprintf(stderr, "[HDR] %s cannot make a 10-bit stream\n", encoder_name);
            return -1;
        }
        break;
    case Family::HevcVaapi:
        // The driver takes P010 surfaces; the SEI of the mastering display
        // comes from the frames' side data (hdr_encoding_tag_frame).
        context->profile = FF_PROFILE_HEVC_MAIN_10;
        av_opt_set(context->priv_data, "profile", "main10", 0);
        break;
    case Family::Aom:
    case Family::Av1Vaapi:
        context->profile = FF_PROFILE_AV1_MAIN;
        if (context->priv_data != nullptr && av_opt_find(context->priv_data, "profile", nullptr, 0, 0) != nullptr)
            av_opt_set(context->priv_data, "profile", "main", 0);
        break;
    case Family::None: break;
    }
    std::fprintf(stderr, "[HDR] %s: 10-bit %s, %s primaries\n", encoder_name, hdr_transfer_name(signal.transfer),
                 signal.bt2020 ? "BT.2020" : "BT.709");
    return 0;
}

int hdr_encoding_amend_packet(AVPacket *packet, const char *encoder_name, const HdrSignal &signal)
{
    if (packet == nullptr || packet->size <= 0 || !(packet->flags & AV_PKT_FLAG_KEY) || !is_av1_encoder(encoder_name) ||
        !hdr_signal_is_hdr(signal))
        return 0;
    const std::vector<uint8_t> obus = metadata_obus(signal);
    if (obus.empty())
        return 0;

    // After the temporal delimiter and the sequence header that opens a key
    // frame's temporal unit; at the start when the packet has neither.
    size_t at = 0;
    for (;;) {
        int type = 0;
        size_t length = 0;
        if (!read_obu(packet->data + at, static_cast<size_t>(packet->size) - at, &type, &length))
            break;
        if (!(type == kObuTemporalDelimiter && at == 0) && type != kObuSequenceHeader)
            break;
        at += length;
    }

    AvPacketPtr amended(av_packet_alloc());
    if (!amended)
        return AVERROR(ENOMEM);
    int ret = av_new_packet(amended.get(), packet->size + static_cast<int>(obus.size()));
    if (ret < 0)
        return ret;
    ret = av_packet_copy_props(amended.get(), packet);
    if (ret < 0)
        return ret;
    uint8_t *out = amended->data;
    std::memcpy(out, packet->data, at);
    std::memcpy(out + at, obus.data(), obus.size());
    std::memcpy(out + at + obus.size(), packet->data + at, static_cast<size_t>(packet->size) - at);
    av_packet_unref(packet);
    av_packet_move_ref(packet, amended.get());
    return 0;
}

int hdr_encoding_tag_frame(AVFrame *frame, const char *encoder_name, const HdrSignal &signal)
{
    if (frame == nullptr || family_of(encoder_name) != Family::HevcVaapi || !hdr_signal_is_hdr(signal))
        return 0;
    if (has_mastering_display(signal)) {
        AVMasteringDisplayMetadata *m = av_mastering_display_metadata_create_side_data(frame);
        if (m == nullptr)
            return AVERROR(ENOMEM);
        for (int i = 0; i < 3; ++i)
            for (int c = 0; c < 2; ++c)
                m->display_primaries[i][c] = AVRational{signal.primaries[i][c], 50000};
        m->white_point[0] = AVRational{signal.white_point[0], 50000};
        m->white_point[1] = AVRational{signal.white_point[1], 50000};
        m->max_luminance = AVRational{signal.max_mastering_luminance, 1};
        m->min_luminance = AVRational{signal.min_mastering_luminance, 10000};
        m->has_primaries = 1;
        m->has_luminance = 1;
    }
    if (has_light_levels(signal)) {
        AVContentLightMetadata *l = av_content_light_metadata_create_side_data(frame);
        if (l == nullptr)
            return AVERROR(ENOMEM);
        l->MaxCLL = signal.max_cll;
        l->MaxFALL = signal.max_fall;
    }
    return 0;
}
