// Per-frame cost of composing the CRTC's planes on the processor at
// 1920x1080: the primary plane alone (the plain copy), and the primary with
// one overlay of each kind. Every scene also composes the primary alone
// between its own frames and reports x_primary: its time over the
// primary's, both medians of the same run; x_primary_cpu is the same ratio
// of the thread's processor time (cpu_us), which holds while other
// processes load the machine. libswscale's bilinear scale of the same
// upscale is beside it, for the choice of the scaled path.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

#include "apps/capture/convert/deep_convert.h"
#include "apps/capture/convert/plane_compose.h"
#include "apps/capture/convert/plane_compose_internal.h"

namespace {

constexpr uint32_t kWidth = 1920, kHeight = 1080;

struct Layer {
    std::vector<uint8_t> bytes[2];
    ComposeLayer layer{};
};

// The whole buffer shown unscaled at the CRTC's top-left, opaque.
void describe(Layer *l, uint32_t fourcc, uint32_t w, uint32_t h)
{
    PlaneRecord &pl = l->layer.plane;
    pl.buffer_id = 1;
    pl.format = fourcc;
    pl.width = w;
    pl.height = h;
    pl.src_w = w << 16;
    pl.src_h = h << 16;
    pl.crtc_w = w;
    pl.crtc_h = h;
    pl.rotation = UDS_ROTATE_0;
    pl.alpha = 0xffff;
    for (int i = 0; i < 2; ++i)
        l->layer.data[i] = l->bytes[i].empty() ? nullptr : l->bytes[i].data();
}

Layer packed(uint32_t fourcc, uint32_t w, uint32_t h, bool translucent)
{
    Layer l;
    l.bytes[0].resize(size_t(w) * h * 4);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            uint8_t *p = &l.bytes[0][(size_t(y) * w + x) * 4];
            const uint8_t a = translucent ? uint8_t(x + y) : 0xff;
            p[0] = uint8_t(uint32_t(x * 3) * a / 255);
            p[1] = uint8_t(uint32_t(y * 5) * a / 255);
            p[2] = uint8_t(uint32_t(x ^ y) * a / 255);
            p[3] = a;
        }
    describe(&l, fourcc, w, h);
    l.layer.stride[0] = w * 4;
    return l;
}

Layer nv12(uint32_t w, uint32_t h)
{
    Layer l;
    l.bytes[0].resize(size_t(w) * h);
    l.bytes[1].resize(size_t(w) * h / 2);
    for (size_t i = 0; i < l.bytes[0].size(); ++i)
        l.bytes[0][i] = uint8_t(16 + i % 219);
    for (size_t i = 0; i < l.bytes[1].size(); ++i)
        l.bytes[1][i] = uint8_t(64 + i * 7 % 128);
    describe(&l, PLANE_COMPOSE_NV12, w, h);
    l.layer.plane.color_encoding = UDS_ENCODING_BT709;
    l.layer.stride[0] = w;
    l.layer.stride[1] = w;
    return l;
}

// A deep-colour layer of pseudo-random pixels (half floats kept in [0, 1)).
Layer deep(uint32_t fourcc, uint32_t w, uint32_t h)
{
    Layer l;
    l.bytes[0].resize(size_t(w) * h * deep_packed_bytes(fourcc));
    uint32_t seed = 7;
    for (uint8_t &b : l.bytes[0]) {
        seed = seed * 1664525u + 1013904223u;
        b = uint8_t(seed >> 24);
    }
    if (fourcc == DEEP_XR4H)
        for (size_t i = 1; i < l.bytes[0].size(); i += 2)
            l.bytes[0][i] &= 0x3b;
    describe(&l, fourcc, w, h);
    l.layer.stride[0] = w * deep_packed_bytes(fourcc);
    return l;
}

void place(Layer &l, int32_t x, int32_t y, uint32_t w, uint32_t h)
{
    l.layer.plane.crtc_x = x;
    l.layer.plane.crtc_y = y;
    l.layer.plane.crtc_w = w;
    l.layer.plane.crtc_h = h;
}

enum Scene {
    PRIMARY,
    OPAQUE,
    TRANSLUCENT,
    SCALED,
    NV12,
    NV12_SCALED,
    TURNED,
    TURNED_SCALED,
    XR30_SCALED,  // deep colour: reduced to 8 bits, then as SCALED
    XR4H_SCALED
};

