// A surfaceless EGL context and an external OES texture made from RGBA
// pixels, for the GPU tests (the machine has no dma-buf import), and plane
// records for pictures of planes.
#pragma once

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES2/gl2ext.h>
#include <GLES3/gl3.h>

#include <cstdint>
#include <vector>

#include "libs/framelink/protocol.h"

// A plane showing its whole width x height buffer of format, unturned and
// opaque, scaled into the CRTC rectangle at x, y of crtc_w x crtc_h.
inline PlaneRecord test_plane_record(uint32_t width, uint32_t height, int32_t x, int32_t y, uint32_t crtc_w,
                                     uint32_t crtc_h, uint32_t format)
{
    PlaneRecord plane{};
    plane.buffer_id = 1;
    plane.width = width;
    plane.height = height;
    plane.format = format;
    plane.src_w = width << 16;
    plane.src_h = height << 16;
    plane.crtc_x = x;
    plane.crtc_y = y;
    plane.crtc_w = crtc_w;
    plane.crtc_h = crtc_h;
    plane.rotation = UDS_ROTATE_0;
    plane.alpha = 0xffff;
    plane.blend = UDS_BLEND_PREMULTI;
    return plane;
}

class GlTestContext {
public:
    GlTestContext()
    {
        display_ = eglGetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
        if (display_ == EGL_NO_DISPLAY || !eglInitialize(display_, nullptr, nullptr))
            return;
        eglBindAPI(EGL_OPENGL_ES_API);
        const EGLint cfg_attr[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_ES3_BIT, EGL_SURFACE_TYPE, 0, EGL_NONE};
        EGLConfig cfg = nullptr;
        EGLint n = 0;
        eglChooseConfig(display_, cfg_attr, &cfg, 1, &n);
        const EGLint ctx_attr[] = {EGL_CONTEXT_MAJOR_VERSION, 3, EGL_CONTEXT_MINOR_VERSION, 0, EGL_NONE};
        context_ = eglCreateContext(display_, n > 0 ? cfg : EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, ctx_attr);
        if (context_ == EGL_NO_CONTEXT)
            return;
        create_image_ = reinterpret_cast<PFNEGLCREATEIMAGEKHRPROC>(eglGetProcAddress("eglCreateImageKHR"));
        destroy_image_ = reinterpret_cast<PFNEGLDESTROYIMAGEKHRPROC>(eglGetProcAddress("eglDestroyImageKHR"));
        target_texture_ =
            reinterpret_cast<PFNGLEGLIMAGETARGETTEXTURE2DOESPROC>(eglGetProcAddress("glEGLImageTargetTexture2DOES"));
        if (!create_image_ || !destroy_image_ || !target_texture_)
            return;
        ok_ = eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, context_) == EGL_TRUE;
    }
    ~GlTestContext()
    {
        for (auto &s : sources_) {
            glDeleteTextures(1, &s.external);
            destroy_image_(display_, s.image);
            glDeleteTextures(1, &s.texture2d);
        }
        if (display_ != EGL_NO_DISPLAY) {
            eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
            if (context_ != EGL_NO_CONTEXT)
                eglDestroyContext(display_, context_);
            eglTerminate(display_);
        }
    }
    bool ok() const { return ok_; }
    EGLDisplay display() const { return display_; }

    // RGBA rows top first; returns the external texture name (0 on failure).
    GLuint make_source(int w, int h, const std::vector<uint8_t> &rgba)
    {
        GLuint texture2d = 0;
        glGenTextures(1, &texture2d);
        glBindTexture(GL_TEXTURE_2D, texture2d);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glBindTexture(GL_TEXTURE_2D, 0);
        return wrap(texture2d);
    }

    // An external texture over the 2D texture (owned from here on, deleted
    // with the context); 0 on failure.
    GLuint wrap(GLuint texture2d)
    {
        Source s;
        s.texture2d = texture2d;
        s.image = create_image_(display_, context_, EGL_GL_TEXTURE_2D_KHR,
                                reinterpret_cast<EGLClientBuffer>(static_cast<uintptr_t>(s.texture2d)), nullptr);
        if (s.image == EGL_NO_IMAGE_KHR) {
            glDeleteTextures(1, &s.texture2d);
            return 0;
        }
        glGenTextures(1, &s.external);
        glBindTexture(GL_TEXTURE_EXTERNAL_OES, s.external);
        target_texture_(GL_TEXTURE_EXTERNAL_OES, s.image);
        glTexParameteri(GL_TEXTURE_EXTERNAL_OES, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_EXTERNAL_OES, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_EXTERNAL_OES, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_EXTERNAL_OES, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glBindTexture(GL_TEXTURE_EXTERNAL_OES, 0);
        sources_.push_back(s);
        return s.external;
    }

private:
    struct Source {
        GLuint texture2d = 0;
        EGLImageKHR image = EGL_NO_IMAGE_KHR;
        GLuint external = 0;
    };
    EGLDisplay display_ = EGL_NO_DISPLAY;
    EGLContext context_ = EGL_NO_CONTEXT;
    bool ok_ = false;
    PFNEGLCREATEIMAGEKHRPROC create_image_ = nullptr;
    PFNEGLDESTROYIMAGEKHRPROC destroy_image_ = nullptr;
    PFNGLEGLIMAGETARGETTEXTURE2DOESPROC target_texture_ = nullptr;
    std::vector<Source> sources_;
};
