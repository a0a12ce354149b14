#include "apps/capture-helper/scanout_follow.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "apps/capture-helper/drm_module.h"

namespace {

bool is_primary(int drm_fd, uint32_t plane_id)
{
    DrmObjectProperties props(drm_get_object_properties(drm_fd, plane_id, DRM_MODE_OBJECT_PLANE));
    if (!props)
        return false;
    for (uint32_t i = 0; i < props->count_props; i++) {
        DrmProperty prop(drm_get_property(drm_fd, props->props[i]));
        if (prop && std::strcmp(prop->name, "type") == 0)
            return props->prop_values[i] == DRM_PLANE_TYPE_PRIMARY;
    }
    return false;
}

// The framebuffer on the follower's plane now; -1 when it cannot be read.
int64_t current_fb(const ScanoutFollower &f, int drm_fd)
{
    if (f.plane_id) {
        DrmPlane plane(drm_get_plane(drm_fd, f.plane_id));
        return plane ? int64_t(plane->fb_id) : -1;
    }
    DrmCrtc crtc(drm_get_crtc(drm_fd, f.crtc_id));
    return crtc ? int64_t(crtc->buffer_id) : -1;
}

uint32_t refresh_of(int drm_fd, uint32_t crtc_id)
{
    DrmCrtc crtc(drm_get_crtc(drm_fd, crtc_id));
    return crtc && crtc->mode_valid ? crtc->mode.vrefresh : 0;
}

}  // namespace

int scanout_follower_init(ScanoutFollower *follower, int drm_fd, uint32_t crtc_id)
{
    *follower = ScanoutFollower{};
    follower->crtc_id = crtc_id;
    // The CRTC's index decides which planes may drive it.
    int index = -1;
    {
        DrmResources res(drm_get_resources(drm_fd));
        if (!res)
            return -1;
        for (int i = 0; i < res->count_crtcs; i++)
            if (res->crtcs[i] == crtc_id)
                index = i;
    }
    if (index < 0) {
        errno = ENOENT;
        return -1;
    }
    if (drm_set_client_cap(drm_fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1) != 0)
        return 0;
    DrmPlaneResources planes(drm_get_plane_resources(drm_fd));
    if (!planes)
        return 0;
    for (uint32_t i = 0; i < planes->count_planes; i++) {
        DrmPlane plane(drm_get_plane(drm_fd, planes->planes[i]));
        if (!plane || !(plane->possible_crtcs & (1u << index)))
            continue;
        if (!is_primary(drm_fd, plane->plane_id))
            continue;
        // A primary plane that may drive several CRTCs is this CRTC's when
        // it is on it now or on none.
        if (plane->crtc_id && plane->crtc_id != crtc_id)
            continue;
        follower->plane_id = plane->plane_id;
        break;
    }
    return 0;
}

int scanout_follower_check(ScanoutFollower *f, int drm_fd, uint64_t sequence, ScanoutUpdate *update)
{
    const int64_t now = current_fb(*f, drm_fd);
    if (now < 0)
        return -1;
    const uint32_t fb_id = uint32_t(now);
    if (f->started && fb_id == f->last_fb)
        return 0;
    f->last_fb = fb_id;

    *update = ScanoutUpdate{};
    ScanoutRecord &r = update->record;
    r.sequence = sequence;
    r.plane = UDS_PLANE_PRIMARY;
    r.length = UDS_SCANOUT_RECORD_LENGTH;
    if (fb_id == 0) {
        r.type = UDS_EVENT_DARK;
        f->started = true;
        return 1;
    }

    // From here a failure is not retried until the id changes again.
    f->started = true;
    const uint32_t refresh = refresh_of(drm_fd, f->crtc_id);
    if (export_framebuffer(drm_fd, fb_id, refresh, update->entries, &update->count, true) < 0)
        return -1;
    struct stat st {};
    if (update->count == 0 || !update->entries[0].full || fstat(update->entries[0].fd.get(), &st) < 0) {
        const int why = update->count == 0 ? EACCES : errno;
        *update = ScanoutUpdate{};
        errno = why;
        return -1;
    }
    const PlaneEntry &p0 = update->entries[0];
    auto known = std::find_if(f->buffers.begin(), f->buffers.end(), [&](const ScanoutBuffer &b) {
        return b.dev == st.st_dev && b.ino == st.st_ino;
    });
    ScanoutBuffer shown;
    if (known != f->buffers.end()) {
        shown = *known;
        f->buffers.erase(known);
        // The client has it: the exports go again at once.
        for (auto &e : update->entries)
            e.fd.reset();
        update->count = 0;
        r.type = UDS_EVENT_BUFFER_SHOWN;
    } else {
        if (!frame_description(update->entries, update->count, &update->text)) {
            *update = ScanoutUpdate{};
            errno = ENOMEM;
            return -1;
        }
        shown.buffer_id = f->next_buffer_id++;
        shown.dev = st.st_dev;
        shown.ino = st.st_ino;
        shown.width = p0.width;
        shown.height = p0.height;
        shown.format = p0.format;
        shown.modifier = p0.modifier;
        if (f->buffers.size() >= UDS_SCANOUT_MAX_BUFFERS)
            f->buffers.erase(f->buffers.begin());
        r.type = UDS_EVENT_BUFFER_NEW;
        r.num_fds = uint32_t(update->count);
        r.text_length = uint32_t(update->text.size());
        r.length += r.text_length;
    }
    f->buffers.push_back(shown);
    r.buffer_id = shown.buffer_id;
    r.fb_id = fb_id;
    r.width = shown.width;
    r.height = shown.height;
    r.format = shown.format;
    r.modifier = shown.modifier;
    r.refresh = refresh;
    if (f->told_any) {
        if (shown.width != f->told.width || shown.height != f->told.height)
            r.changed |= UDS_SCANOUT_CHANGED_SIZE;
        if (shown.format != f->told.format)
            r.changed |= UDS_SCANOUT_CHANGED_FORMAT;
        if (shown.modifier != f->told.modifier)
            r.changed |= UDS_SCANOUT_CHANGED_MODIFIER;
    }
    f->told = shown;
    f->told_any = true;
    return 1;
}
