// The choice of `-m auto`: the fastest capture mode that works on this
// machine, from what opens on it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "apps/capture/encoders/codec_types.h"

// What the worker found before its first run.
struct AutoModeProbe {
    bool vaapi_opens;        // a VA-API device opens on the render node
    bool vaapi_encodes;      // ... and an encoder of the codec opens on it
    bool gl_hardware;        // the GL renderer is not a software rasteriser
    const char *renderer;    // GL_RENDERER, or null when there is none
    CodecType codec;         // the codec the first run encodes
};

// Fast where VA-API opens and encodes the codec, balanced where the GL
// renderer is a hardware one, compatible otherwise. Writes the reason (one
// line's worth, no line end) into reason when it is not null.
int32_t capture_auto_mode_choose(const AutoModeProbe *probe, char *reason, size_t reason_size);

// True for the names Mesa and others give their software rasterisers
// (llvmpipe, softpipe, swrast, SwiftShader, "Software Rasterizer"), and for
// a null or empty name.
bool capture_gl_renderer_is_software(const char *renderer);

// Probes this machine (the VA-API render node, and the GL context current on
// the calling thread), chooses, prints "[Capture] Auto mode: <mode> (<reason>)"
// and returns the mode.
int32_t capture_auto_mode_select(CodecType codec);
