#include "apps/capture-helper/frame_export.h"

#include <drm_fourcc.h>
#include <fcntl.h>
#include <strings.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "apps/capture-helper/drm_module.h"
#include "apps/capture-helper/reply.h"
#include "libs/common/unique_fd.h"
#include "libs/framelink/description.h"

namespace {

// Connector type of a port name's type word; -1 when unknown.
int type_from_word(const char *word)
{
    if (!strcasecmp(word, "dp") || !strcasecmp(word, "displayport"))
        return DRM_MODE_CONNECTOR_DisplayPort;
    if (!strcasecmp(word, "hdmi"))
        return DRM_MODE_CONNECTOR_HDMIA;
    if (!strcasecmp(word, "dvi"))
        return DRM_MODE_CONNECTOR_DVII;
    if (!strcasecmp(word, "vga") || !strcasecmp(word, "analog"))
        return DRM_MODE_CONNECTOR_VGA;
    if (!strcasecmp(word, "edp"))
        return DRM_MODE_CONNECTOR_eDP;
    if (!strcasecmp(word, "virtual") || !strncasecmp(word, "virtual-", 8) || !strcasecmp(word, "vkms") ||
        !strcasecmp(word, "dp-virt"))
        return DRM_MODE_CONNECTOR_VIRTUAL;
    return -1;
}

}  // namespace

int find_port_name_from_dri(const char *port_name, const char *device_path, DrmDevice *out_device,
                            uint32_t *out_connector_id, uint32_t *out_crtc_id)
{
    out_device->reset();
    DrmDevice device(device_path ? drm_device_open(device_path) : (errno = EINVAL, -1));
    int open_errno = errno;

    char name[128];
    snprintf(name, sizeof(name), "%s", port_name ? port_name : "");
    char *dash = strrchr(name, '-');
    if (!dash)
        return 0;
    *dash = '\0';
    uint32_t index = 0;
    for (const char *p = dash + 1; *p >= '0' && *p <= '9'; p++)
        index = index * 10 + static_cast<uint32_t>(*p - '0');

    int type = type_from_word(name);
    if (type < 0) {
        errno = EINVAL;
        perror("invalid type_str");
        return -2;
    }

    int fd = device.get();
    DrmResources res(fd >= 0 ? drm_get_resources(fd) : nullptr);
    if (!res) {
        if (fd < 0)
            errno = open_errno;
        perror("drmModeGetResources");
        return -1;
    }

    for (int i = 0; i < res->count_connectors; i++) {
        DrmConnector conn(drm_get_connector(fd, res->connectors[i]));
        if (!conn)
            continue;
        if (conn->connection != DRM_MODE_CONNECTED || conn->connector_type != static_cast<uint32_t>(type) ||
            conn->connector_type_id != index)
            continue;
        uint32_t crtc_id = 0;
        for (int e = 0; e < conn->count_encoders; e++) {
            DrmEncoder enc(drm_get_encoder(fd, conn->encoders[e]));
            if (!enc)
                continue;
            fprintf(stderr, "  [DEBUG] Encoder %u crtc_id=%u\n", enc->encoder_id, enc->crtc_id);
            crtc_id = enc->crtc_id;
            if (crtc_id != 0)
                break;
        }
        *out_connector_id = conn->connector_id;
        *out_crtc_id = crtc_id;
        *out_device = std::move(device);
        return 1;
    }
    return 0;
}

int fill_meta_data(int drm_fd, uint32_t crtc_id, PlaneEntry entries[4], int *count)
{
    *count = 0;
    uint32_t fb_id = 0;
    uint32_t refresh = 0;
    {
        DrmCrtc crtc(drm_get_crtc(drm_fd, crtc_id));
        if (!crtc)
            return -1;
        fb_id = crtc->buffer_id;
        refresh = crtc->mode.vrefresh;
    }
    if (fb_id == 0) {
        errno = ENOENT;
        return -1;
    }
    return export_framebuffer(drm_fd, fb_id, refresh, entries, count);
}

namespace {

// Closes the distinct buffer handles a framebuffer query created (planes of
// one buffer object share one), once their exports exist.
void close_handles(int drm_fd, const uint32_t *handles, int n)
{
    for (int i = 0; i < n; i++) {
        bool seen = handles[i] == 0;
        for (int j = 0; j < i && !seen; j++)
            seen = handles[j] == handles[i];
        if (!seen)
            drm_close_buffer_handle(drm_fd, handles[i]);
    }
}

}  // namespace

