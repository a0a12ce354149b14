// Packed 32-bit RGB to planar YUV 4:2:0 (I420) converters.
#pragma once

#include <cstdint>

struct SwsContext;

struct Yuv420pFrame {
    uint8_t *y;   // owned
    uint8_t *u;   // owned
    uint8_t *v;   // owned
    uint32_t y_stride;
    uint32_t u_stride;
    uint32_t v_stride;
};

// Process-wide scaler cache of rgba_to_yuv420p_libav (one thread at a time).
extern SwsContext *sws_ctx;
extern uint32_t cached_width;
extern uint32_t cached_height;
extern int32_t cached_fmt;

// Integer BT.601, point-sampled chroma, into planes the record owns. Odd
// widths or heights are refused (-1, record cleared, nothing allocated).
// -1 for a null source or record or an allocation failure (record cleared).
int rgba_to_yuv420p(uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride,
                    Yuv420pFrame *out);

// Frees the planes and clears the record; null and cleared records are fine.
void yuv420p_frame_release(Yuv420pFrame *frame);

// True when the processor runs the two AVX2 converters.
bool yuv_convert_have_avx2();

// Same values as rgba_to_yuv420p into caller planes. -1 with nothing written
// when width is not a multiple of 16, or when the processor lacks AVX2.
int rgba_to_yuv420p_avx2(uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride,
                         uint8_t *y, uint8_t *u, uint8_t *v);

// The truncating variant reading R, G, B from bits 0-7, 8-15, 16-23 of each
// little-endian word. -1 with nothing written when width is not a multiple of
// 16, height is odd, or the processor lacks AVX2.
int abgr2101010_to_yuv420p_avx2(uint32_t width, uint32_t height, const uint8_t *src,
                                uint32_t stride, uint8_t *y, uint8_t *u, uint8_t *v);

// BT.709 limited range through libswscale (bilinear), reusing the cached
// scaler while the size stays the same. -1 when no scaler can be made
// ("[Libav] Failed to create sws_ctx") or fewer than height lines came out.
int rgba_to_yuv420p_libav(uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride,
                          uint8_t *y, uint8_t *u, uint8_t *v);
