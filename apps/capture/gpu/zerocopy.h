// GL render targets over the encoder's VA-API surface pool: each surface is
// exported as a DMA-BUF and its NV12 (or, for the 10-bit stream, P010)
// planes are drawn into directly.
#pragma once

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES3/gl3.h>
#include <va/va.h>

#include <cstdint>

#include "apps/capture/gpu/shaders.h"
#include "libs/common/unique_fd.h"

struct AVBufferRef;

struct ZeroCopyTarget {
    uint32_t surface_id;
    EGLImageKHR image_y;
    EGLImageKHR image_uv;
    GLuint tex_y;
    GLuint tex_uv;
    GLuint fbo;
    UniqueFD fd;  // the exported surface (object 0), or -1
    uint32_t pitch_y, pitch_uv;
    uint32_t offset_y, offset_uv;
};

constexpr int kZeroCopyMaxTargets = 8;

struct ZeroCopyTargets {
    GLuint program_y;
    GLuint program_uv;
    ShaderVariants variants_y, variants_uv;  // composing the planes
    int32_t loc_texture_y;
    int32_t loc_texture_uv;
    int32_t loc_coeffs;
    int32_t loc_digits;
    int32_t loc_res;
    GLuint vao, vbo;
    ZeroCopyTarget targets[kZeroCopyMaxTargets];
    VADisplay va_display;
    EGLDisplay egl_display;
    const char *colour_space;
    bool ten_bit;  // the pool's surfaces are P010: 10-bit codes in the high bits of 16-bit samples
    int32_t width, height;
};

// Builds the programs and one target per pool surface (at most 8) from an
// initialised VA-API frames context of NV12 or P010 surfaces. Returns 0, or
// -1 on any failure; what was built stays in the record for
// zerocopy_cleanup.
int32_t zerocopy_init_from_pool(ZeroCopyTargets *t, AVBufferRef *frames_ref, EGLDisplay egl_display, int32_t width,
                                int32_t height);

// Converts for the signal (after init, before the first render): P010
// surfaces get the 10-bit stream's codes (BT.2020 when the signal says so,
// else BT.709, the signal as it is); NV12 surfaces an HDR signal tone-mapped
// to SDR, an SDR signal as before. 0, or -1 after one line when the programs
// could not be built (the old ones are kept).
int32_t zerocopy_set_signal(ZeroCopyTargets *t, const HdrSignal &signal);

// Index 0..7 of the first target holding surface_id, or -1.
int32_t zerocopy_find_index_by_surface(const ZeroCopyTargets *t, uint32_t surface_id);

// Draws source, or with a picture that has layers the planes it composes
// (source unused), with the cursor (if any) and the watermark into target
// index's surface and waits for the GPU. 0, or -1 when the index is above 7
// (as unsigned: nothing drawn) or a composing program could not be built
// (logged once; the surface is not a whole picture and must not be sent).
int32_t zerocopy_render_to_index(ZeroCopyTargets *t, int32_t index, GLuint source_texture, uint32_t width,
                                 uint32_t height, WatermarkValue watermark, const CursorOverlayGl *cursor = nullptr,
                                 const ShaderPicture *picture = nullptr);

// Releases every non-empty slot, the programs and the quad, and empties
// the record (a second call does nothing; the display is kept).
void zerocopy_cleanup(ZeroCopyTargets *t);

// Size of the chroma image and viewport: the truncated half.
void zerocopy_chroma_size(int32_t width, int32_t height, int32_t *chroma_width, int32_t *chroma_height);

// EGL attribute list importing one plane of a DMA-BUF (13 entries used,
// EGL_NONE last): luma as R8 at full size, chroma as GR88 at half size; with
// sixteen_bit (P010) R16 and GR1616.
constexpr int kZeroCopyPlaneAttribs = 17;
void zerocopy_plane_attributes(bool chroma, int32_t width, int32_t height, int32_t fd, uint32_t offset, uint32_t pitch,
                               uint64_t modifier, EGLint out[kZeroCopyPlaneAttribs], bool sixteen_bit = false);
