#include "apps/capture/encoders/vaapi_encoders.h"

#include <cstdio>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

namespace {

// Sets one private option of the encoder; a failure prints the warning and is
// otherwise ignored. A context without private data has none of the options.
void set_option(AVCodecContext *context, const char *name, const char *value, const char *warning, int search_flags = 0)
{
    if (context->priv_data == nullptr || av_opt_set(context->priv_data, name, value, search_flags) < 0)
        fputs(warning, stderr);
}

void set_int_option(AVCodecContext *context, const char *name, int64_t value, const char *warning, int search_flags = 0)
{
    if (context->priv_data == nullptr || av_opt_set_int(context->priv_data, name, value, search_flags) < 0)
        fputs(warning, stderr);
}

}  // namespace

const VaapiEncoderInfo vaapi_encoders[5] = {
    {CODEC_TYPE_H264, "h264_vaapi", configure_h264_vaapi}, {CODEC_TYPE_VP8, "vp8_vaapi", configure_vp8_vaapi},
    {CODEC_TYPE_VP9, "vp9_vaapi", configure_vp9_vaapi},    {CODEC_TYPE_H265, "hevc_vaapi", configure_hevc_vaapi},
    {CODEC_TYPE_AV1, "av1_vaapi", configure_av1_vaapi},
};

int configure_h264_vaapi(AVCodecContext *context, int, int)
{
    // No bit rate: the encoder runs with a constant quantiser.
    context->gop_size = 30;
    context->max_b_frames = 0;
    set_option(context, "profile", "100", "[VAAPI H.264] Warning: Failed to set profile\n");
    set_option(context, "level", "41", "[VAAPI H.264] Warning: Failed to set level\n");
    set_option(context, "b_depth", "1", "[VAAPI H.264] Warning: Failed to set b_depth\n");
    set_int_option(context, "async_depth", 1, "[VAAPI H.264] Warning: Failed to set async_depth\n");
    set_int_option(context, "qp", 22, "[VAAPI H.264] Warning: Failed to set qp\n");
    fprintf(stderr, "[VAAPI H.264] CQP Mode: QP=22, Profile=High, Level=4.1, GOP=%d\n", context->gop_size);
    return 0;
}

int configure_hevc_vaapi(AVCodecContext *context, int, int)
{
    encoder_set_rates(context, 12000000, 24000000, 30);
    set_option(context, "profile", "main", "[VAAPI HEVC] Warning: Failed to set profile\n");
    set_option(context, "tier", "main", "[VAAPI HEVC] Warning: Failed to set tier\n");
    set_option(context, "level", "4.1", "[VAAPI HEVC] Warning: Failed to set level\n");
    fprintf(stderr, "[VAAPI HEVC] Configured: Profile=Main, Bitrate=%d bps, GOP=%d\n",
            static_cast<int>(context->bit_rate), context->gop_size);
    return 0;
}

int configure_vp8_vaapi(AVCodecContext *context, int, int)
{
    encoder_set_rates(context, 25000000, 50000000, 30);
    set_int_option(context, "loop_filter_level", 16, "[VAAPI VP8] Warning: loop_filter_level not supported by driver\n",
                   AV_OPT_SEARCH_CHILDREN);
    set_int_option(context, "loop_filter_sharpness", 4,
                   "[VAAPI VP8] Warning: loop_filter_sharpness not supported by driver\n", AV_OPT_SEARCH_CHILDREN);
    fprintf(stderr, "[VAAPI VP8] Configured: Bitrate=%d bps, GOP=%d, Loop Filter=16/4\n",
            static_cast<int>(context->bit_rate), context->gop_size);
    return 0;
}

int configure_vp9_vaapi(AVCodecContext *context, int, int)
{
    encoder_set_rates(context, 15000000, 30000000, 60);
    fprintf(stderr, "[VAAPI VP9] Configured: Bitrate=%d bps, GOP=%d\n", 15000000, 60);
    return 0;
}

int configure_av1_vaapi(AVCodecContext *context, int, int)
{
    encoder_set_rates(context, 12000000, 25000000, 60);
    set_option(context, "profile", "main", "[VAAPI AV1] Warning: Failed to set profile\n");
    set_int_option(context, "async_depth", 1, "[VAAPI AV1] Warning: Failed to set async_depth\n");
    set_int_option(context, "compression_level", 0, "[VAAPI AV1] Warning: Failed to set compression_level\n");
    fprintf(stderr, "[VAAPI AV1] Configured: Bitrate=%d bps, GOP=%d\n", static_cast<int>(context->bit_rate),
            context->gop_size);
    return 0;
}

const VaapiEncoderInfo *vaapi_find_encoder(int32_t type)
{
    for (const VaapiEncoderInfo &row : vaapi_encoders)
        if (row.type == type)
            return &row;
    fprintf(stderr, "[VAAPI] Error: Encoder not found for type %s\n", codec_type_to_string(type));
    return nullptr;
}

void vaapi_list_encoders()
{
    fputs("[VAAPI] Supported encoders:\n", stderr);
    for (const VaapiEncoderInfo &row : vaapi_encoders)
        fprintf(stderr, "  - %-10s (%s) [%s]\n", codec_type_to_string(row.type), row.name,
                row.configure != nullptr ? "available" : "not implemented");
}
