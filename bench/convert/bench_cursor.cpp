// Per-frame cost of the display's cursor on the processor path: blending a
// 64x64 premultiplied image into a 1920x1080 I420 picture (every frame), and
// converting a new image (once per image), beside the frame's own RGB to
// I420 conversion as the baseline.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "apps/capture/convert/cursor_blend.h"
#include "apps/capture/convert/yuv_convert.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kCursor = 64;

// A pointer-like image: opaque square, translucent band, clear rest.
std::vector<uint32_t> cursor_image()
{
    std::vector<uint32_t> argb(size_t(kCursor) * kCursor, 0);
    for (int y = 0; y < kCursor; ++y)
        for (int x = 0; x < kCursor; ++x)
            argb[size_t(y) * kCursor + x] = x < 16 && y < 16 ? 0xFF00FF00u : (x < 20 && y < 20 ? 0x80808080u : 0);
    return argb;
}

void BM_CursorBlendI420(benchmark::State &state)
{
    std::vector<uint8_t> picture(size_t(kWidth) * kHeight * 3 / 2, 100);
    uint8_t *y = picture.data(), *u = y + size_t(kWidth) * kHeight, *v = u + size_t(kWidth) * kHeight / 4;
    const std::vector<uint32_t> argb = cursor_image();
    CursorYuv cursor;
    cursor_yuv_from_argb(argb.data(), kCursor, kCursor, &cursor);
    int32_t x = 0;
    for (auto _ : state) {
        // A moving cursor, odd and even places, partly over the right edge now and then.
        x = (x + 37) % (kWidth - kCursor / 2);
        cursor_yuv_blend_i420(cursor, x, 500 + (x & 1), kCursor, kCursor, y, kWidth, u, v, kWidth / 2, kWidth, kHeight);
        benchmark::DoNotOptimize(picture.data());
    }
}
BENCHMARK(BM_CursorBlendI420)->Unit(benchmark::kMicrosecond)->Repetitions(3)->ReportAggregatesOnly(true);

void BM_CursorConvertImage(benchmark::State &state)
{
    const std::vector<uint32_t> argb = cursor_image();
    CursorYuv cursor;
    for (auto _ : state) {
        cursor_yuv_from_argb(argb.data(), kCursor, kCursor, &cursor);
        benchmark::DoNotOptimize(cursor.y.data());
    }
}
BENCHMARK(BM_CursorConvertImage)->Unit(benchmark::kMicrosecond)->Repetitions(3)->ReportAggregatesOnly(true);

// The frame's own conversion at the same size, for the ratio.
void BM_FrameConvertBaseline(benchmark::State &state)
{
    std::vector<uint8_t> rgba(size_t(kWidth) * kHeight * 4, 90);
    std::vector<uint8_t> picture(size_t(kWidth) * kHeight * 3 / 2 + 4096);
    uint8_t *y = picture.data(), *u = y + size_t(kWidth) * kHeight, *v = u + size_t(kWidth) * kHeight / 4;
    for (auto _ : state) {
        rgba_to_yuv420p_bt709(kWidth, kHeight, rgba.data(), kWidth * 4, y, u, v);
        benchmark::DoNotOptimize(picture.data());
    }
}
BENCHMARK(BM_FrameConvertBaseline)->Unit(benchmark::kMicrosecond)->Repetitions(3)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
