#include "apps/capture/pipelines/pipelines.h"

#include <cstdio>

// The pipelines are not built yet: each says so and fails, so the driver
// stops and the worker ends honestly.

int _capture_cpu_h264(EglContext *, CaptureSession *, PipelineControl *)
{
    fputs("[Pipeline] compatible mode is not built yet\n", stderr);
    return -1;
}

int _capture_vaapi_zerocopy(EglContext *, CaptureSession *, CodecType, PipelineControl *)
{
    fputs("[Pipeline] fast mode is not built yet\n", stderr);
    return -1;
}
