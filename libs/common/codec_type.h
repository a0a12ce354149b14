// The video codecs the system can stream, numbered alike in the capture
// program and the relay.
#pragma once

#include <cstdint>

enum CodecType : int32_t {
    CODEC_TYPE_H264 = 0,
    CODEC_TYPE_H265 = 1,
    CODEC_TYPE_VP8 = 2,
    CODEC_TYPE_VP9 = 3,
    CODEC_TYPE_AV1 = 4,
    CODEC_TYPE_UNCHANGED = 5,  // an unrecognised name; also "no change requested"
};
