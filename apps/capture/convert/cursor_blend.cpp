#include "apps/capture/convert/cursor_blend.h"

#include <algorithm>
#include <cmath>

void cursor_yuv_from_argb(const uint32_t *argb, uint32_t width, uint32_t height, CursorYuv *out)
{
    const size_t n = size_t(width) * height;
    out->width = width;
    out->height = height;
    out->y.assign(n, 0);
    out->u.assign(n, 0);
    out->v.assign(n, 0);
    out->a.assign(n, 0);
    for (size_t i = 0; i < n; ++i) {
        const uint32_t p = argb[i];
        const double a = double(p >> 24), r = double((p >> 16) & 0xFF), g = double((p >> 8) & 0xFF),
                     b = double(p & 0xFF);
        // The offsets of the limited range scale with the coverage, like the
        // premultiplied colour.
        const double y = 16.0 * a / 255.0 + (0.2126 * r + 0.7152 * g + 0.0722 * b) * 219.0 / 255.0;
        const double u = 128.0 * a / 255.0 + (-0.1146 * r - 0.3854 * g + 0.5 * b) * 224.0 / 255.0;
        const double v = 128.0 * a / 255.0 + (0.5 * r - 0.4542 * g - 0.0458 * b) * 224.0 / 255.0;
        out->y[i] = int32_t(std::lround(y * 256.0));
        out->u[i] = int32_t(std::lround(u * 256.0));
        out->v[i] = int32_t(std::lround(v * 256.0));
        out->a[i] = uint8_t(p >> 24);
    }
}

namespace {

inline uint8_t clamp_byte(int64_t v)
{
    return uint8_t(std::clamp<int64_t>(v, 0, 255));
}

}  // namespace

void cursor_yuv_blend_i420(const CursorYuv &cursor, int32_t x, int32_t y, uint32_t shown_width, uint32_t shown_height,
                           uint8_t *luma, uint32_t luma_stride, uint8_t *u, uint8_t *v, uint32_t chroma_stride,
                           int32_t width, int32_t height)
{
    const int64_t cw = std::min<int64_t>(cursor.width, shown_width);
    const int64_t ch = std::min<int64_t>(cursor.height, shown_height);
    // The covered rectangle of the picture, [x0, x1) x [y0, y1).
    const int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
    const int64_t x1 = std::min<int64_t>(int64_t(x) + cw, width), y1 = std::min<int64_t>(int64_t(y) + ch, height);
    if (x0 >= x1 || y0 >= y1)
        return;
    for (int64_t py = y0; py < y1; ++py) {
        const size_t row = size_t(py - y) * cursor.width;
        uint8_t *dst = luma + size_t(py) * luma_stride;
        for (int64_t px = x0; px < x1; ++px) {
            const size_t i = row + size_t(px - x);
            const int64_t keep = 255 - cursor.a[i];
            dst[px] = clamp_byte((cursor.y[i] + keep * dst[px] * 256 / 255 + 128) >> 8);
        }
    }
    // Chroma samples that any covered pixel falls in.
    for (int64_t cy = y0 / 2; cy <= (y1 - 1) / 2; ++cy) {
        for (int64_t cx = x0 / 2; cx <= (x1 - 1) / 2; ++cx) {
            int64_t su = 0, sv = 0, sa = 0;
            for (int64_t py = 2 * cy; py < 2 * cy + 2; ++py)
                for (int64_t px = 2 * cx; px < 2 * cx + 2; ++px) {
                    if (px < x0 || px >= x1 || py < y0 || py >= y1)
                        continue;
                    const size_t i = size_t(py - y) * cursor.width + size_t(px - x);
                    su += cursor.u[i];
                    sv += cursor.v[i];
                    sa += cursor.a[i];
                }
            if (sa == 0 && su == 0 && sv == 0)
                continue;
            const int64_t keep = 1020 - sa;
            uint8_t &du = u[size_t(cy) * chroma_stride + size_t(cx)];
            uint8_t &dv = v[size_t(cy) * chroma_stride + size_t(cx)];
            du = clamp_byte((su / 4 + keep * du * 256 / 1020 + 128) >> 8);
            dv = clamp_byte((sv / 4 + keep * dv * 256 / 1020 + 128) >> 8);
        }
    }
}
