// Software encoders: the table of FFmpeg software encoders and the CpuEncoder
// object that encodes caller-owned planar YUV 4:2:0 frames.
#pragma once

#include <atomic>
#include <cstdint>

#include "apps/capture/core/hdr_signal.h"
#include "apps/capture/encoders/codec_types.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

// Called on an allocated, not yet opened encoder context. Sets the row's
// rate control, group of pictures and private options; always returns 0.
using CpuConfigureFn = int (*)(AVCodecContext *context, int width, int height, int fps);

struct CpuEncoderInfo {
    CodecType type;
    const char *name;  // FFmpeg encoder name, e.g. "libx264"
    CpuConfigureFn configure;
};

// Five rows in this order: H.264, VP8, VP9, AV1, H.265.
extern const CpuEncoderInfo cpu_encoders[5];

int configure_h264_libx264(AVCodecContext *context, int width, int height, int fps);
int configure_vp8_libvpx(AVCodecContext *context, int width, int height, int fps);
int configure_vp9_libvpx(AVCodecContext *context, int width, int height, int fps);
int configure_av1_libaom(AVCodecContext *context, int width, int height, int fps);
int configure_h265_libx265(AVCodecContext *context, int width, int height, int fps);

struct CpuEncoder {
    CodecType type;
    const CpuEncoderInfo *row;
    AVCodecContext *context;  // opened encoder, owned
    AVFrame *frame;           // descriptor only: planes point at the caller's memory
    AVPacket *packet;         // reused for every output
    int64_t next_pts;
    EncoderRequests requests;  // set by the control thread
    bool ten_bit;              // made by cpu_encoder_create_hdr
    HdrSignal signal;          // the 10-bit stream's signal; SDR for an 8-bit encoder
};

// Returns the table row of the codec, or null after writing
// "[CPU Encoder] Not found for type: %s\n".
const CpuEncoderInfo *cpu_find_encoder(int32_t type);

// Writes the header and one line per row (available / not installed) to stderr.
void cpu_encoder_list_available();

// Opens an encoder for width x height at fps. 0 with *out set, or -1 with
// nothing left allocated (*out must not be used then).
int cpu_encoder_create(CpuEncoder **out, int32_t type, int width, int height, int fps);

// The 10-bit encoder of --hdr: as cpu_encoder_create, for a codec that
// hdr_encoding_codec_supported accepts, opened for yuv420p10le frames (each
// sample 16-bit little-endian with the value in its low 10 bits; the strides
// given to cpu_encoder_encode_planes stay in bytes) and the signal's colour
// description and mastering metadata in the stream.
int cpu_encoder_create_hdr(CpuEncoder **out, int32_t type, int width, int height, int fps, const HdrSignal &signal);

// Encodes one frame whose planes stay owned by the caller (nothing is copied;
// they must stay valid until the call returns). 0 with *out_packet set to the
// encoder's own packet (valid until the next call) or null when the encoder
// has nothing yet; or a negative FFmpeg error code (AVERROR(EINVAL) for a
// null plane, -1 for a missing encoder).
int cpu_encoder_encode_planes(CpuEncoder *encoder, const uint8_t *y, int y_stride, const uint8_t *u, int u_stride,
                              const uint8_t *v, int v_stride, AVPacket **out_packet);

// Requests an intra picture for the next encoded frame. Safe to call from the
// control thread while the pipeline thread encodes. 0, or -1 for null.
int cpu_encoder_force_keyframe(CpuEncoder *encoder);

// Changes the target and maximum bit rate (bits per second); the next encoded
// frame uses it. Safe to call from the control thread while the pipeline
// thread encodes. 0, or -1 for a missing encoder or context.
int cpu_encoder_set_bitrate(CpuEncoder *encoder, int bitrate);

// Releases everything; null is ignored.
void cpu_encoder_destroy(CpuEncoder *encoder);
