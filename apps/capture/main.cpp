// The capture program: the supervisor with the real pipelines wired in.
#include "apps/capture/pipelines/pipelines.h"
#include "apps/capture/supervisor/pipeline_driver.h"
#include "apps/capture/supervisor/supervisor.h"

int main(int argc, char **argv)
{
    static const CapturePipelines pipelines = {
        _capture_cpu_h264,
        _capture_gl_cpu_hybrid,
        _capture_vaapi_zerocopy,
    };
    return capture_main(argc, argv, &pipelines);
}
