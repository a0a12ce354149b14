#include "apps/capture/source/egl_context.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

PFNEGLCREATEIMAGEKHRPROC p_eglCreateImageKHR = nullptr;
PFNEGLDESTROYIMAGEKHRPROC p_eglDestroyImageKHR = nullptr;
PFNGLEGLIMAGETARGETTEXTURE2DOESPROC p_glEGLImageTargetTexture2DOES = nullptr;

namespace {

bool env_set(const char *name)
{
    const char *v = getenv(name);
    return v && *v;
}

// Whole-word search in a space-separated extension string.
bool has_extension(const char *list, const char *name)
{
    if (!list)
        return false;
    size_t len = strlen(name);
    for (const char *p = list; (p = strstr(p, name)) != nullptr; p += len) {
        bool starts = p == list || p[-1] == ' ';
        bool ends = p[len] == '\0' || p[len] == ' ';
        if (starts && ends)
            return true;
    }
    return false;
}

// Below any window system the default display cannot be opened; the
// surfaceless platform needs no window system at all.
EGLDisplay open_display()
{
    if (env_set("DISPLAY") || env_set("WAYLAND_DISPLAY") || env_set("EGL_PLATFORM"))
        return eglGetDisplay(EGL_DEFAULT_DISPLAY);
    const char *client = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    if (has_extension(client, "EGL_MESA_platform_surfaceless")) {
        auto get_platform =
            reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
        if (get_platform)
            return get_platform(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    }
    setenv("EGL_PLATFORM", "surfaceless", 0);
    return eglGetDisplay(EGL_DEFAULT_DISPLAY);
}

struct DisplayCloser {
    void operator()(void *display) const { eglTerminate(static_cast<EGLDisplay>(display)); }
};
using DisplayGuard = std::unique_ptr<void, DisplayCloser>;

}  // namespace

int egl_check_dma_buf_extensions(const char *extensions)
{
    if (has_extension(extensions, "EGL_EXT_image_dma_buf_import") &&
        has_extension(extensions, "EGL_EXT_image_dma_buf_import_modifiers"))
        return 0;
    fprintf(stderr, "Required EGL extensions not supported: %s\n", extensions ? extensions : "(null)");
    return -1;
}

int egl_context_init(EglContext *ctx, const FrameMetadata *frame)
{
    if (!ctx)
        return -1;
    *ctx = {EGL_NO_DISPLAY, nullptr, EGL_NO_CONTEXT};

    EGLDisplay raw = open_display();
    if (raw == EGL_NO_DISPLAY) {
        fprintf(stderr, "eglGetDisplay failed\n");
        return -1;
    }
    if (!eglInitialize(raw, nullptr, nullptr)) {
        fprintf(stderr, "eglInitialize failed\n");
        return -1;
    }
    DisplayGuard display(raw);

    // A memory frame is uploaded, not imported, so it needs no dma-buf import.
    if (frame && !egl_frame_is_memory(frame) && egl_check_dma_buf_extensions(eglQueryString(raw, EGL_EXTENSIONS)) != 0)
        return -1;

    const EGLint config_attrs[] = {
        EGL_SURFACE_TYPE,
        EGL_PBUFFER_BIT,
        EGL_RENDERABLE_TYPE,
        EGL_OPENGL_ES2_BIT,
        EGL_RED_SIZE,
        8,
        EGL_GREEN_SIZE,
        8,
        EGL_BLUE_SIZE,
        8,
        EGL_NONE,
    };
    EGLConfig config = nullptr;
    EGLint count = 0;
    if (!eglChooseConfig(raw, config_attrs, &config, 1, &count) || count < 1) {
        fprintf(stderr, "eglChooseConfig failed\n");
        return -1;
    }
    eglBindAPI(EGL_OPENGL_ES_API);
    const EGLint context_attrs[] = {EGL_CONTEXT_CLIENT_VERSION, 2, EGL_NONE};
    EGLContext context = eglCreateContext(raw, config, EGL_NO_CONTEXT, context_attrs);
    if (context == EGL_NO_CONTEXT) {
        fprintf(stderr, "eglCreateContext failed\n");
        return -1;
    }
    if (!eglMakeCurrent(raw, EGL_NO_SURFACE, EGL_NO_SURFACE, context)) {
        fprintf(stderr, "eglMakeCurrent failed\n");
        eglDestroyContext(raw, context);
        return -1;
    }
    ctx->display = display.release();
    ctx->config = config;
    ctx->context = context;
    return 0;
}

void egl_context_cleanup(EglContext *ctx)
{
    if (!ctx)
        return;
    if (ctx->display != EGL_NO_DISPLAY) {
        if (ctx->context != EGL_NO_CONTEXT && eglGetCurrentContext() == ctx->context)
            eglMakeCurrent(ctx->display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
        if (ctx->context != EGL_NO_CONTEXT)
            eglDestroyContext(ctx->display, ctx->context);
        eglTerminate(ctx->display);
    }
    ctx->display = EGL_NO_DISPLAY;
    ctx->context = EGL_NO_CONTEXT;
    ctx->config = nullptr;
}

int egl_load_entry_points()
{
    p_eglCreateImageKHR = reinterpret_cast<PFNEGLCREATEIMAGEKHRPROC>(eglGetProcAddress("eglCreateImageKHR"));
    p_eglDestroyImageKHR = reinterpret_cast<PFNEGLDESTROYIMAGEKHRPROC>(eglGetProcAddress("eglDestroyImageKHR"));
    p_glEGLImageTargetTexture2DOES =
        reinterpret_cast<PFNGLEGLIMAGETARGETTEXTURE2DOESPROC>(eglGetProcAddress("glEGLImageTargetTexture2DOES"));
    return p_eglCreateImageKHR && p_eglDestroyImageKHR && p_glEGLImageTargetTexture2DOES ? 0 : -1;
}
