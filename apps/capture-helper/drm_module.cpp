#include "apps/capture-helper/drm_module.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "apps/capture-helper/scenario.h"
#include "apps/capture-helper/virtual_display.h"

namespace {

constexpr unsigned kDrmMajor = 226;

// The world in use, or nullptr for the hardware through libdrm. Chosen once
// at start-up, before any thread of the server exists.
VirtualWorld *g_world = nullptr;

// Opens a real device node. Anything but a character device of the DRM major
// is refused before it is opened (opening some device files has side
// effects, and a FIFO would block); the descriptor must then be that same
// node, so a path swapped between the check and the open is refused too.
int open_drm_node(const char *path)
{
    struct stat named {};
    if (stat(path, &named) < 0)
        return -1;
    if (!S_ISCHR(named.st_mode) || major(named.st_rdev) != kDrmMajor) {
        errno = ENODEV;
        return -1;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (fstat(fd, &st) < 0 || st.st_dev != named.st_dev || st.st_ino != named.st_ino) {
        close(fd);
        errno = ENODEV;
        return -1;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) < 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

}  // namespace

int drm_module_init()
{
    return drm_module_init_with(std::getenv("VISTREL_VIRTUAL_DISPLAY"));
}

int drm_module_init_with(const char *virtual_display)
{
    drm_module_shutdown();
    if (!virtual_display || !*virtual_display)
        return 0;
    Scenario scenario;
    std::string error;
    int rc = std::string(virtual_display) == "1"
                 ? scenario_parse(scenario_default_text(), "default world", &scenario, &error)
                 : scenario_load(virtual_display, &scenario, &error);
    if (rc < 0) {
        std::fprintf(stderr, "[Virtual Display] %s\n", error.c_str());
        return -1;
    }
    g_world = vd_world_create(scenario);
    if (!g_world) {
        std::perror("[Virtual Display] cannot build the world");
        return -1;
    }
    return 0;
}

void drm_module_shutdown()
{
    vd_world_destroy(g_world);
    g_world = nullptr;
}

bool drm_module_is_virtual()
{
    return g_world != nullptr;
}

int drm_device_open(const char *path)
{
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    return g_world ? vd_device_open(g_world, path) : open_drm_node(path);
}

void drm_device_close(int fd)
{
    if (fd < 0)
        return;
    if (g_world)
        vd_device_close(g_world, fd);
    else
        close(fd);
}

drmModeResPtr drm_get_resources(int fd)
{
    return g_world ? vd_get_resources(g_world, fd) : drmModeGetResources(fd);
}

void drm_free_resources(drmModeResPtr res)
{
    g_world ? vd_free(res) : drmModeFreeResources(res);
}

// A query of one object by id and the matching free, each forwarded to the
// virtual world when one is in use and to libdrm otherwise.
#define DRM_FORWARD_OBJECT(Ptr, what, What)                                                                            \
    Ptr drm_get_##what(int fd, uint32_t id)                                                                            \
    {                                                                                                                  \
        return g_world ? vd_get_##what(g_world, fd, id) : drmModeGet##What(fd, id);                                    \
    }                                                                                                                  \
    void drm_free_##what(Ptr object)                                                                                   \
    {                                                                                                                  \
        g_world ? vd_free(object) : drmModeFree##What(object);                                                         \
    }

DRM_FORWARD_OBJECT(drmModeConnectorPtr, connector, Connector)
DRM_FORWARD_OBJECT(drmModeEncoderPtr, encoder, Encoder)
DRM_FORWARD_OBJECT(drmModeCrtcPtr, crtc, Crtc)
DRM_FORWARD_OBJECT(drmModeFB2Ptr, fb2, FB2)
DRM_FORWARD_OBJECT(drmModeFBPtr, fb, FB)
DRM_FORWARD_OBJECT(drmModePlanePtr, plane, Plane)
DRM_FORWARD_OBJECT(drmModePropertyPtr, property, Property)
DRM_FORWARD_OBJECT(drmModePropertyBlobPtr, property_blob, PropertyBlob)
#undef DRM_FORWARD_OBJECT

int drm_set_client_cap(int fd, uint64_t capability, uint64_t value)
{
    return g_world ? vd_set_client_cap(g_world, fd, capability, value) : drmSetClientCap(fd, capability, value);
}

drmModePlaneResPtr drm_get_plane_resources(int fd)
{
    return g_world ? vd_get_plane_resources(g_world, fd) : drmModeGetPlaneResources(fd);
}

void drm_free_plane_resources(drmModePlaneResPtr res)
{
    g_world ? vd_free(res) : drmModeFreePlaneResources(res);
}

drmModeObjectPropertiesPtr drm_get_object_properties(int fd, uint32_t object_id, uint32_t object_type)
{
    return g_world ? vd_get_object_properties(g_world, fd, object_id, object_type)
                   : drmModeObjectGetProperties(fd, object_id, object_type);
}

void drm_free_object_properties(drmModeObjectPropertiesPtr props)
{
    g_world ? vd_free(props) : drmModeFreeObjectProperties(props);
}

int drm_close_buffer_handle(int fd, uint32_t handle)
{
    if (handle == 0) {
        errno = EINVAL;
        return -1;
    }
    if (g_world)
        return vd_close_buffer_handle(g_world, fd, handle);
    drm_gem_close request{};
    request.handle = handle;
    return drmIoctl(fd, DRM_IOCTL_GEM_CLOSE, &request);
}

int drm_prime_handle_to_fd(int fd, uint32_t handle, uint32_t flags, int *prime_fd)
{
    if (handle == 0) {
        errno = ENOENT;
        return -1;
    }
    return g_world ? vd_prime_handle_to_fd(g_world, fd, handle, flags, prime_fd)
                   : drmPrimeHandleToFD(fd, handle, static_cast<int>(flags), prime_fd);
}

int drm_crtc_queue_sequence(int fd, uint32_t crtc_id, uint32_t flags, uint64_t sequence, uint64_t *sequence_queued,
                            uint64_t user_data)
{
    if (g_world)
        return vd_crtc_queue_sequence(g_world, fd, crtc_id, flags, sequence, sequence_queued, user_data);
    return drmCrtcQueueSequence(fd, crtc_id, flags, sequence, sequence_queued, user_data);
}

int drm_handle_event(int fd, drmEventContextPtr context)
{
    return g_world ? vd_handle_event(g_world, fd, context) : drmHandleEvent(fd, context);
}

uint64_t drm_event_time_ns(int fd)
{
    if (g_world)
        return vd_event_time_ns(g_world, fd);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return uint64_t(now.tv_sec) * 1000000000ull + uint64_t(now.tv_nsec);
}
