// The compatible mode's bitmap watermark: an 8x8 digit font drawn at scale 8
// into the luma plane of an I420 picture. The font, its place and the
// reader are in libs/watermark/watermark_digits.h.
#pragma once

#include <cstdint>

#include "libs/watermark/watermark_digits.h"

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
