// Frames per second of each software encoder row with its own settings, fed
// a moving synthetic picture (a cycle of distinct frames, so the encoder
// never sees a still picture).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "apps/capture/encoders/cpu_encoder.h"
#include "tests/encoders/pictures.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

constexpr int kFps = 60;
constexpr int kCycle = 48;

void BM_CpuEncoderRow(benchmark::State &state)
{
    const CpuEncoderInfo &row = cpu_encoders[state.range(0)];
    const int w = static_cast<int>(state.range(1)), h = static_cast<int>(state.range(2));
    state.SetLabel(row.name);
    if (!avcodec_find_encoder_by_name(row.name)) {
        state.SkipWithError("encoder not in this FFmpeg build");
        return;
    }
    std::vector<std::vector<uint8_t>> pictures;
    for (int i = 0; i < kCycle; ++i)
        pictures.push_back(make_picture(w, h, i));
    CpuEncoder *e = nullptr;
    if (cpu_encoder_create(&e, row.type, w, h, kFps) != 0) {
        state.SkipWithError("cpu_encoder_create failed");
        return;
    }
    int64_t n = 0, bytes = 0;
    for (auto _ : state) {
        const uint8_t *y = pictures[n % kCycle].data();
        const uint8_t *u = y + size_t(w) * h, *v = u + size_t(w / 2) * (h / 2);
        AVPacket *pkt = nullptr;
        if (cpu_encoder_encode_planes(e, y, w, u, w / 2, v, w / 2, &pkt) < 0) {
            state.SkipWithError("encode failed");
            break;
        }
        if (pkt)
            bytes += pkt->size;
        ++n;
    }
    state.counters["fps"] = benchmark::Counter(double(n), benchmark::Counter::kIsRate);
    state.counters["kbit/frame"] = n ? double(bytes) * 8 / 1000 / double(n) : 0;
    cpu_encoder_destroy(e);
}

void rows(benchmark::internal::Benchmark *b)
{
    for (int row = 0; row < 5; ++row)
        for (auto [w, h] : {std::pair{1280, 720}, std::pair{1920, 1080}})
            b->Args({row, w, h});
    b->ArgNames({"row", "w", "h"})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
}

}  // namespace

BENCHMARK(BM_CpuEncoderRow)->Apply(rows);

BENCHMARK_MAIN();
