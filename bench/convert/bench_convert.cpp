// Pixels per second of the RGBA to I420 converters, and the memory-bandwidth
// reference they are bounded by: a conversion reads 4 bytes and writes 1.5
// bytes per pixel, so BM_MemcpySameTraffic copies 2.75 bytes per pixel (read
// once, written once) and reports the same byte count per frame. At these
// sizes both fit in a large last-level cache, so BM_MemcpyMainMemory gives
// the main-memory rate as well.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <vector>

#include "apps/capture/convert/yuv_convert.h"

namespace {

constexpr double kBytesPerPixel = 4.0 + 1.5;

struct Picture {
    uint32_t w, h;
    std::vector<uint8_t> rgba, y, u, v;
    explicit Picture(const benchmark::State &state)
        : w(static_cast<uint32_t>(state.range(0))), h(static_cast<uint32_t>(state.range(1))), rgba(size_t(w) * h * 4),
          y(size_t(w) * h), u(size_t(w / 2) * (h / 2)), v(u.size())
    {
        for (uint32_t r = 0; r < h; ++r)
            for (uint32_t c = 0; c < w; ++c) {
                uint8_t *p = &rgba[(size_t(r) * w + c) * 4];
                p[0] = uint8_t(c * 255 / w);
                p[1] = uint8_t(r * 255 / h);
                p[2] = uint8_t((c + r) * 7);
                p[3] = 255;
            }
    }
};

void account(benchmark::State &state, const Picture &p)
{
    const int64_t pixels = int64_t(p.w) * p.h;
    state.SetItemsProcessed(state.iterations() * pixels);
    state.SetBytesProcessed(int64_t(double(state.iterations()) * double(pixels) * kBytesPerPixel));
}

void BM_ConvertScalar(benchmark::State &state)
{
    Picture p(state);
    for (auto _ : state) {
        Yuv420pFrame f{};
        if (rgba_to_yuv420p(p.w, p.h, p.rgba.data(), p.w * 4, &f) != 0) {
            state.SkipWithError("rgba_to_yuv420p failed");
            return;
        }
        benchmark::DoNotOptimize(f.y[0] + f.u[0] + f.v[0]);
        yuv420p_frame_release(&f);
    }
    account(state, p);
}

using PlaneConverter = int (*)(uint32_t, uint32_t, const uint8_t *, uint32_t, uint8_t *, uint8_t *, uint8_t *);

// The converters that write into caller planes: the two AVX2 ones and the
// libswscale path.
void BM_ConvertIntoPlanes(benchmark::State &state, PlaneConverter convert, bool needs_avx2)
{
    if (needs_avx2 && !yuv_convert_have_avx2()) {
        state.SkipWithError("this processor has no AVX2");
        return;
    }
    Picture p(state);
    for (auto _ : state) {
        if (convert(p.w, p.h, p.rgba.data(), p.w * 4, p.y.data(), p.u.data(), p.v.data()) != 0) {
            state.SkipWithError("conversion failed");
            return;
        }
        benchmark::ClobberMemory();
    }
    account(state, p);
}

// This thread's processor time in seconds: unlike the wall clock, it leaves
// out the time other processes on a loaded machine hold the processor.
double thread_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Main-memory copy rate in bytes a second (read plus written), the median
// of five copies of 256 MiB, measured once per run, by the wall clock and by
// the thread's processor time.
struct MemoryRate {
    double wall, cpu;
};

MemoryRate main_memory_rate()
{
    static const MemoryRate rate = [] {
        const size_t n = size_t(256) << 20;
        std::vector<uint8_t> src(n, 0x5A), dst(n, 0);
        std::vector<double> wall, cpu;
        for (int i = 0; i < 5; ++i) {
            const auto t0 = std::chrono::steady_clock::now();
            const double c0 = thread_seconds();
            std::memcpy(dst.data(), src.data(), n);
            benchmark::DoNotOptimize(dst.data());
            const double c = thread_seconds() - c0;
            const std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
            wall.push_back(2.0 * double(n) / d.count());
            cpu.push_back(2.0 * double(n) / c);
        }
        std::sort(wall.begin(), wall.end());
        std::sort(cpu.begin(), cpu.end());
        return MemoryRate{wall[wall.size() / 2], cpu[cpu.size() / 2]};
    }();
    return rate;
}

// The BT.709 converter the compatible mode runs, with its time per frame as
// a multiple of the time main memory needs for the same traffic
// (x_memory_bound: 1.0 would be as fast as the memory allows).
// x_memory_bound_cpu is the same ratio from the thread's processor time on
// both sides, which holds still while other processes load the machine.
void BM_ConvertBt709Avx2(benchmark::State &state)
{
    if (!yuv_convert_have_avx2()) {
        state.SkipWithError("this processor has no AVX2");
        return;
    }
    Picture p(state);
    const MemoryRate rate = main_memory_rate();
    const double traffic = double(p.w) * p.h * kBytesPerPixel;
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = thread_seconds();
    for (auto _ : state) {
        if (packed_to_yuv420p_bt709_avx2(PACKED_RGBA, p.w, p.h, p.rgba.data(), p.w * 4, p.y.data(), p.u.data(),
                                         p.v.data()) != 0) {
            state.SkipWithError("conversion failed");
            return;
        }
        benchmark::ClobberMemory();
    }
    const double cpu_spent = thread_seconds() - cpu_start;
    const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
    account(state, p);
    const double frames = double(state.iterations());
    state.counters["x_memory_bound"] = spent.count() / frames / (traffic / rate.wall);
    state.counters["x_memory_bound_cpu"] = cpu_spent / frames / (traffic / rate.cpu);
}

void BM_MemcpySameTraffic(benchmark::State &state)
{
    const int64_t pixels = state.range(0) * state.range(1);
    const size_t n = size_t(double(pixels) * kBytesPerPixel / 2);
    std::vector<uint8_t> src(n, 0x5A), dst(n);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), n);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * pixels);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(2 * n));
}

// The same copy over buffers far larger than any cache: the rate a frame that
// arrives fresh from memory (as a read-back does) can be moved at.
void BM_MemcpyMainMemory(benchmark::State &state)
{
    const size_t n = size_t(256) << 20;
    std::vector<uint8_t> src(n, 0x5A), dst(n, 0);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(2 * n));
}

void sizes(benchmark::internal::Benchmark *b)
{
    b->Args({1920, 1080})->Args({2560, 1440})->Unit(benchmark::kMillisecond)->UseRealTime();
}

}  // namespace

BENCHMARK(BM_ConvertScalar)->Apply(sizes);
BENCHMARK_CAPTURE(BM_ConvertIntoPlanes, Avx2, rgba_to_yuv420p_avx2, true)->Apply(sizes);
BENCHMARK_CAPTURE(BM_ConvertIntoPlanes, TruncatingAvx2, abgr2101010_to_yuv420p_avx2, true)->Apply(sizes);
BENCHMARK_CAPTURE(BM_ConvertIntoPlanes, Libswscale, rgba_to_yuv420p_libav, false)->Apply(sizes);
BENCHMARK(BM_ConvertBt709Avx2)->Apply(sizes);
BENCHMARK(BM_MemcpySameTraffic)->Apply(sizes);
BENCHMARK(BM_MemcpyMainMemory)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
