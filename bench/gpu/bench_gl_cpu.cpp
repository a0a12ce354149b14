// Per-frame cost of the GPU I420 conversion and read-back on this machine.
#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "apps/capture/gpu/gl_cpu_renderer.h"
#include "tests/gpu/gl_test_context.h"

// A w x h source picture and a renderer for it in gl; the source texture,
// or 0 with the benchmark skipped and nothing to release.
static GLuint start_renderer(benchmark::State &state, GlTestContext &gl, int w, int h, GlCpuRenderer *r)
{
    if (!gl.ok()) {
        state.SkipWithError("no surfaceless EGL context");
        return 0;
    }
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = static_cast<uint8_t>(i * 7);
    const GLuint src = gl.make_source(w, h, px);
    if (src == 0 || gl_cpu_init(r, gl.display(), w, h) != 0) {
        state.SkipWithError("renderer init failed");
        return 0;
    }
    return src;
}

static void BM_GlCpuRenderAndMap(benchmark::State &state)
{
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    GlTestContext gl;
    GlCpuRenderer r;
    const GLuint src = start_renderer(state, gl, w, h, &r);
    if (src == 0)
        return;
    const uint8_t *y, *u, *v;
    int32_t ys, us, vs;
    uint64_t wm = 1733467200123ull;
    if (gl_cpu_render_and_map(&r, src, wm, &y, &ys, &u, &us, &v, &vs) == 0)
        gl_cpu_unmap(&r);
    unsigned sum = 0;
    for (auto _ : state) {
        if (gl_cpu_render_and_map(&r, src, ++wm, &y, &ys, &u, &us, &v, &vs) == 0) {
            sum += y[0] + u[0] + v[0];  // touch the planes as an encoder would
            gl_cpu_unmap(&r);
        }
    }
    benchmark::DoNotOptimize(sum);
    gl_cpu_cleanup(&r);
}
BENCHMARK(BM_GlCpuRenderAndMap)
    ->Args({1280, 720})
    ->Args({1920, 1080})
    ->Args({2560, 1440})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

// The cursor's share at 1920x1080: frames without and with a 64x64 cursor
// drawn by the shaders, alternating in one loop so both see the same load;
// the counters are each kind's mean milliseconds per frame.
static void BM_GlCpuCursor(benchmark::State &state)
{
    const int w = 1920, h = 1080, size = 64;
    GlTestContext gl;
    GlCpuRenderer r;
    const GLuint src = start_renderer(state, gl, w, h, &r);
    if (src == 0)
        return;
    std::vector<uint32_t> argb(static_cast<size_t>(size) * size, 0x80808080u);
    CursorOverlayGl cursor{shader_cursor_texture(argb.data(), size, size), 0.5f, 0.5f, float(size) / w,
                           float(size) / h};
    const CursorOverlayGl none{0, 0.f, 0.f, 0.f, 0.f};
    const uint8_t *y, *u, *v;
    int32_t ys, us, vs;
    uint64_t wm = 1733467200123ull;
    unsigned sum = 0;
    auto frame = [&](const CursorOverlayGl *c) {
        const auto t0 = std::chrono::steady_clock::now();
        if (gl_cpu_render_and_map(&r, src, ++wm, &y, &ys, &u, &us, &v, &vs, c) == 0) {
            sum += y[0] + u[0] + v[0];
            gl_cpu_unmap(&r);
        }
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    };
    frame(&none);
    double plain = 0, with_cursor = 0;
    for (auto _ : state) {
        cursor.x = static_cast<float>((wm % 1000) / 1000.0);
        plain += frame(&none);
        with_cursor += frame(&cursor);
    }
    benchmark::DoNotOptimize(sum);
    state.counters["plain_ms"] = plain / double(state.iterations());
    state.counters["cursor_ms"] = with_cursor / double(state.iterations());
    if (cursor.texture)
        glDeleteTextures(1, &cursor.texture);
    gl_cpu_cleanup(&r);
}
BENCHMARK(BM_GlCpuCursor)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0)->Repetitions(3);

BENCHMARK_MAIN();
