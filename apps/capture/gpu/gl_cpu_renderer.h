// GPU conversion to planar I420 with asynchronous read-back: frame n is
// drawn and queued for copy while the planes of frame n-1 are handed out.
#pragma once

#include <EGL/egl.h>
#include <GLES3/gl3.h>

#include <cstdint>

#include "apps/capture/gpu/shaders.h"

struct GlCpuRenderer {
    EGLDisplay egl_display;
    int32_t width, height;
    GLuint program_y, program_u, program_v;
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
};

// Builds the programs, targets and two read-back sets for width x height.
// Returns 0, or -1 when a shader failed to compile (objects made so far are
// left for gl_cpu_cleanup).
int32_t gl_cpu_init(GlCpuRenderer *r, EGLDisplay display, int32_t width, int32_t height);

// Draws source (an external OES texture) with the cursor (if any) and the
// watermark and queues its
// read-back. Returns -1 with null planes on the first call; afterwards 0 with
// the previous frame's planes mapped (strides width, width/2, width/2).
int32_t gl_cpu_render_and_map(GlCpuRenderer *r, GLuint source_texture, WatermarkValue watermark,
                              const uint8_t **y, int32_t *y_stride,
                              const uint8_t **u, int32_t *u_stride,
                              const uint8_t **v, int32_t *v_stride,
                              const CursorOverlayGl *cursor = nullptr);

// Unmaps the set mapped by the last render that returned 0.
void gl_cpu_unmap(GlCpuRenderer *r);

// Deletes every GL object the record holds; a null renderer does nothing.
void gl_cpu_cleanup(GlCpuRenderer *r);
