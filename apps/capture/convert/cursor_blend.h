// The display's cursor drawn into an I420 picture on the processor: the
// image is converted once (premultiplied BT.709 limited-range luma and
// chroma with its alpha), then blended at its place at every frame, clipped
// at every edge of the picture.
#pragma once

#include <cstdint>
#include <vector>

// One cursor image, converted. Values are premultiplied by the pixel's alpha
// and kept in 1/256 steps so that translucent pixels lose nothing.
struct CursorYuv {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<int32_t> y, u, v;  // width x height each
    std::vector<uint8_t> a;        // alpha, 0 (clear) to 255 (opaque)
};

// Converts premultiplied ARGB8888 (32-bit words, alpha in bits 24-31,
// width x height, no padding).
void cursor_yuv_from_argb(const uint32_t *argb, uint32_t width, uint32_t height, CursorYuv *out);

// Blends the cursor over the picture with its top-left at (x, y) (either
// may be negative or beyond the picture), drawing at most shown_width x
// shown_height of it. Chroma samples take the average of the 2x2 pixels
// they cover, pixels outside the cursor counting as clear.
void cursor_yuv_blend_i420(const CursorYuv &cursor, int32_t x, int32_t y, uint32_t shown_width, uint32_t shown_height,
                           uint8_t *luma, uint32_t luma_stride, uint8_t *u, uint8_t *v, uint32_t chroma_stride,
                           int32_t width, int32_t height);
