#include "tools/relay/watermark_reader.h"

#include <algorithm>
#include <cmath>

#include "libs/watermark/watermark_digits.h"

namespace {

constexpr double kBaseX = 50.0, kBaseY = 50.0, kDigitW = 40.0, kDigitH = 80.0, kGap = 10.0;

struct Segment {
    double cx, cy, w, h;
};

// Centres and sizes in cell units, p0 (top) to p6 (bottom).
constexpr Segment kSegments[7] = {
    {0.5, 0.15, 0.35, 0.10}, {0.2, 0.35, 0.10, 0.20}, {0.8, 0.35, 0.10, 0.20}, {0.5, 0.50, 0.35, 0.10},
    {0.2, 0.65, 0.10, 0.20}, {0.8, 0.65, 0.10, 0.20}, {0.5, 0.85, 0.35, 0.10},
};

// Bit s set: segment p_s is lit.
constexpr uint8_t kPatterns[10] = {
    0b1110111, 0b0100100, 0b1011101, 0b1101101, 0b0101110, 0b1101011, 0b1111011, 0b0100101, 0b1111111, 0b1101111,
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
    if (c1 < c0)
        c1 = c0 = int((x0 + x1) / 2);
    if (r1 < r0)
        r1 = r0 = int((y0 + y1) / 2);
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
        backdrop = std::max(backdrop, box_mean(luma, stride, cell_x0(i) + kDigitW, kBaseY + 10, cell_x0(i + 1),
                                               kBaseY + kDigitH - 10, 2.0));
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

namespace {

// The display's digits: cell size, pitch and the first cell's column.
constexpr double kSourceW = 48, kSourceH = 80, kSourcePitch = 62, kSourceX = 16;

// Boxes inside each segment of a cell, clear of the strokes that cross it,
// in the display's segment order (bit 0 top, then clockwise, bit 6 middle).
constexpr Segment kSourceSegments[7] = {
    {24, 5, 20, 4}, {43, 20, 4, 16}, {43, 60, 4, 16}, {24, 75, 20, 4}, {5, 60, 4, 16}, {5, 20, 4, 16}, {24, 40, 20, 4},
};
constexpr const uint8_t *kSourcePatterns = WATERMARK_SEGMENT_PATTERNS;

// Reads `digits` cells whose tops are at row y. A RelayWatermarkResult.
int read_source_row(const uint8_t *luma, ptrdiff_t stride, double y, int digits, uint64_t *value)
{
    // Black shows in the gaps between the cells; lit strokes are white.
    double backdrop = 0;
    for (int i = 0; i < digits - 1; ++i) {
        double x = kSourceX + i * kSourcePitch + kSourceW;
        backdrop =
            std::max(backdrop, box_mean(luma, stride, x, y + 10, x + kSourcePitch - kSourceW, y + kSourceH - 10, 3.0));
    }
    if (backdrop > 110.0)
        return RELAY_WATERMARK_NO_BACKDROP;
    const double threshold = (backdrop + 235.0) / 2;
    uint64_t result = 0;
    for (int i = 0; i < digits; ++i) {
        const double x0 = kSourceX + i * kSourcePitch;
        uint8_t lit = 0;
        for (int s = 0; s < 7; ++s) {
            const Segment &g = kSourceSegments[s];
            const double cx = x0 + g.cx, cy = y + g.cy;
            if (box_mean(luma, stride, cx - g.w / 2, cy - g.h / 2, cx + g.w / 2, cy + g.h / 2, 0.0) > threshold)
                lit |= uint8_t(1u << s);
        }
        const uint8_t *hit = std::find(kSourcePatterns, kSourcePatterns + 10, lit);
        if (hit == kSourcePatterns + 10)
            return RELAY_WATERMARK_BAD_DIGIT;
        result = result * 10 + uint64_t(hit - kSourcePatterns);
    }
    *value = result;
    return RELAY_WATERMARK_OK;
}

}  // namespace

int relay_source_stamp_read(const uint8_t *luma, int width, int height, ptrdiff_t stride, RelaySourceStamp *out)
{
    if (!luma || width < RELAY_SOURCE_STAMP_MIN_WIDTH || height < RELAY_SOURCE_STAMP_MIN_HEIGHT)
        return RELAY_WATERMARK_TOO_SMALL;
    RelaySourceStamp stamp{};
    int rc = read_source_row(luma, stride, height - 96, 6, &stamp.blank);
    if (rc == RELAY_WATERMARK_OK)
        rc = read_source_row(luma, stride, height - 192, 13, &stamp.wall_ms);
    if (rc == RELAY_WATERMARK_OK)
        *out = stamp;
    return rc;
}
