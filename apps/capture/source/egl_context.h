// The worker's surfaceless EGL context, the import of the session's frame
// as a GL texture, and the small GL utilities (framebuffer object,
// pixel-pack buffers) that the pipelines use.
#pragma once

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES2/gl2.h>
#include <GLES2/gl2ext.h>
#include <GLES3/gl3.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "apps/capture/source/frame_map.h"

struct FrameMetadata;

struct EglContext {
    EGLDisplay display;
    EGLConfig config;
    EGLContext context;
};

// Process-wide entry points, resolved by egl_load_entry_points (the worker
// calls it right after egl_context_init). Null until then.
extern PFNEGLCREATEIMAGEKHRPROC p_eglCreateImageKHR;
extern PFNEGLDESTROYIMAGEKHRPROC p_eglDestroyImageKHR;
extern PFNGLEGLIMAGETARGETTEXTURE2DOESPROC p_glEGLImageTargetTexture2DOES;

// Opens a headless display, whatever DISPLAY and WAYLAND_DISPLAY say (the
// device platform on a render node that exists, else the surfaceless
// platform; never a window system), initialises it, chooses a
// pbuffer/ES2/RGB888 config, creates an ES2 context and makes it current with
// no surface. The dma-buf import extensions are required only for a frame
// that cannot be read through its mapping instead (a dma-buf with a tiled or
// compressed layout, or a format the upload does not take): then the
// refusal line ("Required EGL extensions not supported: ..."), one naming the
// missing extensions and one naming what the mapping cannot read are written. 0, or -1 after writing the message; on
// failure everything made so far is released and ctx stays empty.
int egl_context_init(EglContext *ctx, const FrameMetadata *frame = nullptr);

// For a run that needs GL: nothing when ctx already holds a context; else
// egl_context_init and egl_load_entry_points (the worker may have started
// without EGL for the processor's compatible mode). 0, or -1 after the
// messages with ctx empty.
int egl_context_ensure(EglContext *ctx, const FrameMetadata *frame = nullptr);

// Releases the context (making nothing current first) and the display, and
// empties ctx. Safe on an empty ctx.
void egl_context_cleanup(EglContext *ctx);

// Resolves the three entry points with eglGetProcAddress. 0 when all three
// exist, -1 otherwise (the caller writes the message and exits).
int egl_load_entry_points();

// 0 when the extension string names both "EGL_EXT_image_dma_buf_import" and
// "EGL_EXT_image_dma_buf_import_modifiers" as whole words; otherwise writes
// "Required EGL extensions not supported: %s\n", then one line naming the
// missing ones, and gives -1.
int egl_check_dma_buf_extensions(const char *extensions);

// True when the frame's plane 0 descriptor is a shared-memory file (a memfd,
// as the virtual display hands out), which EGL cannot import as a dma-buf and
// which is therefore uploaded. A dma-buf is not such a file.
bool egl_frame_is_memory(const FrameMetadata *frame);

inline constexpr int EGL_IMAGE_MAX_ATTRS = 51;

// Fills attrs (at least EGL_IMAGE_MAX_ATTRS values) with the dma-buf import
// list of the frame, ending with EGL_NONE, and returns the number of values
// written counting the terminator (7, 17, 27, 37 or 47, four more with the
// frame's colour hints: EGL_YUV_COLOR_SPACE_HINT_EXT and
// EGL_SAMPLE_RANGE_HINT_EXT). A plane count outside 0 to 4 is clamped to
// that range.
int build_egl_image_attrs(const FrameMetadata *frame, EGLint *attrs);

// eglCreateImageKHR of the frame as a dma-buf. EGL_NO_IMAGE_KHR without a
// message for no frame or a negative descriptor; with a message when the
// display lacks the import extensions or the call fails.
EGLImageKHR create_egl_image(EGLDisplay display, const FrameMetadata *frame);

// Binds the image to a new GL_TEXTURE_EXTERNAL_OES texture (linear filters,
// clamped). 0 with the texture name, or -1 after the message (the texture is
// deleted).
int import_texture_oes(EGLImageKHR image, GLuint *texture);

// The same on GL_TEXTURE_2D, without setting parameters.
int import_texture_from_image(EGLImageKHR image, GLuint *texture);

