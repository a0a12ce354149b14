// Reads the time watermark back out of a decoded luma plane: thirteen
// seven-segment digits, white on a darkened box in the top-left corner,
// each cell 40x80 pixels starting at column 50 + 50 i, row 50.
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
    RELAY_WATERMARK_TOO_SMALL = -1,  // the picture cannot hold all thirteen cells
    RELAY_WATERMARK_NO_BACKDROP = -2,  // no dark box where the digits stand
    RELAY_WATERMARK_BAD_DIGIT = -3,  // a cell shows no digit's segment pattern
};

// Reads the thirteen digits of the 8-bit luma plane (width x height, rows
// `stride` bytes apart) into *value (d[0] the most significant digit).
// Tolerates coding noise; fails rather than guess.
int relay_watermark_read(const uint8_t *luma, int width, int height, ptrdiff_t stride, uint64_t *value);