// The thread's processor time: what the composer itself spent, whatever
// else the machine runs.
double thread_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void BM_Compose(benchmark::State &state)
{
    // VISTREL_COMPOSE_NO_AVX2=1 measures the portable passes alone.
    plane_compose_detail::set_avx2_allowed(!std::getenv("VISTREL_COMPOSE_NO_AVX2"));
    const Scene scene = Scene(state.range(0));
    Layer primary = packed(PLANE_COMPOSE_XR24, kWidth, kHeight, false);
    Layer overlay;
    switch (scene) {
    case OPAQUE:
        overlay = packed(PLANE_COMPOSE_XR24, 960, 540, false);
        place(overlay, 480, 270, 960, 540);
        break;
    case TRANSLUCENT:
        overlay = packed(PLANE_COMPOSE_AR24, 960, 540, true);
        place(overlay, 480, 270, 960, 540);
        overlay.layer.plane.alpha = 0xc000;
        break;
    case SCALED:
        overlay = packed(PLANE_COMPOSE_XR24, 1280, 720, false);
        place(overlay, 0, 0, kWidth, kHeight);
        break;
    case NV12:
        overlay = nv12(1280, 720);
        place(overlay, 320, 180, 1280, 720);
        break;
    case TURNED_SCALED:
    case NV12_SCALED:
        overlay = nv12(1280, 720);
        place(overlay, 0, 0, kWidth, kHeight);
        break;
    case XR30_SCALED:
    case XR4H_SCALED:
        overlay = deep(scene == XR30_SCALED ? DEEP_XR30 : DEEP_XR4H, 1280, 720);
        place(overlay, 0, 0, kWidth, kHeight);
        break;
    default: break;
    }
    const uint32_t turns = scene == TURNED || scene == TURNED_SCALED ? 1 : 0;
    std::vector<ComposeLayer> layers{primary.layer};
    if (!overlay.bytes[0].empty())
        layers.push_back(overlay.layer);
    std::vector<uint8_t> out(size_t(kWidth) * kHeight * 4);
    uint32_t out_w, out_h;
    plane_stream_size(kWidth, kHeight, turns, &out_w, &out_h);
    std::vector<double> own, base, own_cpu, base_cpu;
    for (auto _ : state) {
        const double c0 = thread_seconds();
        auto t0 = std::chrono::steady_clock::now();
        if (plane_compose_xrgb(layers.data(), uint32_t(layers.size()), kWidth, kHeight, turns, out.data(), out_w * 4) !=
            0) {
            state.SkipWithError("compose failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
        auto t1 = std::chrono::steady_clock::now();
        const double c1 = thread_seconds();
        plane_compose_xrgb(&primary.layer, 1, kWidth, kHeight, 0, out.data(), kWidth * 4);
        benchmark::DoNotOptimize(out.data());
        auto t2 = std::chrono::steady_clock::now();
        const double c2 = thread_seconds();
        const double spent = std::chrono::duration<double>(t1 - t0).count();
        state.SetIterationTime(spent);
        own.push_back(spent);
        base.push_back(std::chrono::duration<double>(t2 - t1).count());
        own_cpu.push_back(c1 - c0);
        base_cpu.push_back(c2 - c1);
    }
    state.counters["x_primary"] = median(own) / median(base);
    state.counters["x_primary_cpu"] = median(own_cpu) / median(base_cpu);
    state.counters["cpu_us"] = median(own_cpu) * 1e6;
}
BENCHMARK(BM_Compose)
    ->ArgName("scene")
    ->DenseRange(PRIMARY, XR4H_SCALED)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// A copy of the same frame: the memory's own speed, for the primary alone.
void BM_FrameCopy(benchmark::State &state)
{
    std::vector<uint8_t> in(size_t(kWidth) * kHeight * 4, 7), out(in.size());
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), in.size());
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_FrameCopy)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

// libswscale's bilinear upscale of the same 1280x720 layer to 1920x1080
// (the picture only: the blend would come on top).
void BM_SwscaleBilinearUpscale(benchmark::State &state)
{
    Layer overlay = packed(PLANE_COMPOSE_XR24, 1280, 720, false);
    SwsContext *ctx = sws_getContext(1280, 720, AV_PIX_FMT_BGR0, kWidth, kHeight, AV_PIX_FMT_BGR0,
                                     SWS_BILINEAR | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    if (!ctx) {
        state.SkipWithError("no scaler");
        return;
    }
    std::vector<uint8_t> out(size_t(kWidth) * kHeight * 4);
    const uint8_t *src[1] = {overlay.bytes[0].data()};
    const int src_stride[1] = {1280 * 4};
    uint8_t *dst[1] = {out.data()};
    const int dst_stride[1] = {int(kWidth * 4)};
    for (auto _ : state) {
        sws_scale(ctx, src, src_stride, 0, 720, dst, dst_stride);
        benchmark::DoNotOptimize(out.data());
    }
    sws_freeContext(ctx);
}
BENCHMARK(BM_SwscaleBilinearUpscale)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
