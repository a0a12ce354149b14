#include "apps/capture/supervisor/auto_mode.h"

#include <GLES2/gl2.h>
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "apps/capture/core/capture_config.h"
#include "apps/capture/encoders/vaapi_encoders.h"
#include "apps/capture/gpu/gl_cpu_renderer.h"

namespace {

constexpr const char *kRenderNode = "/dev/dri/renderD128";
// A read-back is cheap when it is mapped within this share of the interval.
constexpr double kCheapReadbackShare = 0.25;
constexpr int32_t kReadbackSamples = 5;

}  // namespace

bool capture_gl_renderer_is_software(const char *renderer)
{
    if (!renderer || !*renderer)
        return true;
    for (const char *soft : {"llvmpipe", "softpipe", "swrast", "swiftshader", "software rasterizer"}) {
        const size_t n = std::strlen(soft);
        for (const char *p = renderer; *p; ++p)
            if (strncasecmp(p, soft, n) == 0)
                return true;
    }
    return false;
}

int32_t capture_auto_mode_choose(const AutoModeProbe *probe, char *reason, size_t reason_size)
{
    const char *codec = codec_type_to_string(probe->codec);
    const char *renderer = probe->renderer && *probe->renderer ? probe->renderer : "none";
    char local[8];
    if (!reason) {
        reason = local;
        reason_size = sizeof local;
    }
    if (probe->import_refused) {
        snprintf(reason, reason_size, "%s; the scanout cannot be imported by the GPU: compatible on the processor",
                 probe->import_refused);
        return CAPTURE_MODE_COMPATIBLE;
    }
    if (probe->vaapi_opens && probe->vaapi_encodes) {
        snprintf(reason, reason_size, "VA-API on %s encodes %s", kRenderNode, codec);
        return CAPTURE_MODE_FAST;
    }
    char vaapi[96];
    if (!probe->vaapi_opens)
        snprintf(vaapi, sizeof vaapi, "no VA-API device opens on %s", kRenderNode);
    else
        snprintf(vaapi, sizeof vaapi, "VA-API on %s has no %s encoder", kRenderNode, codec);
    if (probe->gl_hardware) {
        snprintf(reason, reason_size, "%s; GL renderer %s is a hardware one", vaapi, renderer);
        return CAPTURE_MODE_BALANCED;
    }
    snprintf(reason, reason_size, "%s; GL renderer %s is a software one", vaapi, renderer);
    return CAPTURE_MODE_COMPATIBLE;
}

int32_t capture_auto_mode_select(CodecType codec, const char *import_refused)
{
    AutoModeProbe probe{};
    probe.codec = codec;
    probe.import_refused = import_refused;
    if (import_refused) {
        char reason[256];
        const int32_t mode = capture_auto_mode_choose(&probe, reason, sizeof reason);
        printf("[Capture] Auto mode: %s (%s)\n", capture_mode_name(mode), reason);
        fflush(stdout);
        return mode;
    }
    const int vaapi = vaapi_probe_encoder(codec, kRenderNode);
    probe.vaapi_opens = vaapi != VAAPI_PROBE_NO_DEVICE;
    probe.vaapi_encodes = vaapi == VAAPI_PROBE_ENCODES;
    probe.renderer = reinterpret_cast<const char *>(glGetString(GL_RENDERER));
    probe.gl_hardware = !capture_gl_renderer_is_software(probe.renderer);
    char reason[256];
    const int32_t mode = capture_auto_mode_choose(&probe, reason, sizeof reason);
    printf("[Capture] Auto mode: %s (%s)\n", capture_mode_name(mode), reason);
    fflush(stdout);
    return mode;
}

bool capture_auto_readback_choose(const AutoReadbackProbe *probe, char *reason, size_t reason_size)
{
    char local[8];
    if (!reason) {
        reason = local;
        reason_size = sizeof local;
    }
    const char *renderer = probe->renderer && *probe->renderer ? probe->renderer : "none";
    if (!probe->gl_hardware) {
        snprintf(reason, reason_size, "GL renderer %s is a software one", renderer);
        return true;
    }
    if (probe->readback_ms < 0) {
        snprintf(reason, reason_size, "a %dx%d read-back could not be measured on GL renderer %s", probe->width,
                 probe->height, renderer);
        return false;
    }
    const bool cheap = probe->readback_ms <= kCheapReadbackShare * probe->interval_ms;
    snprintf(reason, reason_size,
             "a %dx%d read-back on GL renderer %s is mapped %.2f ms after the draw, %s a quarter of the %.1f ms "
             "frame interval",
             probe->width, probe->height, renderer, probe->readback_ms, cheap ? "within" : "more than",
             probe->interval_ms);
    return cheap;
}

bool capture_auto_readback_select(int32_t width, int32_t height, uint32_t refresh_rate)
{
    AutoReadbackProbe probe{};
    probe.renderer = reinterpret_cast<const char *>(glGetString(GL_RENDERER));
    probe.gl_hardware = !capture_gl_renderer_is_software(probe.renderer);
    probe.width = width;
    probe.height = height;
    probe.interval_ms = 1000.0 / (refresh_rate > 0 ? double(refresh_rate) : 60.0);
    probe.readback_ms = probe.gl_hardware ? gl_cpu_readback_probe_ms(width, height, kReadbackSamples) : -1.0;
    char reason[320];
    const bool on = capture_auto_readback_choose(&probe, reason, sizeof reason);
    printf("[Capture] Same-frame read-back: %s (%s)\n", on ? "on" : "off", reason);
    fflush(stdout);
    return on;
}
