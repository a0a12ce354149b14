#include "apps/capture/supervisor/auto_mode.h"

#include <GLES2/gl2.h>
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "apps/capture/encoders/vaapi_encoders.h"
#include "apps/capture/core/capture_config.h"

namespace {

constexpr const char *kRenderNode = "/dev/dri/renderD128";

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

int32_t capture_auto_mode_select(CodecType codec)
{
    AutoModeProbe probe{};
    probe.codec = codec;
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