int export_framebuffer(int drm_fd, uint32_t fb_id, uint32_t refresh, PlaneEntry entries[4], int *count, bool quiet)
{
    *count = 0;
    DrmFb2 fb2(drm_get_fb2(drm_fd, fb_id));
    if (fb2) {
        for (int plane = 0; plane < 4; plane++) {
            int prime = -1;
            if (drm_prime_handle_to_fd(drm_fd, fb2->handles[plane], DRM_CLOEXEC, &prime) != 0 || prime < 0) {
                // Planes past the buffer's last have no handle.
                if (!quiet || fb2->handles[plane] != 0)
                    perror("drmPrimeHandleToFD");
                continue;
            }
            PlaneEntry &e = entries[*count];
            e = PlaneEntry{};
            e.fd.reset(prime);
            e.stride = fb2->pitches[plane];
            e.offset = fb2->offsets[plane];
            if (plane == 0) {
                e.width = fb2->width;
                e.height = fb2->height;
                e.format = fb2->pixel_format;
                e.modifier = fb2->modifier;
                e.full = 1;
                e.refresh = refresh;
            }
            (*count)++;
        }
        close_handles(drm_fd, fb2->handles, 4);
        return 0;
    }

    DrmFb fb(drm_get_fb(drm_fd, fb_id));
    if (!fb)
        return -1;
    if (fb->handle == 0) {
        errno = EACCES;
        return -1;
    }
    int prime = -1;
    int rc = drm_prime_handle_to_fd(drm_fd, fb->handle, DRM_CLOEXEC, &prime);
    int saved = errno;
    close_handles(drm_fd, &fb->handle, 1);
    if (rc != 0 || prime < 0) {
        errno = saved;
        perror("drmPrimeHandleToFD(fb)");
        return -1;
    }
    entries[0] = PlaneEntry{};
    entries[0].fd.reset(prime);
    entries[0].width = fb->width;
    entries[0].height = fb->height;
    entries[0].format = DRM_FORMAT_XRGB8888;
    entries[0].stride = fb->pitch;
    entries[0].full = 1;
    *count = 1;
    return 0;
}

namespace {

// The description of the entries: plane 0's size, format, modifier and
// refresh, every plane's stride and offset.
framelink::Description describe(const PlaneEntry *entries, int count)
{
    framelink::Description d{};
    d.width = entries[0].width;
    d.height = entries[0].height;
    d.format = entries[0].format;
    d.modifier = entries[0].modifier;
    d.refresh = entries[0].refresh;
    d.plane_count = count;
    for (int i = 0; i < count; i++)
        d.planes[i] = {entries[i].stride, entries[i].offset};
    return d;
}

// An owned copy of text; nullptr on allocation failure.
char *owned_copy(const std::string &text, int *out_length)
{
    char *copy = static_cast<char *>(malloc(text.size() + 1));
    if (!copy)
        return nullptr;
    memcpy(copy, text.c_str(), text.size() + 1);
    if (out_length)
        *out_length = int(text.size());
    return copy;
}

}  // namespace

char *serialize_metadata(const PlaneEntry *entry, int *out_length)
{
    try {
        return owned_copy(framelink::write_description(describe(entry, 1)), out_length);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

char *join(const char *const *items, const char *separator)
{
    if (!items || !separator)
        return nullptr;
    size_t sep = strlen(separator);
    size_t total = 1;
    for (size_t i = 0; items[i]; i++)
        total += strlen(items[i]) + (i ? sep : 0);
    char *out = static_cast<char *>(malloc(total));
    if (!out)
        return nullptr;
    char *p = out;
    for (size_t i = 0; items[i]; i++) {
        if (i) {
            memcpy(p, separator, sep);
            p += sep;
        }
        size_t len = strlen(items[i]);
        memcpy(p, items[i], len);
        p += len;
    }
    *p = '\0';
    return out;
}

bool frame_description(const PlaneEntry *entries, int count, std::string *out)
{
    out->clear();
    if (count <= 0)
        return true;
    try {
        *out = framelink::write_description(describe(entries, count));
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

int send_fd_with_metadata(int client_socket, const PlaneEntry *entries, int count)
{
    if (count < 0 || count > UDS_MAX_PLANES) {
        errno = EINVAL;
        return -1;
    }
    std::string text;
    if (!frame_description(entries, count, &text)) {
        perror("serialize_metadata");
        return -1;
    }
    int fds[UDS_MAX_PLANES] = {};
    for (int i = 0; i < count; i++)
        fds[i] = entries[i].fd.get();
    return send_message(client_socket, text.c_str(), fds, count, 1);
}
