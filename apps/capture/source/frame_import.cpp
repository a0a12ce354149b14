#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "apps/capture/source/capture_session.h"
#include "apps/capture/source/egl_context.h"

namespace {

struct PlaneAttrs {
    EGLint fd, offset, pitch, mod_lo, mod_hi;
};
constexpr PlaneAttrs kPlaneAttrs[4] = {
    {EGL_DMA_BUF_PLANE0_FD_EXT, EGL_DMA_BUF_PLANE0_OFFSET_EXT, EGL_DMA_BUF_PLANE0_PITCH_EXT,
     EGL_DMA_BUF_PLANE0_MODIFIER_LO_EXT, EGL_DMA_BUF_PLANE0_MODIFIER_HI_EXT},
    {EGL_DMA_BUF_PLANE1_FD_EXT, EGL_DMA_BUF_PLANE1_OFFSET_EXT, EGL_DMA_BUF_PLANE1_PITCH_EXT,
     EGL_DMA_BUF_PLANE1_MODIFIER_LO_EXT, EGL_DMA_BUF_PLANE1_MODIFIER_HI_EXT},
    {EGL_DMA_BUF_PLANE2_FD_EXT, EGL_DMA_BUF_PLANE2_OFFSET_EXT, EGL_DMA_BUF_PLANE2_PITCH_EXT,
     EGL_DMA_BUF_PLANE2_MODIFIER_LO_EXT, EGL_DMA_BUF_PLANE2_MODIFIER_HI_EXT},
    {EGL_DMA_BUF_PLANE3_FD_EXT, EGL_DMA_BUF_PLANE3_OFFSET_EXT, EGL_DMA_BUF_PLANE3_PITCH_EXT,
     EGL_DMA_BUF_PLANE3_MODIFIER_LO_EXT, EGL_DMA_BUF_PLANE3_MODIFIER_HI_EXT},
};

int attach_image(GLenum target, EGLImageKHR image, GLuint *texture, bool set_params, const char *message)
{
    if (!p_glEGLImageTargetTexture2DOES || !texture) {
        fprintf(stderr, "%s", message);
        return -1;
    }
    GLuint tex = 0;
    glGenTextures(1, &tex);
    glBindTexture(target, tex);
    if (set_params) {
        glTexParameteri(target, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(target, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(target, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(target, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    }
    p_glEGLImageTargetTexture2DOES(target, static_cast<GLeglImageOES>(image));
    GLenum err = glGetError();
    if (err != GL_NO_ERROR) {
        fprintf(stderr, message, err);
        glBindTexture(target, 0);
        glDeleteTextures(1, &tex);
        return -1;
    }
    *texture = tex;
    return 0;
}

// How each format the processor maps is uploaded: bytes a pixel and the GL
// internal format, format and type that keep every bit of it, and whether
// the sampler exchanges red and blue. The packed formats are read in memory
// order: XRGB8888 is B, G, R, X (GL_BGRA_EXT), XBGR8888 R, G, B, X; the
// 2:10:10:10 words hold red in their low bits for XBGR2101010 (as
// GL_UNSIGNED_INT_2_10_10_10_REV has it) and blue for XRGB2101010; the
// 16:16:16:16 ones hold red first in memory for the XBGR variants and blue
// first for XRGB; RGB565 is red in the high bits of its 16-bit word.
struct UploadFormat {
    uint32_t fourcc;
    uint32_t bytes_per_pixel;
    GLenum internal_format, format, type;
    bool swap_red_blue;
};
constexpr UploadFormat kUploadFormats[] = {
    {FRAME_FOURCC_XRGB8888, 4, GL_BGRA_EXT, GL_BGRA_EXT, GL_UNSIGNED_BYTE, false},
    {FRAME_FOURCC_ARGB8888, 4, GL_BGRA_EXT, GL_BGRA_EXT, GL_UNSIGNED_BYTE, false},
    {FRAME_FOURCC_XBGR8888, 4, GL_RGBA, GL_RGBA, GL_UNSIGNED_BYTE, false},
    {FRAME_FOURCC_ABGR8888, 4, GL_RGBA, GL_RGBA, GL_UNSIGNED_BYTE, false},
    {frame_fourcc('X', 'R', '3', '0'), 4, GL_RGB10_A2, GL_RGBA, GL_UNSIGNED_INT_2_10_10_10_REV, true},
    {frame_fourcc('A', 'R', '3', '0'), 4, GL_RGB10_A2, GL_RGBA, GL_UNSIGNED_INT_2_10_10_10_REV, true},
    {frame_fourcc('X', 'B', '3', '0'), 4, GL_RGB10_A2, GL_RGBA, GL_UNSIGNED_INT_2_10_10_10_REV, false},
    {frame_fourcc('A', 'B', '3', '0'), 4, GL_RGB10_A2, GL_RGBA, GL_UNSIGNED_INT_2_10_10_10_REV, false},
    {frame_fourcc('X', 'R', '4', '8'), 8, GL_RGBA16_EXT, GL_RGBA, GL_UNSIGNED_SHORT, true},
    {frame_fourcc('A', 'R', '4', '8'), 8, GL_RGBA16_EXT, GL_RGBA, GL_UNSIGNED_SHORT, true},
    {frame_fourcc('X', 'B', '4', '8'), 8, GL_RGBA16_EXT, GL_RGBA, GL_UNSIGNED_SHORT, false},
    {frame_fourcc('A', 'B', '4', '8'), 8, GL_RGBA16_EXT, GL_RGBA, GL_UNSIGNED_SHORT, false},
    {frame_fourcc('X', 'R', '4', 'H'), 8, GL_RGBA16F, GL_RGBA, GL_HALF_FLOAT, true},
    {frame_fourcc('A', 'R', '4', 'H'), 8, GL_RGBA16F, GL_RGBA, GL_HALF_FLOAT, true},
    {frame_fourcc('X', 'B', '4', 'H'), 8, GL_RGBA16F, GL_RGBA, GL_HALF_FLOAT, false},
    {frame_fourcc('A', 'B', '4', 'H'), 8, GL_RGBA16F, GL_RGBA, GL_HALF_FLOAT, false},
    {frame_fourcc('R', 'G', '1', '6'), 2, GL_RGB565, GL_RGB, GL_UNSIGNED_SHORT_5_6_5, false},
};

const UploadFormat *upload_format(uint32_t fourcc)
{
    for (const UploadFormat &f : kUploadFormats)
        if (f.fourcc == fourcc)
            return &f;
    return nullptr;
}

// 16-bit normalized textures come with GL_EXT_texture_norm16 (GLES 3 has
// none of its own); asked when the texture is allocated.
bool context_has_norm16()
{
    GLint count = 0;
    glGetIntegerv(GL_NUM_EXTENSIONS, &count);
    for (GLint i = 0; i < count; ++i) {
        const char *name = reinterpret_cast<const char *>(glGetStringi(GL_EXTENSIONS, GLuint(i)));
        if (name && std::strcmp(name, "GL_EXT_texture_norm16") == 0)
            return true;
    }
    return false;
}

// The half-float rows copied into out, tightly packed, each value clamped to
// [0, 1]: as 16-bit integers the non-negative halves order as their values,
// so anything with the sign bit set becomes 0 and anything above 0x3c00
// (one) becomes one. Vectorized (the loop's trip count is not known, so -O2
// alone leaves it scalar, and the copy takes twice as long).
#if defined(__GNUC__) && !defined(__clang__)
#define VECTORIZED_LOOP __attribute__((optimize("tree-vectorize", "vect-cost-model=dynamic")))
#else
#define VECTORIZED_LOOP
#endif
VECTORIZED_LOOP const uint8_t *
clamp_halves(const uint8_t *pixels, uint32_t width, uint32_t height, uint32_t stride, std::vector<uint16_t> *out)
{
    const size_t row_values = size_t(width) * 4;
    out->resize(row_values * height);
    for (uint32_t y = 0; y < height; ++y) {
        uint16_t *dst = out->data() + row_values * y;
        std::memcpy(dst, pixels + size_t(stride) * y, row_values * 2);
        for (size_t i = 0; i < row_values; ++i) {
            const uint16_t h = dst[i];
            dst[i] = (h & 0x8000u) ? uint16_t(0) : std::min(h, uint16_t(0x3c00));
        }
    }
    return reinterpret_cast<const uint8_t *>(out->data());
}

// Uploads the mapped pixels into the bound 2D texture, the read bracketed
// for a dma-buf.
int upload_pixels(FrameImport *import, bool allocate)
{
    const FrameMapping &map = import->mapping;
    if (frame_map_begin_read(&map) != 0)
        return -1;
    const int uploaded =
        egl_upload_pixels(map.format, map.pixels(), map.width, map.height, map.stride, allocate, &import->clamped);
    frame_map_end_read(&map);
    return uploaded;
}

// The frame read through its mapping: uploaded into a 2D texture and, for
// external sampling, wrapped in an EGL image bound to an external texture.
int import_by_upload(EGLDisplay display, const FrameMetadata *frame, FrameImport *import, FrameImportKind kind)
{
    FrameImport made;
    made.display = display;
    if (frame_map_open(frame, &made.mapping) != 0)
        return -1;
    if (kind == FRAME_IMPORT_MAPPED) {
        made.width = frame->width;
        made.height = frame->height;
        *import = std::move(made);
        return 0;
    }
    if (!p_eglCreateImageKHR || !p_eglDestroyImageKHR || !p_glEGLImageTargetTexture2DOES) {
        fprintf(stderr, "Failed to load required EGL/GLES extension functions.\n");
        return -1;
    }
    if (frame->format == FRAME_FOURCC_NV12 || frame->format == FRAME_FOURCC_P010) {
        const uint32_t f = frame->format;
        fprintf(stderr,
                "[Capture] a %c%c%c%c framebuffer the GPU does not import is not uploaded: the processor reads it\n",
                char(f), char(f >> 8), char(f >> 16), char(f >> 24));
        return -1;
    }
    if (!egl_upload_supported(frame->format)) {
        fprintf(stderr, "[Capture] a framebuffer of format 0x%08x the GPU does not import is not uploaded\n",
                frame->format);
        return -1;
    }
    made.upload = true;
    made.width = frame->width;
    made.height = frame->height;

    while (glGetError() != GL_NO_ERROR) {
    }
    glGenTextures(1, &made.upload_texture);
    glBindTexture(GL_TEXTURE_2D, made.upload_texture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    const int uploaded = upload_pixels(&made, true);
    glBindTexture(GL_TEXTURE_2D, 0);
    GLenum err = glGetError();
    if (uploaded != 0 || err != GL_NO_ERROR) {
        fprintf(stderr, "[ZeroCopy] frame upload failed: 0x%x\n", err);
        egl_frame_release(&made);
        return -1;
    }
    if (kind == FRAME_IMPORT_2D) {
        *import = std::move(made);
        return 0;
    }
    made.image =
        p_eglCreateImageKHR(display, eglGetCurrentContext(), EGL_GL_TEXTURE_2D_KHR,
                            reinterpret_cast<EGLClientBuffer>(static_cast<uintptr_t>(made.upload_texture)), nullptr);
    if (made.image == EGL_NO_IMAGE_KHR) {
        fprintf(stderr, "eglCreateImageKHR failed: 0x%x, modifier=0x%lx\n", eglGetError(),
                static_cast<unsigned long>(frame->modifier));
        egl_frame_release(&made);
        return -1;
    }
    if (import_texture_oes(made.image, &made.texture) != 0) {
        egl_frame_release(&made);
        return -1;
    }
    // The image carries the pixels, not the 2D texture's swizzle.
    glBindTexture(GL_TEXTURE_EXTERNAL_OES, made.texture);
    egl_upload_swizzle(GL_TEXTURE_EXTERNAL_OES, frame->format);
    glBindTexture(GL_TEXTURE_EXTERNAL_OES, 0);
    if ((err = glGetError()) != GL_NO_ERROR) {
        fprintf(stderr, "[ZeroCopy] the external texture refuses the upload's swizzle: 0x%x\n", err);
        egl_frame_release(&made);
        return -1;
    }
    *import = std::move(made);
    return 0;
}

EGLImageKHR make_dma_buf_image(EGLDisplay display, const FrameMetadata *frame)
{
    EGLint attrs[EGL_IMAGE_MAX_ATTRS];
    build_egl_image_attrs(frame, attrs);
    return p_eglCreateImageKHR(display, EGL_NO_CONTEXT, EGL_LINUX_DMA_BUF_EXT, nullptr, attrs);
}

// The dma-buf imported by EGL, bound as kind. 0, or -1 after a message with
// nothing left behind.
int import_dma_buf(EGLDisplay display, const FrameMetadata *frame, FrameImport *import, FrameImportKind kind)
{
    FrameImport made;
    made.display = display;
    made.image = create_egl_image(display, frame);
    if (made.image == EGL_NO_IMAGE_KHR)
        return -1;
    while (glGetError() != GL_NO_ERROR) {
    }
    const int bound = kind == FRAME_IMPORT_2D ? import_texture_from_image(made.image, &made.texture)
                                              : import_texture_oes(made.image, &made.texture);
    if (bound != 0) {
        egl_frame_release(&made);
        return -1;
    }
    made.width = frame->width;
    made.height = frame->height;
    *import = std::move(made);
    return 0;
}

}  // namespace

bool egl_upload_supported(uint32_t fourcc)
{
    return upload_format(fourcc) != nullptr;
}

void egl_upload_swizzle(GLenum target, uint32_t fourcc)
{
    // Identity is every texture's default: left untouched, so an external
    // texture of a driver without swizzle on that target is not disturbed.
    const UploadFormat *f = upload_format(fourcc);
    if (!f || !f->swap_red_blue)
        return;
    glTexParameteri(target, GL_TEXTURE_SWIZZLE_R, GL_BLUE);
    glTexParameteri(target, GL_TEXTURE_SWIZZLE_B, GL_RED);
}

int egl_upload_pixels(uint32_t fourcc, const uint8_t *pixels, uint32_t width, uint32_t height, uint32_t stride,
                      bool allocate, std::vector<uint16_t> *scratch)
{
    const UploadFormat *f = upload_format(fourcc);
    if (!f || !pixels || !scratch || stride % f->bytes_per_pixel != 0 || stride / f->bytes_per_pixel < width) {
        fprintf(stderr, "[ZeroCopy] cannot upload format 0x%08x with stride %u\n", fourcc, stride);
        return -1;
    }
    if (allocate && f->internal_format == GL_RGBA16_EXT && !context_has_norm16()) {
        fputs("[ZeroCopy] 16-bit framebuffers are uploaded only with GL_EXT_texture_norm16, which this GL lacks\n",
              stderr);
        return -1;
    }
    if (f->type == GL_HALF_FLOAT) {
        pixels = clamp_halves(pixels, width, height, stride, scratch);
        stride = width * f->bytes_per_pixel;
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, f->bytes_per_pixel == 2 ? 2 : 4);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, GLint(stride / f->bytes_per_pixel));
    if (allocate) {
        glTexImage2D(GL_TEXTURE_2D, 0, GLint(f->internal_format), GLsizei(width), GLsizei(height), 0, f->format,
                     f->type, pixels);
        egl_upload_swizzle(GL_TEXTURE_2D, fourcc);
    } else {
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, GLsizei(width), GLsizei(height), f->format, f->type, pixels);
    }
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    return 0;
}

bool egl_frame_is_memory(const FrameMetadata *frame)
{
    return frame && frame->fd >= 0 && fcntl(frame->fd, F_GET_SEALS) >= 0;
}

int build_egl_image_attrs(const FrameMetadata *frame, EGLint *attrs)
{
    int n = 0;
    attrs[n++] = EGL_WIDTH;
    attrs[n++] = EGLint(frame->width);
    attrs[n++] = EGL_HEIGHT;
    attrs[n++] = EGLint(frame->height);
    attrs[n++] = EGL_LINUX_DRM_FOURCC_EXT;
    attrs[n++] = EGLint(frame->format);
    int planes = frame->plane_count < 0 ? 0 : (frame->plane_count > 4 ? 4 : frame->plane_count);
    const EGLint mod_lo = EGLint(uint32_t(frame->modifier & 0xffffffffu));
    const EGLint mod_hi = EGLint(uint32_t(frame->modifier >> 32));
    for (int i = 0; i < planes; ++i) {
        // Plane 0 comes from the frame's own fields, the others from the table.
        int fd = i == 0 ? frame->fd : frame->planes[i].fd.get();
        uint32_t offset = i == 0 ? frame->offset : frame->planes[i].offset;
        uint32_t stride = i == 0 ? frame->stride : frame->planes[i].stride;
        attrs[n++] = kPlaneAttrs[i].fd;
        attrs[n++] = fd;
        attrs[n++] = kPlaneAttrs[i].offset;
        attrs[n++] = EGLint(offset);
        attrs[n++] = kPlaneAttrs[i].pitch;
        attrs[n++] = EGLint(stride);
        attrs[n++] = kPlaneAttrs[i].mod_lo;
        attrs[n++] = mod_lo;
        attrs[n++] = kPlaneAttrs[i].mod_hi;
        attrs[n++] = mod_hi;
    }
    if (frame->colour_hints) {
        // The driver converts a YUV image as its plane says.
        attrs[n++] = EGL_YUV_COLOR_SPACE_HINT_EXT;
        attrs[n++] = frame->colour_encoding == UDS_ENCODING_BT709    ? EGL_ITU_REC709_EXT
                     : frame->colour_encoding == UDS_ENCODING_BT2020 ? EGL_ITU_REC2020_EXT
                                                                     : EGL_ITU_REC601_EXT;
        attrs[n++] = EGL_SAMPLE_RANGE_HINT_EXT;
        attrs[n++] = frame->colour_range == UDS_RANGE_FULL ? EGL_YUV_FULL_RANGE_EXT : EGL_YUV_NARROW_RANGE_EXT;
    }
    attrs[n++] = EGL_NONE;
    return n;
}

EGLImageKHR create_egl_image(EGLDisplay display, const FrameMetadata *frame)
{
    if (!frame || frame->fd < 0)
        return EGL_NO_IMAGE_KHR;
    if (egl_check_dma_buf_extensions(eglQueryString(display, EGL_EXTENSIONS)) != 0)
        return EGL_NO_IMAGE_KHR;
    if (!p_eglCreateImageKHR) {
        fprintf(stderr, "Failed to load required EGL/GLES extension functions.\n");
        return EGL_NO_IMAGE_KHR;
    }
    EGLint attrs[EGL_IMAGE_MAX_ATTRS];
    build_egl_image_attrs(frame, attrs);
    EGLImageKHR image = p_eglCreateImageKHR(display, EGL_NO_CONTEXT, EGL_LINUX_DMA_BUF_EXT, nullptr, attrs);
    if (image == EGL_NO_IMAGE_KHR)
        fprintf(stderr, "eglCreateImageKHR failed: 0x%x, modifier=0x%lx\n", eglGetError(),
                static_cast<unsigned long>(frame->modifier));
    return image;
}

int import_texture_oes(EGLImageKHR image, GLuint *texture)
{
    return attach_image(GL_TEXTURE_EXTERNAL_OES, image, texture, true,
                        "Failed to create EGLImageTargetTexture2DOES: 0x%x\n");
}

int import_texture_from_image(EGLImageKHR image, GLuint *texture)
{
    return attach_image(GL_TEXTURE_2D, image, texture, false, "Failed to create EGLImageTargetTexture2DOES\n");
}

bool egl_frame_gpu_imports(EGLDisplay display, const FrameMetadata *frame)
{
    if (display == EGL_NO_DISPLAY || !frame || frame->fd < 0 || egl_frame_is_memory(frame) ||
        !egl_display_imports_dma_buf(display) || !p_eglCreateImageKHR || !p_eglDestroyImageKHR)
        return false;
    EGLImageKHR image = make_dma_buf_image(display, frame);
    if (image == EGL_NO_IMAGE_KHR)
        return false;
    p_eglDestroyImageKHR(display, image);
    return true;
}

int egl_frame_import(EGLDisplay display, const FrameMetadata *frame, FrameImport *import, FrameImportKind kind)
{
    if (!frame || !import || frame->fd < 0) {
        fprintf(stderr, "[ZeroCopy] no frame to import\n");
        return -1;
    }
    if (kind == FRAME_IMPORT_MAPPED || egl_frame_is_memory(frame))
        return import_by_upload(display, frame, import, kind);
    if (egl_display_imports_dma_buf(display)) {
        if (import_dma_buf(display, frame, import, kind) == 0)
            return 0;
        if (!frame_map_readable(frame))
            return frame_map_check(frame);
        fputs("[Capture] the GPU did not import the framebuffer: it is read through its mapping instead\n", stderr);
        return import_by_upload(display, frame, import, kind);
    }
    // No dma-buf import at all: a linear buffer is read through its mapping.
    if (!frame_map_readable(frame)) {
        egl_check_dma_buf_extensions(eglQueryString(display, EGL_EXTENSIONS));
        return frame_map_check(frame);
    }
    return import_by_upload(display, frame, import, kind);
}

int egl_frame_refresh(FrameImport *import)
{
    if (!import || !import->upload)
        return 0;
    while (glGetError() != GL_NO_ERROR) {
    }
    glBindTexture(GL_TEXTURE_2D, import->upload_texture);
    const int uploaded = upload_pixels(import, false);
    glBindTexture(GL_TEXTURE_2D, 0);
    GLenum err = glGetError();
    if (uploaded != 0 || err != GL_NO_ERROR) {
        fprintf(stderr, "[ZeroCopy] frame refresh failed: 0x%x\n", err);
        return -1;
    }
    return 0;
}

void egl_frame_release(FrameImport *import)
{
    if (!import)
        return;
    if (import->texture)
        glDeleteTextures(1, &import->texture);
    if (import->image != EGL_NO_IMAGE_KHR && p_eglDestroyImageKHR)
        p_eglDestroyImageKHR(import->display, import->image);
    if (import->upload_texture)
        glDeleteTextures(1, &import->upload_texture);
    *import = FrameImport{};
}
