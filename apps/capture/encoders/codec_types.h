// The names of the video codecs the capture program streams, and what its
// encoders share: the rate settings and the control thread's requests.
#pragma once

#include <atomic>
#include <cstdint>

#include "libs/common/codec_type.h"

// Returns the display name ("H.264", "H.265", "VP8", "VP9", "AV1"), or
// "Unknown" for any other value. The string is a constant.
const char *codec_type_to_string(int32_t type);

// Parses an exact, case-sensitive name: "h264", "h265", "hevc", "vp8", "vp9",
// "av1". Anything else gives CODEC_TYPE_UNCHANGED.
CodecType codec_type_from_string(const char *name);

struct AVCodecContext;
struct AVFrame;

// The rate settings the encoder tables share: average and peak bit rate,
// no rate-control buffer, a key frame every gop frames, no B-frames.
void encoder_set_rates(AVCodecContext *context, int64_t bit_rate, int64_t max_rate, int gop);

// What the control thread asks of a running encoder; the pipeline thread
// takes it with the next frame it encodes.
struct EncoderRequests {
    std::atomic<bool> force_keyframe{false};
    std::atomic<int> pending_bitrate{0};  // 0: none
};

// Takes the requests into the context and the frame about to be encoded: a
// pending bit rate becomes the average and peak rate, and the frame is made
// an intra picture when one was asked for (else its type is left to the
// encoder). True when it was made an intra picture.
bool encoder_take_requests(EncoderRequests *requests, AVCodecContext *context, AVFrame *frame);

// Asks an encoder that holds `requests` for an intra picture with its next
// frame. 0, or -1 for a null encoder.
template <typename Encoder>
int encoder_request_keyframe(Encoder *encoder)
{
    if (!encoder)
        return -1;
    encoder->requests.force_keyframe.store(true);
    return 0;
}
