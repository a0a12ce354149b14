// Reads digits back out of a decoded luma plane. The capture side's time
// watermark: thirteen seven-segment digits, white on a darkened box in the
// top-left corner, each cell 40x80 pixels starting at column 50 + 50 i, row
// 50. The virtual display's own stamp, in its bottom-left corner: six digits
// of the blank number with cells 48x80 at column 16 + 62 i, row H - 96, and
// above them thirteen digits of that blank's wall-clock milliseconds at row
// H - 192, white (strokes 10 pixels) on black.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int RELAY_WATERMARK_DIGITS = 13;
// The smallest picture that holds every digit cell whole.
constexpr int RELAY_WATERMARK_MIN_WIDTH = 50 + 12 * 50 + 40;  // 690
constexpr int RELAY_WATERMARK_MIN_HEIGHT = 50 + 80;           // 130

// Results of relay_watermark_read.
enum RelayWatermarkResult : int {
    RELAY_WATERMARK_OK = 0,
    RELAY_WATERMARK_TOO_SMALL = -1,    // the picture cannot hold all thirteen cells
    RELAY_WATERMARK_NO_BACKDROP = -2,  // no dark box where the digits stand
    RELAY_WATERMARK_BAD_DIGIT = -3,    // a cell shows no digit's segment pattern
};

// Reads the thirteen digits of the 8-bit luma plane (width x height, rows
// `stride` bytes apart) into *value (d[0] the most significant digit).
// Tolerates coding noise; fails rather than guess.
int relay_watermark_read(const uint8_t *luma, int width, int height, ptrdiff_t stride, uint64_t *value);

// What the virtual display's picture says about itself.
struct RelaySourceStamp {
    uint64_t blank;    // the vertical blank at which the picture went on screen
    uint64_t wall_ms;  // that blank's CLOCK_REALTIME milliseconds
};
constexpr int RELAY_SOURCE_STAMP_MIN_WIDTH = 16 + 12 * 62 + 48;  // 808
constexpr int RELAY_SOURCE_STAMP_MIN_HEIGHT = 200;

// Reads the display's stamp of the 8-bit luma plane, drawn at the plane's
// own size (a scaled stream does not read). A RelayWatermarkResult.
int relay_source_stamp_read(const uint8_t *luma, int width, int height, ptrdiff_t stride, RelaySourceStamp *out);
