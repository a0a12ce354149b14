// The table of FFmpeg VA-API hardware encoders, one row per codec, each with
// the function that sets rate control, group of pictures and the encoder's
// own options before the encoder is opened.
#pragma once

#include "apps/capture/encoders/codec_types.h"

struct AVCodecContext;

// Called on an allocated, not yet opened encoder context. Sets the row's
// context fields and private options; an option the encoder lacks is
// reported as a warning and skipped. Always returns 0. width and height are
// accepted for the callers' convenience and not used.
using VaapiConfigureFn = int (*)(AVCodecContext *context, int width, int height);

struct VaapiEncoderInfo {
    CodecType type;
    const char *name;            // FFmpeg encoder name, e.g. "h264_vaapi"
    VaapiConfigureFn configure;  // null would mean "not implemented"
};

// Five rows in this order: H.264, VP8, VP9, H.265, AV1.
extern const VaapiEncoderInfo vaapi_encoders[5];

int configure_h264_vaapi(AVCodecContext *context, int width, int height);
int configure_hevc_vaapi(AVCodecContext *context, int width, int height);
int configure_vp8_vaapi(AVCodecContext *context, int width, int height);
int configure_vp9_vaapi(AVCodecContext *context, int width, int height);
// FFmpeg 5.1 has no "av1_vaapi": looking that name up gives no encoder, so a
// fast run asking for AV1 fails when it looks the encoder up. The function
// still sets the row's fields on any context it is given.
int configure_av1_vaapi(AVCodecContext *context, int width, int height);

// Returns the row of the codec, or null after writing
// "[VAAPI] Error: Encoder not found for type %s\n" to stderr.
const VaapiEncoderInfo *vaapi_find_encoder(int32_t type);

// Writes the header line and one line per row, in table order, to stderr.
void vaapi_list_encoders();

// What vaapi_probe_encoder found.
enum VaapiProbeResult {
    VAAPI_PROBE_ENCODES = 0,     // the device opens and an encoder of the codec opens on it
    VAAPI_PROBE_NO_DEVICE = 1,   // no VA-API device opens on the node
    VAAPI_PROBE_NO_ENCODER = 2,  // the device opens, the codec's encoder does not
};

// Opens a VA-API device on render_node and, on it, the table's encoder of
// type at a small size with a surface pool, then releases everything. Prints
// nothing of its own (libva and FFmpeg may log).
VaapiProbeResult vaapi_probe_encoder(int32_t type, const char *render_node);
