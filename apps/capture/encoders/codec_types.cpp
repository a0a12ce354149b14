#include "apps/capture/encoders/codec_types.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

const char *codec_type_to_string(int32_t type)
{
    switch (type) {
    case CODEC_TYPE_H264: return "H.264";
    case CODEC_TYPE_H265: return "H.265";
    case CODEC_TYPE_VP8: return "VP8";
    case CODEC_TYPE_VP9: return "VP9";
    case CODEC_TYPE_AV1: return "AV1";
    default: return "Unknown";
    }
}

CodecType codec_type_from_string(const char *name)
{
    if (name == nullptr)
        return CODEC_TYPE_UNCHANGED;
    static const struct {
        const char *name;
        CodecType type;
    } names[] = {
        {"h264", CODEC_TYPE_H264}, {"h265", CODEC_TYPE_H265}, {"hevc", CODEC_TYPE_H265},
        {"vp8", CODEC_TYPE_VP8},   {"vp9", CODEC_TYPE_VP9},   {"av1", CODEC_TYPE_AV1},
    };
    for (const auto &entry : names)
        if (std::strcmp(name, entry.name) == 0)
            return entry.type;
    return CODEC_TYPE_UNCHANGED;
}

void encoder_set_rates(AVCodecContext *context, int64_t bit_rate, int64_t max_rate, int gop)
{
    context->bit_rate = bit_rate;
    context->rc_max_rate = max_rate;
    context->rc_buffer_size = 0;
    context->gop_size = gop;
    context->max_b_frames = 0;
}

bool encoder_take_requests(EncoderRequests *requests, AVCodecContext *context, AVFrame *frame)
{
    const int bitrate = requests->pending_bitrate.exchange(0);
    if (bitrate > 0) {
        context->bit_rate = bitrate;
        context->rc_max_rate = bitrate;
    }
    if (requests->force_keyframe.exchange(false)) {
        frame->pict_type = AV_PICTURE_TYPE_I;
        frame->key_frame = 1;
        return true;
    }
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    frame->key_frame = 0;
    return false;
}
