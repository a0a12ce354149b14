// The helper's added work per vertical blank for a client that follows the
// scanout, on the virtual display (2560x1440 XRGB8888): the check of a blank
// where nothing changed (one plane query), of a flip to a buffer the client
// has (plane query, export, identity, close), and of a buffer it has not
// been sent (the same plus its description). The CRTC query a GET_FRAME
// starts with is the baseline of the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

#include "apps/capture-helper/drm_module.h"
#include "apps/capture-helper/scanout_follow.h"

namespace {

constexpr uint32_t kCrtc = 50;

struct World {
    DrmDevice device;
    World()
    {
        if (drm_module_init_with("1") != 0)
            std::abort();
        device.reset(drm_device_open("/dev/dri/card1"));
        if (!device)
            std::abort();
    }
    ~World()
    {
        device.reset();
        drm_module_shutdown();
    }
};

void BM_CrtcQuery(benchmark::State &state)
{
    World world;
    for (auto _ : state) {
        DrmCrtc crtc(drm_get_crtc(world.device.get(), kCrtc));
        benchmark::DoNotOptimize(crtc.get());
    }
}

// How far the follower goes: 0 nothing changed, 1 a known buffer, 2 a new one.
void BM_BlankCheck(benchmark::State &state)
{
    World world;
    ScanoutFollower follower;
    if (scanout_follower_init(&follower, world.device.get(), kCrtc) != 0 || !follower.plane_id)
        std::abort();
    ScanoutUpdate update;
    if (scanout_follower_check(&follower, world.device.get(), 1, &update) != 1)
        std::abort();
    const int64_t path = state.range(0);
    uint64_t sequence = 2;
    for (auto _ : state) {
        if (path >= 1)
            follower.last_fb = ~0u;  // as after a flip
        if (path == 2)
            follower.buffers.clear();  // as for a buffer never sent
        int rc = scanout_follower_check(&follower, world.device.get(), sequence++, &update);
        if (rc != (path ? 1 : 0))
            state.SkipWithError("unexpected check result");
        update = ScanoutUpdate{};  // the helper's copies close after the send
    }
}

}  // namespace

BENCHMARK(BM_CrtcQuery)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BlankCheck)->Arg(0)->Arg(1)->Arg(2)->ArgNames({"changed"})->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
