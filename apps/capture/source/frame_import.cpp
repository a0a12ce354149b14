#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "apps/capture/source/capture_session.h"
#include "apps/capture/source/egl_context.h"

namespace {

constexpr uint32_t kFourccXRGB8888 = 0x34325258;  // 'XR24'
constexpr uint32_t kFourccARGB8888 = 0x34325241;  // 'AR24'

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

// Uploads the mapped pixels into the bound 2D texture. XRGB8888 is B, G, R, X
// in memory, which is GL_BGRA_EXT; rows are stride bytes apart.
void upload_pixels(const FrameImport *import, bool allocate)
{
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, GLint(import->stride / 4));
    const uint8_t *pixels = import->map + import->offset;
    if (allocate)
        glTexImage2D(GL_TEXTURE_2D, 0, GL_BGRA_EXT, GLsizei(import->width), GLsizei(import->height), 0, GL_BGRA_EXT,
                     GL_UNSIGNED_BYTE, pixels);
    else
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, GLsizei(import->width), GLsizei(import->height), GL_BGRA_EXT,
                        GL_UNSIGNED_BYTE, pixels);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
}

int import_by_upload(EGLDisplay display, const FrameMetadata *frame, FrameImport *import)
{
    if (frame->plane_count != 1 || (frame->format != kFourccXRGB8888 && frame->format != kFourccARGB8888) ||
        frame->width == 0 || frame->height == 0 || frame->stride % 4 != 0 || frame->stride / 4 < frame->width) {
        fprintf(stderr, "[ZeroCopy] memory frame not uploadable: format 0x%x, %d planes, %ux%u, stride %u\n",
                frame->format, frame->plane_count, frame->width, frame->height, frame->stride);
        return -1;
    }
    if (!p_eglCreateImageKHR || !p_eglDestroyImageKHR || !p_glEGLImageTargetTexture2DOES) {
        fprintf(stderr, "Failed to load required EGL/GLES extension functions.\n");
        return -1;
    }
    struct stat st {};
    uint64_t needed = uint64_t(frame->offset) + uint64_t(frame->stride) * frame->height;
    if (fstat(frame->fd, &st) != 0 || uint64_t(st.st_size) < needed) {
        fprintf(stderr, "[ZeroCopy] memory frame smaller than %llu bytes\n", static_cast<unsigned long long>(needed));
        return -1;
    }
    void *map = mmap(nullptr, size_t(needed), PROT_READ, MAP_SHARED, frame->fd, 0);
    if (map == MAP_FAILED) {
        perror("[ZeroCopy] mmap");
        return -1;
    }
    FrameImport made{};
    made.display = display;
    made.image = EGL_NO_IMAGE_KHR;
    made.upload = true;
    made.map = static_cast<const uint8_t *>(map);
    made.map_length = size_t(needed);
    made.width = frame->width;
    made.height = frame->height;
    made.stride = frame->stride;
    made.offset = frame->offset;

    while (glGetError() != GL_NO_ERROR) {
    }
    glGenTextures(1, &made.upload_texture);
    glBindTexture(GL_TEXTURE_2D, made.upload_texture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    upload_pixels(&made, true);
    glBindTexture(GL_TEXTURE_2D, 0);
    GLenum err = glGetError();
    if (err != GL_NO_ERROR) {
        fprintf(stderr, "[ZeroCopy] frame upload failed: 0x%x\n", err);
        egl_frame_release(&made);
        return -1;
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
    *import = made;
    return 0;
}

}  // namespace

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
        int fd = i == 0 ? frame->fd : frame->planes[i].fd;
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

int egl_frame_import(EGLDisplay display, const FrameMetadata *frame, FrameImport *import)
{
    if (!frame || !import || frame->fd < 0) {
        fprintf(stderr, "[ZeroCopy] no frame to import\n");
        return -1;
    }
    if (egl_frame_is_memory(frame))
        return import_by_upload(display, frame, import);
    FrameImport made{};
    made.display = display;
    made.image = create_egl_image(display, frame);
    if (made.image == EGL_NO_IMAGE_KHR)
        return -1;
    if (import_texture_oes(made.image, &made.texture) != 0) {
        egl_frame_release(&made);
        return -1;
    }
    made.width = frame->width;
    made.height = frame->height;
    *import = made;
    return 0;
}

int egl_frame_refresh(FrameImport *import)
{
    if (!import || !import->upload)
        return 0;
    while (glGetError() != GL_NO_ERROR) {
    }
    glBindTexture(GL_TEXTURE_2D, import->upload_texture);
    upload_pixels(import, false);
    glBindTexture(GL_TEXTURE_2D, 0);
    GLenum err = glGetError();
    if (err != GL_NO_ERROR) {
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
    if (import->map)
        munmap(const_cast<uint8_t *>(import->map), import->map_length);
    *import = FrameImport{};
    import->image = EGL_NO_IMAGE_KHR;
}
