// The choice of `-m auto`: the fastest capture mode that works on this
// machine, from what opens on it, and whether its read-back can hand out each
// frame in the pass that drew it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "apps/capture/encoders/codec_types.h"

// What the worker found before its first run.
struct AutoModeProbe {
    bool vaapi_opens;      // a VA-API device opens on the render node
    bool vaapi_encodes;    // ... and an encoder of the codec opens on it
    bool gl_hardware;      // the GL renderer is not a software rasteriser
    const char *renderer;  // GL_RENDERER, or null when there is none
    CodecType codec;       // the codec the first run encodes
    // Why the GPU does not import the scanout (a memory frame, no EGL, no
    // dma-buf import, a refused import), or null when it does.
    const char *import_refused;
};

// Compatible on the processor where the GPU does not import the scanout;
// otherwise fast where VA-API opens and encodes the codec, balanced where
// the GL renderer is a hardware one, compatible otherwise. Writes the reason (one
// line's worth, no line end) into reason when it is not null.
int32_t capture_auto_mode_choose(const AutoModeProbe *probe, char *reason, size_t reason_size);

// True for the names Mesa and others give their software rasterisers
// (llvmpipe, softpipe, swrast, SwiftShader, "Software Rasterizer"), and for
// a null or empty name.
bool capture_gl_renderer_is_software(const char *renderer);

// Probes this machine (the VA-API render node, and the GL context current on
// the calling thread, if any), chooses, prints "[Capture] Auto mode: <mode>
// (<reason>)" and returns the mode. import_refused as in AutoModeProbe: when
// it is set nothing is probed, so no EGL is needed.
int32_t capture_auto_mode_select(CodecType codec, const char *import_refused = nullptr);

// What the worker found about the read-back, for a mode that reads back.
struct AutoReadbackProbe {
    bool gl_hardware;       // as in AutoModeProbe
    const char *renderer;   // GL_RENDERER, or null
    int32_t width, height;  // the frame's size
    double readback_ms;     // a frame-sized read-back from the draw to the mapped pointer; < 0: not measured
    double interval_ms;     // the display's frame interval
};

// The same-frame read-back where it is cheap: always on a software renderer
// (the processor copies the picture when it is read either way), and on a
// hardware one when the measured read-back takes at most a quarter of the
// frame interval. Writes the reason (no line end) into reason when it is not
// null.
bool capture_auto_readback_choose(const AutoReadbackProbe *probe, char *reason, size_t reason_size);

// Probes the GL context current on the calling thread (on a hardware
// renderer it measures a width x height read-back), chooses, prints
// "[Capture] Same-frame read-back: on|off (<reason>)" and returns the choice.
// refresh_rate 0 counts as 60 Hz.
bool capture_auto_readback_select(int32_t width, int32_t height, uint32_t refresh_rate);
