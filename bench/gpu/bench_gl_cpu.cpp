// Per-frame cost of the GPU I420 conversion and read-back on this machine.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "apps/capture/gpu/gl_cpu_renderer.h"
#include "apps/capture/source/egl_context.h"
#include "tests/gpu/gl_test_context.h"

static double process_cpu_ms()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// Sets each kind's median wall (name_ms) and process CPU (name_cpu_ms)
// milliseconds per frame and, after the first, their ratios to the first's
// (name_x, name_cpu_x).
static void set_median_counters(benchmark::State &state, const char *const *names, std::vector<double> *times,
                                std::vector<double> *cpu, int kinds)
{
    auto median = [](std::vector<double> &v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    };
    const double base_ms = median(times[0]), base_cpu = median(cpu[0]);
    for (int k = 0; k < kinds; ++k) {
        const std::string name = names[k];
        const double ms = median(times[k]), cpu_ms = median(cpu[k]);
        state.counters[name + "_ms"] = ms;
        state.counters[name + "_cpu_ms"] = cpu_ms;
        if (k > 0 && base_ms > 0 && base_cpu > 0) {
            state.counters[name + "_x"] = ms / base_ms;
            state.counters[name + "_cpu_x"] = cpu_ms / base_cpu;
        }
    }
}

// Draws each kind's frame once outside the measurement (building its
// programs), then each kind once per iteration, timing each frame's wall and
// process CPU milliseconds (the rasteriser's threads included: on a loaded
// machine the steadier of the two), and sets the median counters.
template <typename Frame>
static void measure_alternating(benchmark::State &state, const char *const *names, int kinds, Frame frame)
{
    for (int k = 0; k < kinds; ++k)
        frame(k);
    std::vector<std::vector<double>> times(static_cast<size_t>(kinds)), cpu(static_cast<size_t>(kinds));
    for (auto _ : state)
        for (int k = 0; k < kinds; ++k) {
            const double c0 = process_cpu_ms();
            const auto t0 = std::chrono::steady_clock::now();
            frame(k);
            cpu[size_t(k)].push_back(process_cpu_ms() - c0);
            times[size_t(k)].push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        }
    set_median_counters(state, names, times.data(), cpu.data(), kinds);
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
    const PlaneRecord primary = test_plane_record(w, h, 0, 0, w, h, 0x34325258);  // XRGB8888
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
    constexpr uint32_t kARGB8888 = 0x34325241;
    PlaneRecord overlays[3] = {test_plane_record(640, 360, 100, 600, 640, 360, kARGB8888),
                               test_plane_record(640, 360, 800, 100, 960, 540, kARGB8888),
                               test_plane_record(640, 360, 1500, 400, 360, 640, kARGB8888)};
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
    static const char *const kNames[kKinds] = {"plain", "primary", "reflected", "one_overlay", "three_overlays"};
    measure_alternating(state, kNames, kKinds, [&](int k) {
        if (gl_cpu_render_and_map(&r, src, ++wm, &y, &ys, &u, &us, &v, &vs, nullptr, kinds[k]) == 0) {
            sum += y[0] + u[0] + v[0];
            gl_cpu_unmap(&r);
        }
    });
    benchmark::DoNotOptimize(sum);
    glDeleteTextures(1, &overlay_texture);
    gl_cpu_cleanup(&r);
}
BENCHMARK(BM_GlCpuLayers)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0)->Repetitions(3);

