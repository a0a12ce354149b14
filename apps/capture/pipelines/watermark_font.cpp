#include "apps/capture/pipelines/watermark_font.h"

#include <time.h>

#include <cstdio>

namespace {

void draw_glyph(uint8_t *luma, int32_t width, int32_t height, int32_t stride, int x0, int y0, const uint8_t *glyph)
{
    for (int r = 0; r < 8; ++r) {
        for (int py = 0; py < WATERMARK_SCALE; ++py) {
            const int y = y0 + r * WATERMARK_SCALE + py;
            if (y < 0 || y >= height)
                continue;
            uint8_t *row = luma + int64_t(y) * stride;
            for (int c = 0; c < 8; ++c) {
                const uint8_t value = (glyph[r] & (0x80u >> c)) ? 255 : 0;
                for (int px = 0; px < WATERMARK_SCALE; ++px) {
                    const int x = x0 + c * WATERMARK_SCALE + px;
                    if (x >= 0 && x < width)
                        row[x] = value;
                }
            }
        }
    }
}

}  // namespace

void watermark_draw_text(uint8_t *luma, int32_t width, int32_t height, int32_t stride, const char *text)
{
    if (!luma || !text || width <= 0 || height <= 0 || stride < width)
        return;
    int x = WATERMARK_ORIGIN_X;
    for (const char *p = text; *p; ++p, x += WATERMARK_PEN_STEP) {
        if (x >= width)
            break;
        if (*p >= '0' && *p <= '9')
            draw_glyph(luma, width, height, stride, x, WATERMARK_ORIGIN_Y, FONT_NUMBERS[*p - '0']);
    }
}

void watermark_draw_ms(uint8_t *luma, int32_t width, int32_t height, int32_t stride, uint64_t ms)
{
    char text[32];
    snprintf(text, sizeof(text), "%lu", static_cast<unsigned long>(ms));
    watermark_draw_text(luma, width, height, stride, text);
}

uint64_t watermark_wall_clock_ms()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * 1000ull + uint64_t(ts.tv_nsec) / 1000000ull;
}
