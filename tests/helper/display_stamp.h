// Reads the virtual display's own digits (blank number and wall-clock
// milliseconds, bottom-left corner) out of an XRGB8888 picture in memory,
// with the relay's reader, so both ends agree on where they stand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/relay/watermark_reader.h"

// Only the corner is looked at, so a read is quick enough to follow every
// blank. True with *out filled when every digit reads.
inline bool read_display_stamp(const uint8_t *xrgb, size_t pitch, int width, int height, RelaySourceStamp *out)
{
    constexpr int kCornerW = RELAY_SOURCE_STAMP_MIN_WIDTH + 12, kCornerH = RELAY_SOURCE_STAMP_MIN_HEIGHT;
    if (width < kCornerW || height < kCornerH)
        return false;
    std::vector<uint8_t> luma(size_t(kCornerW) * kCornerH);
    for (int y = 0; y < kCornerH; y++) {
        const uint8_t *row = xrgb + size_t(height - kCornerH + y) * pitch;
        for (int x = 0; x < kCornerW; x++)
            luma[size_t(y) * kCornerW + x] = row[size_t(x) * 4 + 1];  // green: 255 on white, 0 on black
    }
    return relay_source_stamp_read(luma.data(), kCornerW, kCornerH, kCornerW, out) == RELAY_WATERMARK_OK;
}
