// Deep-colour framebuffers (10-bit, 16-bit, half-float, RGB565 and P010)
// read on the processor: their layouts, a converter straight to I420 BT.709
// limited range (8-bit SDR) and a reduction to the 8-bit B G R A pixels the
// composer works in.
//
// Layouts (little-endian words, highest bits first as the fourcc names them):
//   XR30/AR30  x:R:G:B 2:10:10:10 in a 32-bit word   XB30/AB30  x:B:G:R
//   XR48/AR48  x:R:G:B 16:16:16:16 (B first in memory) XB48/AB48  R first
//   XR4H/AR4H  as XR48 with half floats               XB4H/AB4H  R first
//   RG16       R:G:B 5:6:5 in a 16-bit word
//   P010       Y plane and interleaved CbCr plane of 16-bit samples, the
//              value in the high 10 bits
// Values are taken as gamma-encoded R'G'B' in [0, 1]; half floats are
// clamped to [0, 1] (SDR: no tone mapping).
#pragma once

#include <cstdint>

#include "apps/capture/core/deep_formats.h"

// BT.709 limited range I420 from a packed deep format, with the chroma of
// packed_to_yuv420p_bt709 (column pairs averaged, rows weighted 1, 3, 3, 1,
// clamped at the edges), computed from the full-precision values and
// rounded once (within one step of a double-precision reference). Planes
// tightly packed: Y rows of width, U and V rows of (width + 1) / 2 (an odd
// width's last chroma column repeats the last pixel). 256-bit passes where
// the processor has AVX2. -1 with nothing written for a fourcc that is not
// a packed deep format, an odd height, a stride below the row's bytes or a
// null pointer.
int deep_to_yuv420p_bt709(uint32_t fourcc, uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride,
                          uint8_t *y, uint8_t *u, uint8_t *v);

// P010 (already Y'CbCr) to I420 by rounding each sample to 8 bits: the
// chroma plane's samples are taken 1:1. Even width and height; strides in
// bytes, at least 2 x width. -1 with nothing written otherwise.
int p010_to_yuv420p(uint32_t width, uint32_t height, const uint8_t *luma, uint32_t luma_stride, const uint8_t *chroma,
                    uint32_t chroma_stride, uint8_t *y, uint8_t *u, uint8_t *v);

// The portable converter alone (a test checks it against the AVX2 one).
int deep_to_yuv420p_bt709_portable(uint32_t fourcc, uint32_t width, uint32_t height, const uint8_t *src,
                                   uint32_t stride, uint8_t *y, uint8_t *u, uint8_t *v);

// One row of n pixels reduced to 8-bit B G R A (each channel rounded to the
// nearest of 255 steps; A 255 for formats without alpha). The composer reads
// deep-colour layers through it, so its output keeps 8 bits a channel.
void deep_row_to_bgra8(uint32_t fourcc, const uint8_t *src, uint32_t n, uint8_t *out);

// P010 samples (16-bit, value in the high 10 bits) rounded to 8 bits.
void p010_row_to_8(const uint8_t *src, uint32_t n, uint8_t *out);
