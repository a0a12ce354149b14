// The generic codec wrapper: encodes packed I420 pictures.
#pragma once

#include <atomic>
#include <cstdint>

#include "apps/capture/core/hdr_signal.h"
#include "apps/capture/encoders/codec_types.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

struct CodecEncoderConfig {
    int32_t codec_type;  // CodecType; other values give H.264
    int32_t width;
    int32_t height;
    int32_t fps;
    int32_t bitrate_kbps;
    int32_t gop_size;
};

struct CodecContext {
    CodecEncoderConfig config;
    bool is_encoder;
    bool ready;
    AVCodecContext *context;  // owned
    AVFrame *frame;           // owned, with its own 32-byte aligned buffers
    AVPacket *packet;         // next output; handed to the caller and replaced
    int32_t frame_counter;
    EncoderRequests requests;  // set by the control thread
    bool ten_bit;              // made by codec_encoder_init_hdr: two bytes a sample
    HdrSignal signal;          // the 10-bit stream's signal; SDR for an 8-bit encoder
};

// Opens FFmpeg's default encoder for the codec. 0 with *out set, or -1 with
// nothing left allocated.
int codec_encoder_init(CodecContext **out, const CodecEncoderConfig *config);

// The 10-bit encoder of --hdr: as codec_encoder_init, for a codec that
// hdr_encoding_codec_supported accepts; codec_encode_frame then takes a
// packed yuv420p10le picture (Y, then Cb, then Cr, each sample 16-bit
// little-endian with the value in its low 10 bits: width * height * 3 bytes
// for even sizes), and the stream carries the signal's colour description
// and mastering metadata.
int codec_encoder_init_hdr(CodecContext **out, const CodecEncoderConfig *config, const HdrSignal &signal);

// Encodes one packed I420 picture (Y, then U, then V, each tightly packed).
// 0 with *out_packet a packet the caller now owns (av_packet_free), or null
// when the encoder has nothing yet; or a negative error.
int codec_encode_frame(CodecContext *codec, const uint8_t *i420, AVPacket **out_packet);

// Changes the bit rate (bits per second); the next encoded frame uses it.
// Safe to call from the control thread. 0, or -1 without a context or encoder.
int codec_set_bitrate(CodecContext *codec, int bitrate);

// Requests an intra picture for the next encoded frame. Safe to call from the
// control thread. 0, or -1 without a context.
int codec_force_keyframe(CodecContext *codec);

// Prints "[CODEC] Cleaning up codec context" and releases everything.
void codec_cleanup(CodecContext *codec);
