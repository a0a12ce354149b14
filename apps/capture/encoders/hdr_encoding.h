// The 10-bit stream of --hdr: which codecs carry it here, how an encoder is
// set up for it, and how its packets carry the mastering metadata when the
// encoder does not write it itself.
#pragma once

#include <cstdint>

#include "apps/capture/core/hdr_signal.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

// True for the codecs whose encoders here make a 10-bit 4:2:0 stream: H.265
// (libx265, hevc_vaapi) and AV1 (libaom-av1, av1_vaapi).
bool hdr_encoding_codec_supported(int32_t codec_type);

// Sets an allocated, not yet opened encoder context up for the 10-bit
// stream the signal describes: a software encoder's pixel format becomes
// yuv420p10le (a VA-API context keeps its hardware frames, which the caller
// makes P010), the profile Main10 (H.265) or Main (AV1), the colour
// primaries, transfer, matrix (BT.2020 non-constant luminance, or BT.709 for
// an SDR signal) and limited range; libx265 also gets the mastering display
// and the content light levels, with its headers repeated at every key
// frame. Called after the encoder table's configure function, whose profile
// it replaces. Returns 0, or -1 after one line naming the encoder when it
// cannot make a 10-bit stream.
int hdr_encoding_configure(AVCodecContext *context, const char *encoder_name, const HdrSignal &signal);

// For the encoders that do not write the metadata themselves (AV1): a key
// frame's packet gets the metadata (ST 2086 mastering display and content
// light level OBUs) after its temporal delimiter. Other packets, and every
// packet of an SDR signal, are left as they are. Returns 0, or a negative
// FFmpeg error with the packet unchanged.
int hdr_encoding_amend_packet(AVPacket *packet, const char *encoder_name, const HdrSignal &signal);

// For the encoders that write the metadata from the frames they are given
// (hevc_vaapi, at each IDR picture): attaches the signal's mastering display
// and content light levels to the frame as side data. A frame of an SDR
// signal, or of another encoder, is left as it is. Returns 0, or
// AVERROR(ENOMEM) with whatever was attached left on the frame.
int hdr_encoding_tag_frame(AVFrame *frame, const char *encoder_name, const HdrSignal &signal);
