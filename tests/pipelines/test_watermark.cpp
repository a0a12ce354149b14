// The bitmap watermark: glyph placement at scale 8 with the 74-pixel pen
// step, clipping, the digit reader's tolerance, and the adaptive rate rule.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "apps/capture/pipelines/compatible_pipeline.h"
#include "apps/capture/pipelines/watermark_font.h"

namespace {

constexpr uint8_t kBackground = 77;

struct Plane {
    int width, height, stride;
    std::vector<uint8_t> pixels;
    Plane(int w, int h, int s) : width(w), height(h), stride(s), pixels(size_t(s) * h + 64, kBackground) {}
    uint8_t at(int x, int y) const { return pixels[size_t(y) * stride + x]; }
    void draw(const char *text) { watermark_draw_text(pixels.data(), width, height, stride, text); }
};

// Digit 4 in the first cell: its top row byte 0C sets font columns 4 and 5,
// so x 82..97 of rows 50..57 are white and the rest of the cell's row black;
// the cell is an opaque 64x64 box, nothing outside it changes.
TEST(Watermark, GlyphCellsAreOpaqueBoxesOfScaledFontBits)
{
    Plane p(1280, 720, 1280);
    p.draw("4");
    for (int y = 50; y < 58; ++y)
        for (int x = 50; x < 114; ++x) {
            EXPECT_EQ(p.at(x, y), (x >= 82 && x <= 97) ? 255 : 0) << x << "," << y;
        }
    // Row 5 of the 4 is FE: columns 0..6 set.
    for (int x = 50; x < 114; ++x)
        EXPECT_EQ(p.at(x, 50 + 5 * 8 + 3), x < 106 ? 255 : 0) << x;
    for (int y = 0; y < 720; ++y)
        for (int x = 0; x < 1280; ++x)
            if (x < 50 || x >= 114 || y < 50 || y >= 114) {
                ASSERT_EQ(p.at(x, y), kBackground) << x << "," << y;
            }
}

// Thirteen digits span x 50..1001 on rows 50..113, with a 10-pixel gap of
// untouched picture between cells; characters that are not digits draw
// nothing but still advance the pen.
TEST(Watermark, PenStepsAndNonDigits)
{
    Plane p(1280, 720, 1280);
    p.draw("1733600000123");
    EXPECT_EQ(p.at(1001, 113), 0);  // bottom-right corner of the last box (bit clear)
    EXPECT_EQ(p.at(1002, 80), kBackground);
    EXPECT_EQ(p.at(49, 80), kBackground);
    EXPECT_EQ(p.at(500, 114), kBackground);
    for (int cell = 0; cell < 12; ++cell)
        for (int x = 114 + 74 * cell; x < 124 + 74 * cell; ++x)
            ASSERT_EQ(p.at(x, 80), kBackground) << x;
    uint64_t value = 0;
    ASSERT_EQ(watermark_read_digits(p.pixels.data(), 1280, 720, 1280, 13, &value), 0);
    EXPECT_EQ(value, 1733600000123ull);

    Plane q(1280, 200, 1280);
    q.draw("1:2");
    for (int y = 50; y < 114; ++y)
        for (int x = 124; x < 188; ++x)
            ASSERT_EQ(q.at(x, y), kBackground);
    EXPECT_EQ(q.at(198 + 8 * 2 + 4, 50 + 4), 255);  // the 2's top row 3C: column 2 set

    Plane m(1280, 200, 1280);
    watermark_draw_ms(m.pixels.data(), 1280, 200, 1280, 9876543210123ull);
    ASSERT_EQ(watermark_read_digits(m.pixels.data(), 1280, 200, 1280, 13, &value), 0);
    EXPECT_EQ(value, 9876543210123ull);
}

// Pixels past the width or height are not written, also where the row
// stride leaves room for them; a picture smaller than the origin is left
// alone, and a null plane or text is refused quietly.
TEST(Watermark, ClipsAtThePictureEdges)
{
    Plane p(1000, 100, 1024);
    p.draw("8888888888888");
    for (int y = 0; y < 100; ++y)
        for (int x = 1000; x < 1024; ++x)
            ASSERT_EQ(p.at(x, y), kBackground) << x << "," << y;
    EXPECT_EQ(p.at(999, 60), 0);            // last cell column 950+49: bit clear in 3C
    EXPECT_EQ(p.at(950 + 2 * 8, 50), 255);  // last cell, column 2 of row 0
    for (size_t i = size_t(100) * 1024; i < p.pixels.size(); ++i)
        ASSERT_EQ(p.pixels[i], kBackground);  // nothing below row 99
    uint64_t value = 0;
    EXPECT_EQ(watermark_read_digits(p.pixels.data(), 1000, 100, 1024, 13, &value), -1);

    Plane tiny(40, 40, 40);
    tiny.draw("0123");
    for (uint8_t v : tiny.pixels)
        ASSERT_EQ(v, kBackground);
    watermark_draw_text(nullptr, 100, 100, 100, "1");
    tiny.draw(nullptr);
}

// Coding noise of a few levels and one wrong font bit per cell still read;
// a cell that shows no digit, or one as near to two digits, fails.
TEST(Watermark, ReaderToleratesNoiseButNotAmbiguity)
{
    Plane p(1280, 720, 1280);
    p.draw("0123456789012");
    std::mt19937 random(7);
    std::uniform_int_distribution<int> noise(-40, 40);
    for (uint8_t &v : p.pixels)
        v = uint8_t(std::clamp(int(v) + noise(random), 0, 255));
    uint64_t value = 0;
    ASSERT_EQ(watermark_read_digits(p.pixels.data(), 1280, 720, 1280, 13, &value), 0);
    EXPECT_EQ(value, 123456789012ull);

    // One flipped bit (row 0, column 0 of the first cell) is tolerated.
    for (int y = 50; y < 58; ++y)
        for (int x = 50; x < 58; ++x)
            p.pixels[size_t(y) * 1280 + x] = 255;
    ASSERT_EQ(watermark_read_digits(p.pixels.data(), 1280, 720, 1280, 13, &value), 0);
    EXPECT_EQ(value, 123456789012ull);

    // An 8 with the middle row of a 0 sits between 0 and 8 only if the
    // reader guessed; a blank cell is no digit at all.
    Plane q(1280, 720, 1280);
    q.draw("6");
    // Turn the 6 one bit nearer the 8 (row 2: 60 -> 62) and one more (64):
    // 62 is at distance 1 from 6 and 2 from 8, 66 is the 8's row.
    for (int y = 66; y < 74; ++y)
        for (int x = 50 + 6 * 8; x < 50 + 7 * 8; ++x)
            q.pixels[size_t(y) * 1280 + x] = 255;
    ASSERT_EQ(watermark_read_digits(q.pixels.data(), 1280, 720, 1280, 1, &value), 0);
    EXPECT_EQ(value, 6u);
    for (int y = 66; y < 74; ++y)
        for (int x = 50 + 5 * 8; x < 50 + 6 * 8; ++x)
            q.pixels[size_t(y) * 1280 + x] = 255;
    EXPECT_EQ(watermark_read_digits(q.pixels.data(), 1280, 720, 1280, 1, &value), 0);
    EXPECT_EQ(value, 8u);  // now exactly the 8's rows 2 and 3 differ by one bit

    Plane blank(1280, 720, 1280);
    EXPECT_EQ(watermark_read_digits(blank.pixels.data(), 1280, 720, 1280, 1, &value), -1);
}

// The adaptive rate: 5% down (not below 10) for a frame over 90% of its
// period; 0.2 up only on every tenth pass, under 70% of the period, while
// below both the configured rate and the display rate less 2 Hz.
TEST(CompatibleRate, AdaptsToTheFrameCost)
{
    const double period = 1e9 / 30.0;
    EXPECT_DOUBLE_EQ(compat_target_fps_update(30.0, uint64_t(0.91 * period), period, 60, 60.0, 3), 28.5);
    EXPECT_DOUBLE_EQ(compat_target_fps_update(10.2, uint64_t(2e9 / 10.2), 1e9 / 10.2, 60, 60.0, 0), 10.0);
    EXPECT_DOUBLE_EQ(compat_target_fps_update(10.0, uint64_t(2e9 / 10.0), 1e9 / 10.0, 60, 60.0, 0), 10.0);
    EXPECT_DOUBLE_EQ(compat_target_fps_update(30.0, uint64_t(0.5 * period), period, 60, 60.0, 0), 30.2);
    EXPECT_DOUBLE_EQ(compat_target_fps_update(30.0, uint64_t(0.5 * period), period, 60, 60.0, 20), 30.2);
    // Not a tenth pass, between 70% and 90%, at the configured rate, too
    // near the display rate: unchanged.
    EXPECT_DOUBLE_EQ(compat_target_fps_update(30.0, uint64_t(0.5 * period), period, 60, 60.0, 7), 30.0);
    EXPECT_DOUBLE_EQ(compat_target_fps_update(30.0, uint64_t(0.8 * period), period, 60, 60.0, 10), 30.0);
    EXPECT_DOUBLE_EQ(compat_target_fps_update(30.0, uint64_t(0.5 * period), period, 30, 60.0, 10), 30.0);
    EXPECT_DOUBLE_EQ(compat_target_fps_update(30.0, uint64_t(0.5 * period), period, 60, 32.0, 10), 30.0);
    EXPECT_DOUBLE_EQ(compat_target_fps_update(30.0, uint64_t(0.5 * period), period, 60, 32.1, 10), 30.2);

    // Cheap frames on a 60 Hz display climb from 30 to just under 58 and stop.
    double rate = 30.0;
    for (uint32_t pass = 0; pass < 2000; ++pass)
        rate = compat_target_fps_update(rate, 1000000, 1e9 / rate, 60, 60.0, pass);
    EXPECT_GT(rate, 57.7);
    EXPECT_LT(rate, 58.1);
}

}  // namespace
