// The compatible mode's bitmap watermark: an 8x8 digit font drawn at scale 8
// into the luma plane of an I420 picture.
#pragma once

#include <cstdint>

// Glyph n draws digit n; eight row bytes top to bottom, the most significant
// bit is the leftmost column, a set bit is foreground.
extern const uint8_t FONT_NUMBERS[10][8];

inline constexpr int WATERMARK_ORIGIN_X = 50;
inline constexpr int WATERMARK_ORIGIN_Y = 50;
inline constexpr int WATERMARK_SCALE = 8;
inline constexpr int WATERMARK_PEN_STEP = 74;

// Draws text into the luma plane (width x height, rows stride bytes apart)
// from (50, 50), one cell every 74 pixels. A digit fills its 64x64 cell with
// 255 where the font is set and 0 where it is clear; any other character
// draws nothing but still advances. Pixels outside the plane are not
// written. A null plane or text draws nothing.
void watermark_draw_text(uint8_t *luma, int32_t width, int32_t height, int32_t stride, const char *text);

// Formats ms as decimal ("%lu") and draws it as above.
void watermark_draw_ms(uint8_t *luma, int32_t width, int32_t height, int32_t stride, uint64_t ms);

// CLOCK_REALTIME in milliseconds since the epoch.
uint64_t watermark_wall_clock_ms();

// Reads `digits` cells back from a luma plane drawn by watermark_draw_text,
// tolerating coding noise: each font bit is judged by the mean of its
// block's inner 4x4 pixels, and each cell must match one glyph in all but at
// most one bit, and no other glyph as well. 0 with *value (first cell most
// significant), or -1 when the picture cannot hold the cells or a cell is
// not a digit.
int watermark_read_digits(const uint8_t *luma, int32_t width, int32_t height, int32_t stride, int digits,
                          uint64_t *value);
