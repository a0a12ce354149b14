#include "tools/relay/watermark_reader.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kBaseX = 50.0, kBaseY = 50.0, kDigitW = 40.0, kDigitH = 80.0, kGap = 10.0;

struct Segment {
    double cx, cy, w, h;
};

// Centres and sizes in cell units, p0 (top) to p6 (bottom).
constexpr Segment kSegments[7] = {
    {0.5, 0.15, 0.35, 0.10}, {0.2, 0.35, 0.10, 0.20}, {0.8, 0.35, 0.10, 0.20},
    {0.5, 0.50, 0.35, 0.10}, {0.2, 0.65, 0.10, 0.20}, {0.8, 0.65, 0.10, 0.20},
    {0.5, 0.85, 0.35, 0.10},
};

// Bit s set: segment p_s is lit.
constexpr uint8_t kPatterns[10] = {
    0b1110111, 0b0100100, 0b1011101, 0b1101101, 0b0101110,
    0b1101011, 0b1111011, 0b0100101, 0b1111111, 0b1101111,
};

double cell_x0(int i)
{
    return kBaseX + i * (kDigitW + kGap);
}

// Mean luma of the pixels whose centres lie inside the box, shrunk by
// `inset` pixels on each side so that coding blur at the edges is ignored.
double box_mean(const uint8_t *luma, ptrdiff_t stride, double x0, double y0, double x1, double y1, double inset)
{
    int c0 = int(std::ceil(x0 + inset - 0.5)), c1 = int(std::floor(x1 - inset - 0.5));
    int r0 = int(std::ceil(y0 + inset - 0.5)), r1 = int(std::floor(y1 - inset - 0.5));
    if (c1 < c0) c1 = c0 = int((x0 + x1) / 2);
    if (r1 < r0) r1 = r0 = int((y0 + y1) / 2);
    double sum = 0;
    int n = 0;
    for (int r = r0; r <= r1; ++r)
        for (int c = c0; c <= c1; ++c) {
            sum += luma[r * stride + c];
            ++n;
        }
    return sum / n;
}

double segment_mean(const uint8_t *luma, ptrdiff_t stride, int cell, int s)
{
    const Segment &g = kSegments[s];
    double cx = cell_x0(cell) + g.cx * kDigitW, cy = kBaseY + g.cy * kDigitH;
    double hw = g.w * kDigitW / 2, hh = g.h * kDigitH / 2;
    return box_mean(luma, stride, cx - hw, cy - hh, cx + hw, cy + hh, 1.0);
}

}  // namespace

int relay_watermark_read(const uint8_t *luma, int width, int height, ptrdiff_t stride, uint64_t *value)
{
    if (!luma || width < RELAY_WATERMARK_MIN_WIDTH || height < RELAY_WATERMARK_MIN_HEIGHT)
        return RELAY_WATERMARK_TOO_SMALL;

    // The backdrop shows between the cells (columns 90..99 of each gap) and
    // left of the first one; there it is at most 30 % of the picture's luma.
    // Lit segments are 255. The threshold sits between the darkest lit
    // level we accept and the brightest backdrop.
    double backdrop = 0;
    for (int i = 0; i < RELAY_WATERMARK_DIGITS - 1; ++i)
        backdrop = std::max(backdrop, box_mean(luma, stride, cell_x0(i) + kDigitW, kBaseY + 10,
                                               cell_x0(i + 1), kBaseY + kDigitH - 10, 2.0));
    backdrop = std::max(backdrop, box_mean(luma, stride, kBaseX - 10, kBaseY + 10, kBaseX, kBaseY + kDigitH - 10, 2.0));
    if (backdrop > 110.0)
        return RELAY_WATERMARK_NO_BACKDROP;
    double threshold = (backdrop + 255.0) / 2;

    uint64_t result = 0;
    for (int i = 0; i < RELAY_WATERMARK_DIGITS; ++i) {
        uint8_t lit = 0;
        for (int s = 0; s < 7; ++s)
            if (segment_mean(luma, stride, i, s) > threshold)
                lit |= uint8_t(1u << s);
        int digit = -1;
        for (int d = 0; d < 10; ++d)
            if (kPatterns[d] == lit)
                digit = d;
        if (digit < 0)
            return RELAY_WATERMARK_BAD_DIGIT;
        result = result * 10 + uint64_t(digit);
    }
    *value = result;
    return RELAY_WATERMARK_OK;
}
