// The names of the video codecs the capture program streams, and the rate
// settings its encoders share.
#pragma once

#include <cstdint>

#include "libs/common/codec_type.h"

// Returns the display name ("H.264", "H.265", "VP8", "VP9", "AV1"), or
// "Unknown" for any other value. The string is a constant.
const char *codec_type_to_string(int32_t type);

// Parses an exact, case-sensitive name: "h264", "h265", "hevc", "vp8", "vp9",
// "av1". Anything else gives CODEC_TYPE_UNCHANGED.
CodecType codec_type_from_string(const char *name);

struct AVCodecContext;

// The rate settings the encoder tables share: average and peak bit rate,
// no rate-control buffer, a key frame every gop frames, no B-frames.
void encoder_set_rates(AVCodecContext *context, int64_t bit_rate, int64_t max_rate, int gop);
