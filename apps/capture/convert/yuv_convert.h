// Packed 32-bit RGB to planar YUV 4:2:0 (I420) converters.
#pragma once

#include <cstdint>

struct SwsContext;

struct Yuv420pFrame {
    uint8_t *y;  // owned
    uint8_t *u;  // owned
    uint8_t *v;  // owned
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
int rgba_to_yuv420p(uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride, Yuv420pFrame *out);

// Frees the planes and clears the record; null and cleared records are fine.
void yuv420p_frame_release(Yuv420pFrame *frame);

// True when the processor runs the two AVX2 converters.
bool yuv_convert_have_avx2();

// Same values as rgba_to_yuv420p into caller planes. -1 with nothing written
// when width is not a multiple of 16, or when the processor lacks AVX2.
int rgba_to_yuv420p_avx2(uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride, uint8_t *y, uint8_t *u,
                         uint8_t *v);

// The truncating variant reading R, G, B from bits 0-7, 8-15, 16-23 of each
// little-endian word. -1 with nothing written when width is not a multiple of
// 16, height is odd, or the processor lacks AVX2.
int abgr2101010_to_yuv420p_avx2(uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride, uint8_t *y,
                                uint8_t *u, uint8_t *v);

// BT.709 limited range through libswscale (bilinear), reusing the cached
// scaler while the size stays the same. -1 when no scaler can be made
// ("[Libav] Failed to create sws_ctx") or fewer than height lines came out.
int rgba_to_yuv420p_libav(uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride, uint8_t *y, uint8_t *u,
                          uint8_t *v);

// Byte order of a packed pixel in memory (the last letter is the highest
// address); the fourth byte is ignored.
enum PackedOrder {
    PACKED_RGBA,
    PACKED_BGRA,
    PACKED_ARGB,
    PACKED_ABGR
};

// BT.709 limited range from full-range packed RGB, with the chroma of the
// libswscale path (column pairs averaged, rows weighted 1, 3, 3, 1), within
// one step of it on every sample. Planes tightly packed: Y rows of width,
// U and V rows of (width + 1) / 2; an odd width's last chroma column repeats
// the last pixel. -1 with nothing written for an odd height or a height of 6
// (libswscale weighs those rows its own way), a stride below 4 x width, a
// null pointer, or a processor without AVX2.
int packed_to_yuv420p_bt709_avx2(PackedOrder order, uint32_t width, uint32_t height, const uint8_t *src,
                                 uint32_t stride, uint8_t *y, uint8_t *u, uint8_t *v);

// rgba_to_yuv420p_libav for any byte order (the fourth byte ignored).
int packed_to_yuv420p_libav(PackedOrder order, uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride,
                            uint8_t *y, uint8_t *u, uint8_t *v);

// The compatible mode's conversion: the AVX2 converter where the processor
// has it and takes the size (even width and height, height not 6),
// packed_to_yuv420p_libav otherwise. Reads the picture once, so it can read
// a mapped framebuffer in place.
int packed_to_yuv420p_bt709(PackedOrder order, uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride,
                            uint8_t *y, uint8_t *u, uint8_t *v);

// packed_to_yuv420p_bt709 of R, G, B, A pixels (the GL read-back).
int rgba_to_yuv420p_bt709(uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride, uint8_t *y, uint8_t *u,
                          uint8_t *v);
