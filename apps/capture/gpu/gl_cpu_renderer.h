// GPU conversion to planar I420 with asynchronous read-back: frame n is
// drawn and queued for copy while the planes of frame n-1 are handed out.
// With the same-frame read-back, frame n's own planes are handed out: the
// render waits on a fence for the copy it has just queued.
#pragma once

#include <EGL/egl.h>
#include <GLES3/gl3.h>

#include <cstdint>

#include "apps/capture/gpu/shaders.h"

struct GlCpuRenderer {
    EGLDisplay egl_display;
    int32_t width, height;
    GLuint program_y, program_u, program_v;             // the plain picture
    ShaderVariants variants_y, variants_u, variants_v;  // composing the planes
    GLuint tex_y;
    GLuint tex_u, tex_v;
    GLuint fbo;
    GLuint pbo_y[2];
    GLuint pbo_u[2], pbo_v[2];
    int32_t pbo_index;
    int32_t loc_texture_y, loc_texture_u, loc_texture_v;
    int32_t loc_coeffs, loc_coeffs_u, loc_coeffs_v;
    int32_t loc_digits, loc_res;
    GLuint vao, vbo;
    int32_t frame_count;
    const char *colour_space;
    const ColourCoefficients *coefficients;  // the matrix the programs convert with
    bool same_frame;  // hand out the frame just drawn instead of the previous one
    ShaderColour colour;    // of the programs (sdr after init)
    int32_t sample_bytes;   // 1, or 2 for the 10-bit planes
};

// Builds the programs, targets and two read-back sets for width x height.
// Returns 0, or -1 when a shader failed to compile (objects made so far are
// left for gl_cpu_cleanup).
int32_t gl_cpu_init(GlCpuRenderer *r, EGLDisplay display, int32_t width, int32_t height);

// Draws source (an external OES texture), or with a picture that has layers
// the planes it composes (source unused), with the cursor (if any) and the
// watermark and queues its read-back. Returns -1 with null planes on the
// first call; afterwards 0 with the previous frame's planes mapped (strides
// width, width/2, width/2, twice that for the 10-bit planes). With the same-frame read-back: 0 on every call,
// with this call's own planes. -1 with null planes, nothing drawn, when the
// program composing the picture's layers could not be built (logged once).
int32_t gl_cpu_render_and_map(GlCpuRenderer *r, GLuint source_texture, WatermarkValue watermark, const uint8_t **y,
                              int32_t *y_stride, const uint8_t **u, int32_t *u_stride, const uint8_t **v,
                              int32_t *v_stride, const CursorOverlayGl *cursor = nullptr,
                              const ShaderPicture *picture = nullptr);

// Unmaps the set mapped by the last render that returned 0.
void gl_cpu_unmap(GlCpuRenderer *r);

// Same-frame read-back (off after init): from the next render on, each
// render fences its own read-back, waits for it and returns 0 with the planes
// of the frame it has just drawn, the first render included. Set it before
// the first render of a run.
void gl_cpu_set_same_frame(GlCpuRenderer *r, bool on);

// Converts with these coefficients instead of the ones chosen by size (for a
// caller whose other frames are converted with them; one of the tables of
// shaders.h, which the renderer keeps pointing at). Call it after init,
// before the first render.
void gl_cpu_set_coefficients(GlCpuRenderer *r, const ColourCoefficients &coefficients);

// Converts for the signal instead (call it after init, before the first
// render): an HDR signal (PQ, HLG) on the 8-bit planes is tone-mapped to SDR
// by the curve of hdr_tone.h; with ten_bit the planes are the 10-bit
// stream's (yuv420p10le: 16-bit samples holding the code in their low 10
// bits, strides in bytes; BT.2020 when the signal says BT.2020, else BT.709)
// and the signal passes as it is. An SDR signal on the 8-bit planes changes
// nothing. The 8-bit planes keep the matrix they had (the size's, or
// gl_cpu_set_coefficients'). 0, or -1 after one line when the programs or
// the 16-bit targets could not be made (the renderer then converts as
// before).
int32_t gl_cpu_set_signal(GlCpuRenderer *r, const HdrSignal &signal, bool ten_bit);

// Fences the GL commands queued so far, submits them and waits up to a
// second for them to complete. 0 once they have, -1 when the wait failed or
// timed out (a mapping after it still waits for the copies, inside the
// driver).
int32_t gl_cpu_fence_wait();

// What a same-frame read-back costs here: draws into a width x height RGBA
// target, reads it back into a pixel-pack buffer, waits on a fence and maps
// the buffer, `samples` times after one unmeasured round. Returns the median
// milliseconds from the read to the mapped pointer, or -1 when a round
// failed. Needs a current context; leaves no GL object behind.
double gl_cpu_readback_probe_ms(int32_t width, int32_t height, int32_t samples);

// Deletes every GL object the record holds; a null renderer does nothing.
void gl_cpu_cleanup(GlCpuRenderer *r);
