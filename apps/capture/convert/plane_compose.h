// The CRTC's picture composed on the processor: every plane's source
// rectangle sampled (bilinear, at pixel centres) into its place in the
// stream, turned, reflected and scaled as the display controller shows it,
// blended bottom first with its plane alpha and pixel blend mode, over
// black. The compatible mode calls it for each frame; the kernel test
// compares it with the kernel's own composition.
//
// A pixel of a layer is sampled first (each channel, alpha too, interpolated
// on its own, the way a texture unit filters), then blended:
//   Pre-multiplied: out = src * p + (1 - a * p) * dst
//   Coverage:       out = src * a * p + (1 - a * p) * dst
//   None:           out = src * p + (1 - p) * dst
// with a the pixel's alpha (1 for X formats) and p the plane alpha. NV12
// chroma is sited at the centre of the 2x2 luma pixels it covers.
//
// The composer works in 8 bits a channel: a deep-colour layer (XR30 and the
// other formats of deep_convert.h, P010 read as NV12) is reduced to 8 bits
// at each sample, before filtering and blending, so its extra precision
// does not reach the XRGB8888 output.
#pragma once

#include <cstdint>

#include "apps/capture/core/plane_geometry.h"

// One plane to draw: its state and its mapped buffer.
struct ComposeLayer {
    PlaneRecord plane;       // format, size, rectangles, rotation, alpha, blend, encoding, range (buffer_id != 0)
    const uint8_t *data[2];  // packed RGB: data[0]; NV12, P010: data[0] luma, data[1] interleaved CbCr
    uint32_t stride[2];      // bytes per row of each
};

// The formats a layer may have (DRM fourccs).
inline constexpr uint32_t plane_compose_fourcc(char a, char b, char c, char d)
{
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 | uint32_t(uint8_t(d)) << 24;
}
inline constexpr uint32_t PLANE_COMPOSE_XR24 = plane_compose_fourcc('X', 'R', '2', '4');  // B G R X in memory
inline constexpr uint32_t PLANE_COMPOSE_AR24 = plane_compose_fourcc('A', 'R', '2', '4');  // B G R A
inline constexpr uint32_t PLANE_COMPOSE_XB24 = plane_compose_fourcc('X', 'B', '2', '4');  // R G B X
inline constexpr uint32_t PLANE_COMPOSE_AB24 = plane_compose_fourcc('A', 'B', '2', '4');  // R G B A
inline constexpr uint32_t PLANE_COMPOSE_NV12 = plane_compose_fourcc('N', 'V', '1', '2');  // Y plane, CbCr plane
// and the deep-colour formats of deep_convert.h (XR30 ... AB4H, RG16, P010).

// True for a format plane_compose_xrgb draws.
bool plane_compose_supported(uint32_t fourcc);

// Draws layers (bottom first) over black into a stream picture of XRGB8888
// (little-endian words, B in the lowest byte, X 0xff), of the size
// plane_stream_size gives for crtc_width x crtc_height turned by turns;
// out_stride bytes a row. 0, or -1 after one line on stderr naming the
// fourcc of a layer it cannot read ("... format NV21 (0x3132564e) ...") and
// nothing drawn for that layer (the others are drawn). A layer whose buffer
// is missing or whose strides are too short for its size is refused the
// same way; a layer that covers no pixel of the stream (or has no buffer,
// buffer_id 0) is no error. Each buffer must hold its height's rows.
int plane_compose_xrgb(const ComposeLayer *layers, uint32_t count, uint32_t crtc_width, uint32_t crtc_height,
                       uint32_t turns, uint8_t *out, uint32_t out_stride);
