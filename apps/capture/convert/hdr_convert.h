// HDR pictures read on the processor: tone-mapped to 8-bit SDR I420
// BT.709 limited range for viewers without HDR (the curve of
// apps/capture/core/hdr_tone.h), or kept as they are in 10-bit I420
// (yuv420p10le: uint16 samples, the value in the low 10 bits) for the HDR
// stream.
//
// Inputs: every packed deep format (deep_formats.h; half floats are code
// values clamped to [0, 1]) and the 8-bit XR24/AR24/XB24/AB24; P010 for
// the 10-bit output. Planes are tightly packed: Y rows of width, U and V
// rows of (width + 1) / 2, chroma from the column pairs averaged and rows
// weighted 1, 3, 3, 1 (clamped at the edges) of the converted R', G', B',
// as deep_to_yuv420p_bt709 does it; an odd width's last chroma column
// repeats the last pixel. Each result is within one step of the
// double-precision reference (hdr_tone_map_rgb, then hdr_rgb_to_ycbcr709 or
// hdr_rgb_to_ycbcr10, each sample rounded once). Every function returns -1
// with nothing written for a fourcc it does not read, an odd height, a
// stride below the row's bytes or a null pointer, and 0 otherwise.
//
// The tables a tone map needs are built on its first use in a thread and
// kept until the thread converts under another map.
#pragma once

#include <cstdint>

#include "apps/capture/convert/cursor_blend.h"
#include "apps/capture/core/deep_formats.h"
#include "apps/capture/core/hdr_tone.h"

inline constexpr uint32_t HDR_XR24 = deep_fourcc('X', 'R', '2', '4');  // B G R x in memory
inline constexpr uint32_t HDR_AR24 = deep_fourcc('A', 'R', '2', '4');  // B G R A
inline constexpr uint32_t HDR_XB24 = deep_fourcc('X', 'B', '2', '4');  // R G B x
inline constexpr uint32_t HDR_AB24 = deep_fourcc('A', 'B', '2', '4');  // R G B A

// The SDR picture a viewer without HDR sees: each pixel through
// hdr_tone_map_rgb under map (an SDR map passes the values through), to
// BT.709 limited range I420. 256-bit passes where the processor has AVX2.
int hdr_convert_to_yuv420p_bt709(const HdrToneMap &map, uint32_t fourcc, uint32_t width, uint32_t height,
                                 const uint8_t *src, uint32_t stride, uint8_t *y, uint8_t *u, uint8_t *v);

// The HDR stream's picture: no tone mapping (PQ and HLG code values pass
// through), BT.2020 non-constant luminance when bt2020, else BT.709, limited
// range (Y' 64..940, Cb and Cr 64..960).
int hdr_convert_to_yuv420p10(bool bt2020, uint32_t fourcc, uint32_t width, uint32_t height, const uint8_t *src,
                             uint32_t stride, uint16_t *y, uint16_t *u, uint16_t *v);

// The portable converters alone (a test checks them against the AVX2 ones).
int hdr_convert_to_yuv420p_bt709_portable(const HdrToneMap &map, uint32_t fourcc, uint32_t width, uint32_t height,
                                          const uint8_t *src, uint32_t stride, uint8_t *y, uint8_t *u, uint8_t *v);
int hdr_convert_to_yuv420p10_portable(bool bt2020, uint32_t fourcc, uint32_t width, uint32_t height, const uint8_t *src,
                                      uint32_t stride, uint16_t *y, uint16_t *u, uint16_t *v);

// P010 (already Y'CbCr, the value in the high 10 bits) re-packed as 10-bit
// I420: the samples keep their values (matrix and range as the buffer has
// them), the interleaved chroma split. Even width and height; strides in
// bytes, at least 2 x width.
int hdr_p010_to_yuv420p10(uint32_t width, uint32_t height, const uint8_t *luma, uint32_t luma_stride,
                          const uint8_t *chroma, uint32_t chroma_stride, uint16_t *y, uint16_t *u, uint16_t *v);

// An 8-bit picture (XR24/AR24/XB24/AB24) tone-mapped in place: each pixel's
// R, G, B through hdr_tone_map_rgb, rounded to 8 bits; alpha and padding
// bytes kept. A picture composed of several planes is tone-mapped this way
// after composing, so it has been through 8 bits a channel first.
int hdr_convert_xrgb_in_place(const HdrToneMap &map, uint32_t fourcc, uint32_t width, uint32_t height, uint8_t *pixels,
                              uint32_t stride);

// The display's cursor (SDR colours, converted by cursor_yuv_from_argb) as
// a PQ or HLG stream carries it, for cursor_yuv_blend_i420 into that
// stream's picture taken to 8 bits: SDR white at 203 cd/m2 in PQ or at 75%
// of HLG's signal, BT.2020 primaries and Y'CbCr when the signal's bt2020
// (each value 1/4 of its 10-bit code), alpha kept. An SDR signal's cursor is
// copied as it is.
void hdr_cursor_for_stream(const HdrSignal &signal, const CursorYuv &sdr, CursorYuv *out);
