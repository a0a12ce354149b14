#include <cstdio>

#include "apps/capture/source/egl_context.h"

int setup_framebuffer_object(GLuint texture, GLuint *framebuffer)
{
    if (!framebuffer)
        return -1;
    GLuint fbo = 0;
    glGenFramebuffers(1, &fbo);
    glBindFramebuffer(GL_FRAMEBUFFER, fbo);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
    GLenum status = glCheckFramebufferStatus(GL_FRAMEBUFFER);
    if (status != GL_FRAMEBUFFER_COMPLETE) {
        fprintf(stderr, "Framebuffer is not complete: %x", status);
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glDeleteFramebuffers(1, &fbo);
        return -1;
    }
    *framebuffer = fbo;
    return 0;
}

GLuint create_pbo(size_t size)
{
    while (glGetError() != GL_NO_ERROR) {
    }
    GLuint pbo = 0;
    glGenBuffers(1, &pbo);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, pbo);
    glBufferData(GL_PIXEL_PACK_BUFFER, GLsizeiptr(size), nullptr, GL_STREAM_READ);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    GLenum err = glGetError();
    if (err != GL_NO_ERROR) {
        fprintf(stderr, "Failed to create PBO: %x \n", err);
        glDeleteBuffers(1, &pbo);
        return 0;
    }
    return pbo;
}

void start_pbo_read(GLuint pbo, int width, int height)
{
    glBindBuffer(GL_PIXEL_PACK_BUFFER, pbo);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
}

void *map_pbo(GLuint pbo, size_t length)
{
    glBindBuffer(GL_PIXEL_PACK_BUFFER, pbo);
    void *data = glMapBufferRange(GL_PIXEL_PACK_BUFFER, 0, GLsizeiptr(length), GL_MAP_READ_BIT);
    if (!data)
        fprintf(stderr, "Failed to map PBO\n");
    return data;
}

void unmap_pbo(GLuint pbo)
{
    glBindBuffer(GL_PIXEL_PACK_BUFFER, pbo);
    glUnmapBuffer(GL_PIXEL_PACK_BUFFER);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
}

void destroy_pbo(GLuint pbo)
{
    glDeleteBuffers(1, &pbo);
}
