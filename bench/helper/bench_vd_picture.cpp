// The virtual display's drawing of one blank (the square moved, both rows
// of digits) in a 2560x1440 buffer of each format, drawn in the buffer's
// own codes: what every blank costs the world's clock thread per buffer.
#include <benchmark/benchmark.h>

#include <string>

#include "apps/capture-helper/scenario.h"
#include "apps/capture-helper/vd_picture.h"

namespace {

const char *const kFormats[] = {"XR24", "XR30", "XR48", "XR4H", "RG16", "P010"};

void BM_DrawBlank(benchmark::State &state)
{
    const std::string name = kFormats[state.range(0)];
    Scenario s;
    std::string error;
    if (scenario_parse("device /dev/dri/card0\nframebuffer 1 2560x1440 " + name + "\n", "bench", &s, &error) != 0) {
        state.SkipWithError(error.c_str());
        return;
    }
    auto fb = vd_picture_make_buffer(s.devices[0].framebuffers[0], 1, 0);
    if (!fb) {
        state.SkipWithError("no buffer");
        return;
    }
    uint64_t blank = 1;
    for (auto _ : state) {
        vd_picture_draw_frame(*fb, blank, blank * 16);
        blank++;
    }
    state.SetLabel(name);
}
BENCHMARK(BM_DrawBlank)->DenseRange(0, 5)->ArgName("format");

}  // namespace

BENCHMARK_MAIN();
