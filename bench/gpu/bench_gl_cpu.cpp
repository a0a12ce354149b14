// Per-frame cost of the GPU I420 conversion and read-back on this machine.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "apps/capture/gpu/gl_cpu_renderer.h"
#include "tests/gpu/gl_test_context.h"

static double process_cpu_ms()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

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

// Composing the planes at 1920x1080 with the same-frame read-back, so each
// frame's time is its own: the plain picture, the whole-screen primary given
// as a layer, the same reflected (through the composing program), the
// primary and one overlay, the primary and three overlays, alternating in one loop so all see the same load. The counters
// are each kind's median milliseconds per frame and its ratio to the plain
// picture's.
static void BM_GlCpuLayers(benchmark::State &state)
{
    const int w = 1920, h = 1080;
    GlTestContext gl;
    GlCpuRenderer r;
    const GLuint src = start_renderer(state, gl, w, h, &r);
    if (src == 0)
        return;
    gl_cpu_set_same_frame(&r, true);
    PlaneRecord primary{};
    primary.buffer_id = 1;
    primary.width = w;
    primary.height = h;
    primary.format = 0x34325258;  // XRGB8888
    primary.src_w = uint32_t(w) << 16;
    primary.src_h = uint32_t(h) << 16;
    primary.crtc_w = w;
    primary.crtc_h = h;
    primary.rotation = UDS_ROTATE_0;
    primary.alpha = 0xffff;
    // Overlays of 640x360 with alpha: one unscaled, one scaled up 1.5 times,
    // one turned and translucent.
    std::vector<uint8_t> px(size_t(640) * 360 * 4);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = static_cast<uint8_t>(i * 13);
    GLuint overlay_texture = 0;
    glGenTextures(1, &overlay_texture);
    glBindTexture(GL_TEXTURE_2D, overlay_texture);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 640, 360, 0, GL_RGBA, GL_UNSIGNED_BYTE, px.data());
    glBindTexture(GL_TEXTURE_2D, 0);
    PlaneRecord overlays[3];
    for (PlaneRecord &o : overlays) {
        o = primary;
        o.format = 0x34325241;  // ARGB8888
        o.width = 640;
        o.height = 360;
        o.src_w = 640u << 16;
        o.src_h = 360u << 16;
        o.crtc_w = 640;
        o.crtc_h = 360;
    }
    overlays[0].crtc_x = 100;
    overlays[0].crtc_y = 600;
    overlays[1].crtc_x = 800;
    overlays[1].crtc_y = 100;
    overlays[1].crtc_w = 960;
    overlays[1].crtc_h = 540;
    overlays[2].crtc_x = 1500;
    overlays[2].crtc_y = 400;
    overlays[2].crtc_w = 360;
    overlays[2].crtc_h = 640;
    overlays[2].rotation = UDS_ROTATE_90;
    overlays[2].alpha = 0x8000;
    auto picture_of = [&](uint32_t overlay_count, uint32_t rotation) {
        ShaderPicture p{uint32_t(w), uint32_t(h), 0, 1 + overlay_count, {}};
        p.layers[0] = ShaderLayer{src, true, primary};
        p.layers[0].plane.rotation = rotation;
        for (uint32_t i = 0; i < overlay_count; ++i)
            p.layers[1 + i] = ShaderLayer{overlay_texture, false, overlays[i]};
        return p;
    };
    // The whole-screen primary alone takes the plain program; reflected, the
    // composing one.
    const ShaderPicture pictures[4] = {picture_of(0, UDS_ROTATE_0), picture_of(0, UDS_ROTATE_0 | UDS_REFLECT_X),
                                       picture_of(1, UDS_ROTATE_0), picture_of(3, UDS_ROTATE_0)};
    constexpr int kKinds = 5;
    const ShaderPicture *kinds[kKinds] = {nullptr, &pictures[0], &pictures[1], &pictures[2], &pictures[3]};
    const uint8_t *y, *u, *v;
    int32_t ys, us, vs;
    uint64_t wm = 1733467200123ull;
    unsigned sum = 0;
    // Wall and process CPU milliseconds (the rasteriser's threads included:
    // on a loaded machine the steadier of the two).
    auto frame = [&](const ShaderPicture *picture, double *cpu_ms) {
        const double c0 = process_cpu_ms();
        const auto t0 = std::chrono::steady_clock::now();
        if (gl_cpu_render_and_map(&r, src, ++wm, &y, &ys, &u, &us, &v, &vs, nullptr, picture) == 0) {
            sum += y[0] + u[0] + v[0];
            gl_cpu_unmap(&r);
        }
        *cpu_ms = process_cpu_ms() - c0;
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    };
    double ignored = 0;
    for (const ShaderPicture *k : kinds)
        frame(k, &ignored);  // builds the programs outside the measurement
    std::vector<double> times[kKinds], cpu[kKinds];
    for (auto _ : state)
        for (int k = 0; k < kKinds; ++k) {
            double c = 0;
            times[k].push_back(frame(kinds[k], &c));
            cpu[k].push_back(c);
        }
    benchmark::DoNotOptimize(sum);
    static const char *const kNames[kKinds] = {"plain", "primary", "reflected", "one_overlay", "three_overlays"};
    auto median = [](std::vector<double> &v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    };
    const double plain_ms = median(times[0]), plain_cpu = median(cpu[0]);
    for (int k = 0; k < kKinds; ++k) {
        const std::string name = kNames[k];
        const double ms = median(times[k]), cpu_ms = median(cpu[k]);
        state.counters[name + "_ms"] = ms;
        state.counters[name + "_cpu_ms"] = cpu_ms;
        if (k > 0 && plain_ms > 0 && plain_cpu > 0) {
            state.counters[name + "_x"] = ms / plain_ms;
            state.counters[name + "_cpu_x"] = cpu_ms / plain_cpu;
        }
    }
    glDeleteTextures(1, &overlay_texture);
    gl_cpu_cleanup(&r);
}
BENCHMARK(BM_GlCpuLayers)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(getenv("BENCH_QUICK") ? 2.0 : 5.0)->Repetitions(getenv("BENCH_QUICK") ? 1 : 3);

BENCHMARK_MAIN();
