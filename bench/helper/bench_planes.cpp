// The helper's work per vertical blank for a client that follows every
// plane, beside one that follows the scanout only, on the virtual display:
// a 2560x1440 primary plane, two overlays (one moving, one flipping
// between two buffers) and a moving cursor. "planes:0" is the FOLLOW_SCANOUT
// client's check of a blank (primary and cursor), "planes:1" the
// FOLLOW_PLANES client's (the same, then the CRTC and the four planes).
// "changed:0" is a blank where nothing changed (the queries alone),
// "changed:1" one where every record is made again (each plane's buffer
// named, none exported: the steady state of a moving, flipping display).
// Records are built but not sent.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "apps/capture-helper/drm_module.h"
#include "apps/capture-helper/plane_follow.h"
#include "apps/capture-helper/scanout_follow.h"

namespace {

constexpr uint32_t kCrtc = 50, kConnector = 100;

const char *kWorld = "device /dev/dri/card1\n"
                     "framebuffer 200 2560x1440 XR24\n"
                     "framebuffer 201 640x360 AR24 fill=0x80204080\n"
                     "framebuffer 202 640x360 AR24 fill=0xff808080\n"
                     "framebuffer 203 640x360 AR24 fill=0xff408040\n"
                     "crtc 50 2560x1440@60 fb=200\n"
                     "encoder 80 crtc=50\n"
                     "connector 100 DP-3 connected encoders=80\n"
                     "plane 60 crtc=50 fb=201 at=100,100 move=3,2 alpha=40000 blend=coverage\n"
                     "plane 61 crtc=50 fb=202 at=800,400 src=0,0,320x180 size=640x360\n"
                     "pageflip plane=61 fbs=202,203\n"
                     "cursor crtc=50 64x64 at=10,10 move=5,3\n";

struct World {
    DrmDevice device;
    ScanoutFollower scanout;
    CursorFollower cursor;
    PlaneFollower planes;
    World()
    {
        const std::string path = "/tmp/vistrel-bench-planes-" + std::to_string(getpid()) + ".txt";
        FILE *f = fopen(path.c_str(), "w");
        if (!f || fputs(kWorld, f) < 0 || fclose(f) != 0 || drm_module_init_with(path.c_str()) != 0)
            std::abort();
        unlink(path.c_str());
        device.reset(drm_device_open("/dev/dri/card1"));
        if (!device || scanout_follower_init(&scanout, device.get(), kCrtc) != 0)
            std::abort();
        cursor_follower_init(&cursor, device.get(), kCrtc);
        if (plane_follower_init(&planes, device.get(), kCrtc, kConnector, scanout, cursor) != 0 ||
            planes.planes.size() != 4 || !cursor.plane_id)
            std::abort();
    }
    ~World()
    {
        device.reset();
        drm_module_shutdown();
    }
};

void BM_Blank(benchmark::State &state)
{
    World w;
    const bool planes = state.range(0) != 0, changed = state.range(1) != 0;
    const int fd = w.device.get();
    uint64_t sequence = 1;
    // One blank's checks; the first exports every buffer once.
    auto blank = [&] {
        ScanoutUpdate s;
        CursorUpdate c;
        int records = scanout_follower_check(&w.scanout, fd, sequence, &s) > 0;
        records += cursor_follower_check(&w.cursor, fd, sequence, &c) > 0;
        if (planes) {
            CrtcRecord crtc;
            records += plane_follower_check_crtc(&w.planes, fd, sequence, &crtc) > 0;
            for (size_t i = 0; i < w.planes.planes.size(); i++) {
                PlaneStateUpdate p;
                records += plane_follower_check_plane(&w.planes, i, fd, sequence, w.scanout, w.cursor, &p) > 0;
            }
        }
        sequence++;
        return records;
    };
    blank();
    blank();
    for (auto _ : state) {
        if (changed) {
            // As after a flip of the primary, a move of the cursor and a
            // change of every plane.
            w.scanout.last_fb = ~0u;
            w.cursor.x = -1;
            w.planes.crtc_told = false;
            for (FollowedPlane &p : w.planes.planes)
                p.last.zpos = ~0u;
        }
        benchmark::DoNotOptimize(blank());
    }
}

}  // namespace

BENCHMARK(BM_Blank)->ArgsProduct({{0, 1}, {0, 1}})->ArgNames({"planes", "changed"})->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