// The session's frame as a texture, made either by a dma-buf import or, for
// a frame the GPU does not import (a memory frame, or a dma-buf that EGL
// cannot or will not import, read through a mapping), by uploading the
// mapped pixels into a 2D texture, wrapped in an EGL image for external
// sampling. Owned by the pipeline run; move-only.
struct FrameImport {
    EGLDisplay display = EGL_NO_DISPLAY;
    EGLImageKHR image = EGL_NO_IMAGE_KHR;
    GLuint texture = 0;             // GL_TEXTURE_EXTERNAL_OES over image (external), or the 2D texture of a 2D import
    bool upload = false;            // true for a frame read through its mapping
    GLuint upload_texture = 0;      // the 2D texture that holds the uploaded pixels
    FrameMapping mapping;           // the mapped frame (uploads, and the processor's frames)
    std::vector<uint16_t> clamped;  // a half-float frame's pixels clamped to [0, 1] for its upload
    uint32_t width = 0;
    uint32_t height = 0;
};

// How a frame is bound for sampling. External: a GL_TEXTURE_EXTERNAL_OES
// texture (the conversion shaders). 2D: a GL_TEXTURE_2D texture, so it can
// sit behind a framebuffer (the compatible mode's read-back). Mapped: no GL
// at all, the frame is only mapped for the processor.
enum FrameImportKind {
    FRAME_IMPORT_EXTERNAL,
    FRAME_IMPORT_2D,
    FRAME_IMPORT_MAPPED,
};

// True when the display offers the dma-buf import extensions (no message).
bool egl_display_imports_dma_buf(EGLDisplay display);

// True when the GPU imports this frame: a dma-buf (not a memory frame), a
// display with the import extensions, and an image of it can be made (made
// and destroyed again). No message; false for a null display.
bool egl_frame_gpu_imports(EGLDisplay display, const FrameMetadata *frame);

// Imports the frame as kind. A dma-buf is imported by EGL where the display
// can; where it cannot, or the import fails, and for a memory frame, a
// linear frame of a readable format (frame_map.h) is mapped and uploaded
// (colour channels come out in R, G, B order). MAPPED only maps. 0, or -1
// after a message with nothing left behind.
int egl_frame_import(EGLDisplay display, const FrameMetadata *frame, FrameImport *import,
                     FrameImportKind kind = FRAME_IMPORT_EXTERNAL);

// Makes the texture show the frame's current pixels: uploads them again for
// a mapped frame (the read bracketed for a dma-buf), does nothing for a
// dma-buf import (which is the buffer itself) or a mapping without GL. Call
// once per frame before drawing. 0, or -1 on a GL error or a refused read.
int egl_frame_refresh(FrameImport *import);

// True for the formats a mapped frame is uploaded from: the packed 8-bit
// ones, XR30/AR30/XB30/AB30 (GL_RGB10_A2), XR48/AR48/XB48/AB48 (GL_RGBA16,
// with GL_EXT_texture_norm16), XR4H/AR4H/XB4H/AB4H (GL_RGBA16F) and RG16
// (GL_RGB565), each at its full precision.
bool egl_upload_supported(uint32_t fourcc);

// Uploads width x height pixels of fourcc, rows stride bytes apart, into the
// bound GL_TEXTURE_2D: allocated (with its swizzle set) when allocate, else
// replaced in place. Half floats are clamped to [0, 1] on the way, in
// scratch (negative values and NaNs with the sign bit become 0, values above
// one and the other NaNs 1): the conversion takes the picture as SDR. 0, or
// -1 after a line for a format or stride it cannot upload.
int egl_upload_pixels(uint32_t fourcc, const uint8_t *pixels, uint32_t width, uint32_t height, uint32_t stride,
                      bool allocate, std::vector<uint16_t> *scratch);

// Exchanges red and blue in the swizzle of the texture bound to target for
// the deep formats that hold blue first, so that it samples R, G, B; leaves
// the texture as it is for the others.
void egl_upload_swizzle(GLenum target, uint32_t fourcc);

// Deletes the textures, destroys the image, unmaps; empties the record.
void egl_frame_release(FrameImport *import);

// Generates a framebuffer over the 2D texture, leaves it bound. 0, or -1
// after "Framebuffer is not complete: %x" (the framebuffer is deleted).
int setup_framebuffer_object(GLuint texture, GLuint *framebuffer);

// A GL_STREAM_READ pixel-pack buffer of size bytes; 0 on failure.
GLuint create_pbo(size_t size);
// Queues glReadPixels (RGBA, unsigned byte) of the bound framebuffer into the buffer.
void start_pbo_read(GLuint pbo, int width, int height);
// Maps bytes 0..length for reading (waits for the copy); null on failure. The buffer stays bound.
void *map_pbo(GLuint pbo, size_t length);
void unmap_pbo(GLuint pbo);
void destroy_pbo(GLuint pbo);
