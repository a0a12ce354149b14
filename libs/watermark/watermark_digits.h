// The shapes of the digits a picture carries as a watermark, shared by the
// programs that draw them and the relay that reads them back: the
// compatible mode's 8x8 bitmap font with its place in the picture and its
// reader, and the seven-segment patterns of the virtual display's digits.
#pragma once

#include <cstdint>

// Glyph n draws digit n; eight row bytes top to bottom, the most significant
// bit is the leftmost column, a set bit is foreground.
extern const uint8_t FONT_NUMBERS[10][8];

// The bitmap digits' first cell's top-left, the scale of a font bit (a cell
// is 8 x WATERMARK_SCALE pixels square) and the distance between cells.
inline constexpr int WATERMARK_ORIGIN_X = 50;
inline constexpr int WATERMARK_ORIGIN_Y = 50;
inline constexpr int WATERMARK_SCALE = 8;
inline constexpr int WATERMARK_PEN_STEP = 74;

// Reads `digits` bitmap cells back from a luma plane (width x height, rows
// stride bytes apart), tolerating coding noise: each font bit is judged by
// the mean of its block's inner 4x4 pixels, and each cell must match one
// glyph in all but at most one bit, and no other glyph as well. 0 with
// *value (first cell most significant), or -1 when the picture cannot hold
// the cells or a cell is not a digit.
int watermark_read_digits(const uint8_t *luma, int32_t width, int32_t height, int32_t stride, int digits,
                          uint64_t *value);

// Seven-segment digits: pattern n lights digit n's segments, bit 0 the top,
// then clockwise (1 upper right, 2 lower right, 3 bottom, 4 lower left,
// 5 upper left), bit 6 the middle.
inline constexpr uint8_t WATERMARK_SEGMENT_PATTERNS[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};