// A mapped frame's upload and I420 conversion at 1920x1080 per format, with
// the same-frame read-back: XR24 and one format of each deep layout,
// alternating in one loop so all see the same load. Counters: each format's
// median wall and process CPU milliseconds per frame and the ratios to XR24.
static void BM_DeepUpload(benchmark::State &state)
{
    const int w = 1920, h = 1080;
    GlTestContext gl;
    if (!gl.ok()) {
        state.SkipWithError("no surfaceless EGL context");
        return;
    }
    static const char *const kNames[] = {"XR24", "XB24", "XR30", "XB30", "XR48", "XB48", "XR4H", "XB4H", "RG16"};
    constexpr int kKinds = sizeof kNames / sizeof kNames[0];
    struct Kind {
        uint32_t fourcc = 0;
        uint32_t stride = 0;
        std::vector<uint8_t> pixels;
        std::vector<uint16_t> scratch;
        GLuint texture = 0, source = 0;
    } kinds[kKinds];
    for (int k = 0; k < kKinds; ++k) {
        const char *n = kNames[k];
        Kind &kind = kinds[k];
        kind.fourcc = frame_fourcc(n[0], n[1], n[2], n[3]);
        const uint32_t bpp = n[3] == '6' ? 2 : (n[2] == '4' ? 8 : 4);
        kind.stride = w * bpp;
        kind.pixels.resize(size_t(kind.stride) * h);
        for (size_t i = 0; i < kind.pixels.size(); i += 2) {
            // Half floats in [0, 1) for the float formats, any bits for the others.
            const uint16_t word = n[3] == 'H' ? uint16_t(0x3000 + (i / 2) % 0xc00) : uint16_t(i * 7);
            std::memcpy(&kind.pixels[i], &word, 2);
        }
        glGenTextures(1, &kind.texture);
        glBindTexture(GL_TEXTURE_2D, kind.texture);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        if (egl_upload_pixels(kind.fourcc, kind.pixels.data(), w, h, kind.stride, true, &kind.scratch) != 0 ||
            (kind.source = gl.wrap(kind.texture)) == 0) {
            state.SkipWithError("upload failed");
            return;
        }
        glBindTexture(GL_TEXTURE_EXTERNAL_OES, kind.source);
        egl_upload_swizzle(GL_TEXTURE_EXTERNAL_OES, kind.fourcc);
        glBindTexture(GL_TEXTURE_EXTERNAL_OES, 0);
    }
    GlCpuRenderer r;
    if (gl_cpu_init(&r, gl.display(), w, h) != 0) {
        state.SkipWithError("renderer init failed");
        return;
    }
    gl_cpu_set_same_frame(&r, true);
    const uint8_t *y, *u, *v;
    int32_t ys, us, vs;
    uint64_t wm = 1733467200123ull;
    unsigned sum = 0;
    measure_alternating(state, kNames, kKinds, [&](int k) {
        glBindTexture(GL_TEXTURE_2D, kinds[k].texture);
        egl_upload_pixels(kinds[k].fourcc, kinds[k].pixels.data(), w, h, kinds[k].stride, false, &kinds[k].scratch);
        glBindTexture(GL_TEXTURE_2D, 0);
        if (gl_cpu_render_and_map(&r, kinds[k].source, ++wm, &y, &ys, &u, &us, &v, &vs) == 0) {
            sum += y[0] + u[0] + v[0];
            gl_cpu_unmap(&r);
        }
    });
    benchmark::DoNotOptimize(sum);
    gl_cpu_cleanup(&r);
}
BENCHMARK(BM_DeepUpload)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(15)->Repetitions(3);

// The conversion pass at 1920x1080 with the same-frame read-back for the
// three kinds of stream, alternating in one loop: the SDR picture as before,
// a PQ picture tone-mapped to the 8-bit SDR planes, and the 10-bit planes
// (16-bit targets, twice the bytes read back). Counters as BM_GlCpuLayers,
// ratios to the SDR picture's.
static void BM_HdrConversion(benchmark::State &state)
{
    const int w = 1920, h = 1080;
    GlTestContext gl;
    GlCpuRenderer renderers[3];
    const GLuint src = start_renderer(state, gl, w, h, &renderers[0]);
    if (src == 0)
        return;
    HdrSignal pq;
    pq.transfer = HDR_TRANSFER_PQ;
    pq.bt2020 = true;
    pq.max_cll = 1000;
    for (int k = 1; k < 3; ++k)
        if (gl_cpu_init(&renderers[k], gl.display(), w, h) != 0 || gl_cpu_set_signal(&renderers[k], pq, k == 2) != 0) {
            state.SkipWithError("renderer init failed");
            for (GlCpuRenderer &r : renderers)
                gl_cpu_cleanup(&r);
            return;
        }
    for (GlCpuRenderer &r : renderers)
        gl_cpu_set_same_frame(&r, true);
    const uint8_t *y, *u, *v;
    int32_t ys, us, vs;
    uint64_t wm = 1733467200123ull;
    unsigned sum = 0;
    static const char *const kNames[] = {"sdr", "tone", "ten_bit"};
    measure_alternating(state, kNames, 3, [&](int k) {
        if (gl_cpu_render_and_map(&renderers[k], src, ++wm, &y, &ys, &u, &us, &v, &vs) == 0) {
            sum += y[0] + u[0] + v[0];
            gl_cpu_unmap(&renderers[k]);
        }
    });
    benchmark::DoNotOptimize(sum);
    for (GlCpuRenderer &r : renderers)
        gl_cpu_cleanup(&r);
}
BENCHMARK(BM_HdrConversion)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(15)->Repetitions(3);

BENCHMARK_MAIN();
