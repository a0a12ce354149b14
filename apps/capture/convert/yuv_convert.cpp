#include "apps/capture/convert/yuv_convert.h"

#include <cstdio>
#include <cstdlib>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

SwsContext *sws_ctx = nullptr;
uint32_t cached_width = 0;
uint32_t cached_height = 0;
int32_t cached_fmt = -1;

namespace {

void clear(Yuv420pFrame *f)
{
    *f = Yuv420pFrame{nullptr, nullptr, nullptr, 0, 0, 0};
}

}  // namespace

int rgba_to_yuv420p(uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride, Yuv420pFrame *out)
{
    if (!src || !out)
        return -1;
    // The chroma planes hold one sample per 2x2 block: odd sizes would leave
    // the last column or row without room, so they are refused.
    if ((width | height) & 1) {
        clear(out);
        return -1;
    }
    const size_t luma = static_cast<size_t>(width) * height;
    const size_t chroma = static_cast<size_t>(width / 2) * (height / 2);
    out->y = static_cast<uint8_t *>(std::malloc(luma ? luma : 1));
    out->u = static_cast<uint8_t *>(std::malloc(chroma ? chroma : 1));
    out->v = static_cast<uint8_t *>(std::malloc(chroma ? chroma : 1));
    if (!out->y || !out->u || !out->v) {
        std::free(out->y);
        std::free(out->u);
        std::free(out->v);
        clear(out);
        return -1;
    }
    out->y_stride = width;
    out->u_stride = width / 2;
    out->v_stride = width / 2;
    if (width == 0 || height == 0)
        return 0;
    for (uint32_t r = 0; r < height; ++r) {
        const uint8_t *row = src + static_cast<size_t>(r) * stride;
        uint8_t *yrow = out->y + static_cast<size_t>(r) * width;
        for (uint32_t k = 0; k < width; ++k) {
            const int32_t R = row[4 * k], G = row[4 * k + 1], B = row[4 * k + 2];
            yrow[k] = static_cast<uint8_t>(((66 * R + 129 * G + 25 * B + 128) >> 8) + 16);
            if (((r | k) & 1) == 0) {
                const size_t i = static_cast<size_t>(r / 2) * (width / 2) + k / 2;
                out->u[i] = static_cast<uint8_t>(((-38 * R - 74 * G + 112 * B + 128) >> 8) + 128);
                out->v[i] = static_cast<uint8_t>(((112 * R - 94 * G - 18 * B + 128) >> 8) + 128);
            }
        }
    }
    return 0;
}

void yuv420p_frame_release(Yuv420pFrame *frame)
{
    if (!frame)
        return;
    std::free(frame->y);
    std::free(frame->u);
    std::free(frame->v);
    clear(frame);
}

bool yuv_convert_have_avx2()
{
    return __builtin_cpu_supports("avx2");
}

namespace {

AVPixelFormat packed_pixel_format(PackedOrder order)
{
    switch (order) {
    case PACKED_BGRA: return AV_PIX_FMT_BGR0;
    case PACKED_ARGB: return AV_PIX_FMT_0RGB;
    case PACKED_ABGR: return AV_PIX_FMT_0BGR;
    default: return AV_PIX_FMT_RGBA;
    }
}

}  // namespace

int packed_to_yuv420p_libav(PackedOrder order, uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride,
                            uint8_t *y, uint8_t *u, uint8_t *v)
{
    const AVPixelFormat format = packed_pixel_format(order);
    if (!(sws_ctx && cached_width == width && cached_height == height && cached_fmt == format)) {
        sws_freeContext(sws_ctx);
        sws_ctx = nullptr;
        cached_width = 0;
        cached_height = 0;
        cached_fmt = -1;
        sws_ctx =
            sws_getContext(static_cast<int>(width), static_cast<int>(height), format, static_cast<int>(width),
                           static_cast<int>(height), AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!sws_ctx) {
            std::fprintf(stderr, "[Libav] Failed to create sws_ctx\n");
            return -1;
        }
        int *inv_table = nullptr, *table = nullptr;
        int src_range = 0, dst_range = 0, brightness = 0, contrast = 0, saturation = 0;
        sws_getColorspaceDetails(sws_ctx, &inv_table, &src_range, &table, &dst_range, &brightness, &contrast,
                                 &saturation);
        sws_setColorspaceDetails(sws_ctx, inv_table, 1, sws_getCoefficients(SWS_CS_ITU709), 0, brightness, contrast,
                                 saturation);
        cached_width = width;
        cached_height = height;
        cached_fmt = format;
    }
    const uint8_t *src_planes[1] = {src};
    const int src_strides[1] = {static_cast<int>(stride)};
    uint8_t *dst_planes[3] = {y, u, v};
    const int w = static_cast<int>(width);
    const int dst_strides[3] = {w, w / 2, w / 2};
    const int lines = sws_scale(sws_ctx, src_planes, src_strides, 0, static_cast<int>(height), dst_planes, dst_strides);
    return lines == static_cast<int>(height) ? 0 : -1;
}

int rgba_to_yuv420p_libav(uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride, uint8_t *y, uint8_t *u,
                          uint8_t *v)
{
    return packed_to_yuv420p_libav(PACKED_RGBA, width, height, src, stride, y, u, v);
}
