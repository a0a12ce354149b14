#include "apps/capture/source/egl_context.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>

PFNEGLCREATEIMAGEKHRPROC p_eglCreateImageKHR = nullptr;
PFNEGLDESTROYIMAGEKHRPROC p_eglDestroyImageKHR = nullptr;
PFNGLEGLIMAGETARGETTEXTURE2DOESPROC p_glEGLImageTargetTexture2DOES = nullptr;

namespace {

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

template <typename Proc>
Proc egl_proc(const char *name)
{
    return reinterpret_cast<Proc>(eglGetProcAddress(name));
}

// The device platform on the render node, where EGL offers a device for
// one that exists; EGL_NO_DISPLAY otherwise.
EGLDisplay open_render_node_display(const char *client)
{
    if (!has_extension(client, "EGL_EXT_platform_device") || !has_extension(client, "EGL_EXT_device_enumeration"))
        return EGL_NO_DISPLAY;
    auto query_devices = egl_proc<PFNEGLQUERYDEVICESEXTPROC>("eglQueryDevicesEXT");
    auto query_string = egl_proc<PFNEGLQUERYDEVICESTRINGEXTPROC>("eglQueryDeviceStringEXT");
    auto get_platform = egl_proc<PFNEGLGETPLATFORMDISPLAYEXTPROC>("eglGetPlatformDisplayEXT");
    if (!query_devices || !query_string || !get_platform)
        return EGL_NO_DISPLAY;
    EGLDeviceEXT devices[16];
    EGLint count = 0;
    if (!query_devices(16, devices, &count))
        return EGL_NO_DISPLAY;
    for (EGLint i = 0; i < count; ++i) {
        const char *node = query_string(devices[i], EGL_DRM_RENDER_NODE_FILE_EXT);
        if (node && *node && access(node, F_OK) == 0)
            return get_platform(EGL_PLATFORM_DEVICE_EXT, devices[i], nullptr);
    }
    return EGL_NO_DISPLAY;
}

// A display below every window system, whatever DISPLAY and
// WAYLAND_DISPLAY say: the device platform on a render node, else the
// surfaceless platform. Never the default display, which would connect to
// a compositor or an X server named in the environment.
EGLDisplay open_display()
{
    const char *client = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    EGLDisplay display = open_render_node_display(client);
    if (display != EGL_NO_DISPLAY)
        return display;
    auto get_platform = egl_proc<PFNEGLGETPLATFORMDISPLAYEXTPROC>("eglGetPlatformDisplayEXT");
    if (has_extension(client, "EGL_MESA_platform_surfaceless") && get_platform) {
        display = get_platform(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
        if (display == EGL_NO_DISPLAY)
            fprintf(stderr, "[Capture] EGL cannot open a surfaceless display (0x%x)\n", eglGetError());
        return display;
    }
    if (!client || !*client) {
        fputs("[Capture] no EGL library answers: no EGL driver is installed or found (libEGL's vendor files)\n",
              stderr);
        return EGL_NO_DISPLAY;
    }
    fprintf(stderr,
            "[Capture] EGL offers neither a render node's device nor the surfaceless platform (client extensions: "
            "%s)\n",
            client);
    return EGL_NO_DISPLAY;
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
    fputs("[Capture] Missing EGL extensions:", stderr);
    for (const char *name : {"EGL_EXT_image_dma_buf_import", "EGL_EXT_image_dma_buf_import_modifiers"})
        if (!has_extension(extensions, name))
            fprintf(stderr, " %s", name);
    fputc('\n', stderr);
    return -1;
}

int egl_context_init(EglContext *ctx, const FrameMetadata *frame)
{
    if (!ctx)
        return -1;
    *ctx = {EGL_NO_DISPLAY, nullptr, EGL_NO_CONTEXT};

    // open_display says why when it has no display.
    EGLDisplay raw = open_display();
    if (raw == EGL_NO_DISPLAY)
        return -1;
    if (!eglInitialize(raw, nullptr, nullptr)) {
        fprintf(stderr, "eglInitialize failed (0x%x)\n", eglGetError());
        return -1;
    }
    DisplayGuard display(raw);

    // Without the dma-buf import a linear buffer is read through its mapping
    // and uploaded (as a memory frame always is); only a buffer that cannot
    // be read so needs the import.
    if (frame && !egl_frame_is_memory(frame) && !egl_display_imports_dma_buf(raw) && !frame_map_readable(frame)) {
        egl_check_dma_buf_extensions(eglQueryString(raw, EGL_EXTENSIONS));
        frame_map_check(frame);
        return -1;
    }

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

bool egl_display_imports_dma_buf(EGLDisplay display)
{
    const char *extensions = display == EGL_NO_DISPLAY ? nullptr : eglQueryString(display, EGL_EXTENSIONS);
    return has_extension(extensions, "EGL_EXT_image_dma_buf_import") &&
           has_extension(extensions, "EGL_EXT_image_dma_buf_import_modifiers");
}

int egl_context_ensure(EglContext *ctx, const FrameMetadata *frame)
{
    if (!ctx)
        return -1;
    if (ctx->display != EGL_NO_DISPLAY)
        return 0;
    if (egl_context_init(ctx, frame) != 0)
        return -1;
    if (egl_load_entry_points() != 0) {
        fputs("Failed to load required EGL/GLES extension functions.\n", stderr);
        egl_context_cleanup(ctx);
        return -1;
    }
    return 0;
}

int egl_load_entry_points()
{
    p_eglCreateImageKHR = reinterpret_cast<PFNEGLCREATEIMAGEKHRPROC>(eglGetProcAddress("eglCreateImageKHR"));
    p_eglDestroyImageKHR = reinterpret_cast<PFNEGLDESTROYIMAGEKHRPROC>(eglGetProcAddress("eglDestroyImageKHR"));
    p_glEGLImageTargetTexture2DOES =
        reinterpret_cast<PFNGLEGLIMAGETARGETTEXTURE2DOESPROC>(eglGetProcAddress("glEGLImageTargetTexture2DOES"));
    return p_eglCreateImageKHR && p_eglDestroyImageKHR && p_glEGLImageTargetTexture2DOES ? 0 : -1;
}
