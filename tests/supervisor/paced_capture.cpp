// The capture program with one stand-in pipeline for every mode: it does
// what a pipeline does around its frame work (the event write, the vertical
// blank listener, one wait per blank, the stop on the worker's flag) and
// nothing else, so a test can stop a worker that is inside a run, whatever
// the real pipelines need (a relay, a VA-API device).
#include <cstdio>

#include "apps/capture/source/capture_session.h"
#include "apps/capture/supervisor/pipeline_driver.h"
#include "apps/capture/supervisor/supervisor.h"
#include "apps/capture/supervisor/worker.h"

namespace {

// Waits for blanks until the stream ends or the worker is asked to stop.
// 0 when stopped (the driver then ends), -1 when the events failed.
int paced_run(CaptureSession *session)
{
    const uint64_t start_events = 2;
    if (uds_client_event_write(session->connection, &start_events) != 0)
        return -1;
    VBlankRing ring;
    if (vblank_ring_init(&ring, session->connection, &g_terminate_flag, session->scanout) != 0 ||
        vblank_ring_start(&ring) != 0)
        return -1;
    uint64_t blanks = 0;
    while (vblank_ring_take(&ring, nullptr, nullptr) == 0) {
        if (++blanks == 10)
            puts("[Pipeline] paced run: 10 blanks");
    }
    vblank_ring_stop(&ring);
    return g_terminate_flag ? 0 : -1;
}

int paced_compatible(EglContext *, CaptureSession *session, PipelineControl *)
{
    return paced_run(session);
}

int paced_coded(EglContext *, CaptureSession *session, CodecType, PipelineControl *)
{
    return paced_run(session);
}

}  // namespace

int main(int argc, char **argv)
{
    static const CapturePipelines pipelines = {paced_compatible, paced_coded, paced_coded};
    return capture_main(argc, argv, &pipelines);
}
