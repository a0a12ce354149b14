// The compatible mode's cost of one frame before the encoder, on the two
// paths a frame can take: read on the processor straight from the mapped
// framebuffer (what a machine whose GPU cannot import the scanout runs, and
// the virtual display's memory frames), against the GL path (the mapped
// frame uploaded, the framebuffer read back through a pixel-pack buffer,
// then converted), at 1920x1080 and 3840x2160. Process CPU time per frame
// is the figure to compare: the GL path's work is spread over the
// renderer's threads on a software rasteriser.
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "apps/capture/convert/yuv_convert.h"
#include "apps/capture/source/capture_session.h"
#include "apps/capture/source/egl_context.h"
#include "apps/capture/source/frame_map.h"
#include "libs/common/unique_fd.h"

namespace {

// A w x h XRGB8888 memory frame with a picture in it; fd -1 on failure.
struct MemoryFrame {
    UniqueFD fd;
    FrameMetadata meta{};
    MemoryFrame(uint32_t w, uint32_t h)
    {
        fd.reset(memfd_create("bench-frame", MFD_CLOEXEC | MFD_ALLOW_SEALING));
        std::vector<uint8_t> px(size_t(w) * h * 4);
        for (size_t i = 0; i < px.size(); ++i)
            px[i] = uint8_t(i * 7 + i / 4096);
        if (!fd || write(fd.get(), px.data(), px.size()) != ssize_t(px.size()))
            fd.reset();
        meta.fd = fd.get();
        meta.width = w;
        meta.height = h;
        meta.format = FRAME_FOURCC_XRGB8888;
        meta.stride = w * 4;
        meta.plane_count = 1;
    }
};

struct Planes {
    std::vector<uint8_t> bytes;
    uint8_t *y, *u, *v;
    Planes(uint32_t w, uint32_t h) : bytes(size_t(w) * h * 3 / 2 + 2 * size_t(w) + 64)
    {
        y = bytes.data();
        u = y + size_t(w) * h;
        v = u + size_t(w) * h / 4;
    }
};

void BM_ProcessorFrame(benchmark::State &state)
{
    const uint32_t w = uint32_t(state.range(0)), h = uint32_t(state.range(1));
    MemoryFrame frame(w, h);
    FrameMapping map;
    if (!frame.fd || frame_map_open(&frame.meta, &map) != 0) {
        state.SkipWithError("cannot map the frame");
        return;
    }
    Planes planes(w, h);
    for (auto _ : state) {
        if (frame_map_begin_read(&map) != 0 ||
            packed_to_yuv420p_bt709(PACKED_BGRA, w, h, map.pixels(), map.stride, planes.y, planes.u, planes.v) != 0) {
            state.SkipWithError("conversion failed");
            return;
        }
        frame_map_end_read(&map);
        benchmark::DoNotOptimize(planes.y[0] + planes.u[0] + planes.v[0]);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_GlReadbackFrame(benchmark::State &state)
{
    const uint32_t w = uint32_t(state.range(0)), h = uint32_t(state.range(1));
    MemoryFrame frame(w, h);
    EglContext egl{};
    if (!frame.fd || egl_context_ensure(&egl, &frame.meta) != 0) {
        state.SkipWithError("no EGL context");
        return;
    }
    FrameImport import;
    GLuint framebuffer = 0, pbo = 0;
    const size_t bytes = size_t(w) * h * 4;
    if (egl_frame_import(egl.display, &frame.meta, &import, FRAME_IMPORT_2D) != 0 ||
        setup_framebuffer_object(import.upload_texture, &framebuffer) != 0 || !(pbo = create_pbo(bytes))) {
        state.SkipWithError("GL set-up failed");
    } else {
        Planes planes(w, h);
        for (auto _ : state) {
            egl_frame_refresh(&import);
            start_pbo_read(pbo, int(w), int(h));
            const void *pixels = map_pbo(pbo, bytes);
            if (!pixels || rgba_to_yuv420p_bt709(w, h, static_cast<const uint8_t *>(pixels), w * 4, planes.y,
                                                 planes.u, planes.v) != 0) {
                state.SkipWithError("read-back failed");
                break;
            }
            unmap_pbo(pbo);
            benchmark::DoNotOptimize(planes.y[0] + planes.u[0] + planes.v[0]);
        }
        state.SetItemsProcessed(state.iterations());
    }
    if (pbo)
        destroy_pbo(pbo);
    if (framebuffer) {
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glDeleteFramebuffers(1, &framebuffer);
    }
    egl_frame_release(&import);
    egl_context_cleanup(&egl);
}

void sizes(benchmark::internal::Benchmark *b)
{
    b->Args({1920, 1080})
        ->Args({3840, 2160})
        ->Unit(benchmark::kMillisecond)
        ->MeasureProcessCPUTime()
        ->UseRealTime()
        ->MinTime(1.0)
        ->Repetitions(3)
        ->ReportAggregatesOnly(true);
}

}  // namespace

BENCHMARK(BM_ProcessorFrame)->Apply(sizes);
BENCHMARK(BM_GlReadbackFrame)->Apply(sizes);

BENCHMARK_MAIN();
