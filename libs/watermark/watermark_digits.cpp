#include "libs/watermark/watermark_digits.h"

const uint8_t FONT_NUMBERS[10][8] = {
    {0x3C, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x3C}, {0x18, 0x38, 0x18, 0x18, 0x18, 0x18, 0x18, 0x3C},
    {0x3C, 0x66, 0x06, 0x0C, 0x18, 0x30, 0x66, 0x7E}, {0x3C, 0x66, 0x06, 0x1C, 0x06, 0x06, 0x66, 0x3C},
    {0x0C, 0x1C, 0x3C, 0x6C, 0xCC, 0xFE, 0x0C, 0x1E}, {0x7E, 0x60, 0x7C, 0x06, 0x06, 0x06, 0x66, 0x3C},
    {0x3C, 0x66, 0x60, 0x7C, 0x66, 0x66, 0x66, 0x3C}, {0x7E, 0x06, 0x06, 0x0C, 0x18, 0x18, 0x18, 0x18},
    {0x3C, 0x66, 0x66, 0x3C, 0x66, 0x66, 0x66, 0x3C}, {0x3C, 0x66, 0x66, 0x3E, 0x06, 0x06, 0x66, 0x3C},
};

namespace {

// The digit whose glyph the cell at x0 shows, or -1.
int read_cell(const uint8_t *luma, int32_t stride, int x0)
{
    uint8_t bits[8] = {};
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) {
            int sum = 0;
            for (int py = 2; py < 6; ++py)
                for (int px = 2; px < 6; ++px)
                    sum += luma[int64_t(WATERMARK_ORIGIN_Y + r * WATERMARK_SCALE + py) * stride + x0 +
                                c * WATERMARK_SCALE + px];
            if (sum >= 16 * 128)
                bits[r] |= uint8_t(0x80u >> c);
        }
    int best = -1, best_distance = 65, second_distance = 65;
    for (int d = 0; d < 10; ++d) {
        int distance = 0;
        for (int r = 0; r < 8; ++r)
            distance += __builtin_popcount(unsigned(bits[r] ^ FONT_NUMBERS[d][r]));
        if (distance < best_distance) {
            second_distance = best_distance;
            best_distance = distance;
            best = d;
        } else if (distance < second_distance) {
            second_distance = distance;
        }
    }
    // Two glyphs differ in at least 3 bits, so one wrong bit still names a
    // single nearest digit.
    if (best_distance > 1 || second_distance <= best_distance)
        return -1;
    return best;
}

}  // namespace

int watermark_read_digits(const uint8_t *luma, int32_t width, int32_t height, int32_t stride, int digits,
                          uint64_t *value)
{
    if (!luma || !value || digits <= 0 || digits > 19 || stride < width)
        return -1;
    const int cell = 8 * WATERMARK_SCALE;
    if (WATERMARK_ORIGIN_X + (digits - 1) * WATERMARK_PEN_STEP + cell > width || WATERMARK_ORIGIN_Y + cell > height)
        return -1;
    uint64_t result = 0;
    for (int i = 0; i < digits; ++i) {
        const int digit = read_cell(luma, stride, WATERMARK_ORIGIN_X + i * WATERMARK_PEN_STEP);
        if (digit < 0)
            return -1;
        result = result * 10 + uint64_t(digit);
    }
    *value = result;
    return 0;
}
