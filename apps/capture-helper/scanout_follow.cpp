#include "apps/capture-helper/scanout_follow.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
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

int scanout_identify_buffer(std::vector<ScanoutBuffer> *set, size_t max, uint64_t *next_id, int drm_fd,
                            uint32_t fb_id, uint32_t refresh, PlaneEntry *entries, int *count, std::string *text,
                            ScanoutBuffer *shown, const std::vector<uint64_t> *keep)
{
    auto close_all = [&] {
        for (int i = 0; i < UDS_MAX_PLANES; i++)
            entries[i].fd.reset();
        *count = 0;
    };
    if (export_framebuffer(drm_fd, fb_id, refresh, entries, count, true) < 0)
        return -1;
    struct stat st {};
    if (*count == 0 || !entries[0].full || fstat(entries[0].fd.get(), &st) < 0) {
        const int why = *count == 0 ? EACCES : errno;
        close_all();
        errno = why;
        return -1;
    }
    auto known = std::find_if(set->begin(), set->end(),
                              [&](const ScanoutBuffer &b) { return b.dev == st.st_dev && b.ino == st.st_ino; });
    if (known != set->end()) {
        *shown = *known;
        set->erase(known);
        set->push_back(*shown);
        // The client has it: the exports go again at once.
        close_all();
        return 0;
    }
    if (!frame_description(entries, *count, text)) {
        close_all();
        errno = ENOMEM;
        return -1;
    }
    const PlaneEntry &p0 = entries[0];
    *shown = ScanoutBuffer{};
    shown->buffer_id = (*next_id)++;
    shown->dev = st.st_dev;
    shown->ino = st.st_ino;
    shown->width = p0.width;
    shown->height = p0.height;
    shown->format = p0.format;
    shown->modifier = p0.modifier;
    if (set->size() >= max) {
        // The least recently shown buffer that no plane shows goes.
        auto gone = std::find_if(set->begin(), set->end(), [&](const ScanoutBuffer &b) {
            return !keep || std::find(keep->begin(), keep->end(), b.buffer_id) == keep->end();
        });
        set->erase(gone != set->end() ? gone : set->begin());
    }
    set->push_back(*shown);
    return 1;
}

int scanout_crtc_index(int drm_fd, uint32_t crtc_id)
{
    DrmResources res(drm_get_resources(drm_fd));
    if (!res)
        return -1;
    for (int i = 0; i < res->count_crtcs; i++)
        if (res->crtcs[i] == crtc_id)
            return i;
    errno = ENOENT;
    return -1;
}

int scanout_follower_init(ScanoutFollower *follower, int drm_fd, uint32_t crtc_id)
{
    *follower = ScanoutFollower{};
    follower->crtc_id = crtc_id;
    // The CRTC's index decides which planes may drive it.
    const int index = scanout_crtc_index(drm_fd, crtc_id);
    if (index < 0)
        return -1;
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
        f->told_fb = 0;
        return 1;
    }

    // From here a failure is not retried until the id changes again.
    f->started = true;
    const uint32_t refresh = refresh_of(drm_fd, f->crtc_id);
    ScanoutBuffer shown;
    const int fresh = scanout_identify_buffer(&f->buffers, UDS_SCANOUT_MAX_BUFFERS, &f->next_buffer_id, drm_fd, fb_id, refresh,
                                      update->entries, &update->count, &update->text, &shown);
    if (fresh < 0) {
        const int why = errno;
        *update = ScanoutUpdate{};
        errno = why;
        return -1;
    }
    if (fresh) {
        r.type = UDS_EVENT_BUFFER_NEW;
        r.num_fds = uint32_t(update->count);
        r.text_length = uint32_t(update->text.size());
        r.length += r.text_length;
    } else {
        r.type = UDS_EVENT_BUFFER_SHOWN;
    }
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
    f->told_fb = fb_id;
    f->told_any = true;
    return 1;
}

namespace {

// The cursor plane's properties the follower reads at each blank, by name.
struct CursorProperty {
    const char *name;
    uint32_t CursorFollower::*id;
};
constexpr CursorProperty kCursorProperties[] = {
    {"FB_ID", &CursorFollower::prop_fb}, {"CRTC_ID", &CursorFollower::prop_crtc}, {"CRTC_X", &CursorFollower::prop_x},
    {"CRTC_Y", &CursorFollower::prop_y}, {"CRTC_W", &CursorFollower::prop_w},     {"CRTC_H", &CursorFollower::prop_h},
};

}  // namespace

void cursor_follower_init(CursorFollower *f, int drm_fd, uint32_t crtc_id)
{
    *f = CursorFollower{};
    f->crtc_id = crtc_id;
    const int index = scanout_crtc_index(drm_fd, crtc_id);
    // The plane's position and size are atomic properties: listed only for
    // a file with the atomic capability (which brings universal planes).
    if (index < 0 || drm_set_client_cap(drm_fd, DRM_CLIENT_CAP_ATOMIC, 1) != 0)
        return;
    DrmPlaneResources planes(drm_get_plane_resources(drm_fd));
    for (uint32_t i = 0; planes && i < planes->count_planes && !f->plane_id; i++) {
        DrmPlane plane(drm_get_plane(drm_fd, planes->planes[i]));
        if (!plane || !(plane->possible_crtcs & (1u << index)))
            continue;
        if (plane->crtc_id && plane->crtc_id != crtc_id)
            continue;
        DrmObjectProperties props(drm_get_object_properties(drm_fd, plane->plane_id, DRM_MODE_OBJECT_PLANE));
        if (!props)
            continue;
        CursorFollower found = *f;
        bool cursor = false;
        for (uint32_t p = 0; p < props->count_props; p++) {
            DrmProperty prop(drm_get_property(drm_fd, props->props[p]));
            if (!prop)
                continue;
            if (std::strcmp(prop->name, "type") == 0)
                cursor = props->prop_values[p] == DRM_PLANE_TYPE_CURSOR;
            for (const CursorProperty &known : kCursorProperties)
                if (std::strcmp(prop->name, known.name) == 0)
                    found.*known.id = prop->prop_id;
        }
        if (!cursor)
            continue;
        if (std::all_of(std::begin(kCursorProperties), std::end(kCursorProperties),
                        [&](const CursorProperty &known) { return found.*known.id != 0; })) {
            found.plane_id = plane->plane_id;
            *f = found;
        }
        // A cursor plane whose properties are missing cannot be followed;
        // another may still drive this CRTC.
    }
}

namespace {

struct CursorState {
    uint32_t fb_id = 0, crtc_id = 0, w = 0, h = 0;
    int32_t x = 0, y = 0;
};

bool read_cursor(const CursorFollower &f, int drm_fd, CursorState *out)
{
    DrmObjectProperties props(drm_get_object_properties(drm_fd, f.plane_id, DRM_MODE_OBJECT_PLANE));
    if (!props)
        return false;
    int seen = 0;
    for (uint32_t i = 0; i < props->count_props; i++) {
        const uint32_t id = props->props[i];
        const uint64_t v = props->prop_values[i];
        seen += id == f.prop_fb || id == f.prop_crtc || id == f.prop_x || id == f.prop_y || id == f.prop_w ||
                id == f.prop_h;
        if (id == f.prop_fb)
            out->fb_id = uint32_t(v);
        else if (id == f.prop_crtc)
            out->crtc_id = uint32_t(v);
        else if (id == f.prop_x)
            out->x = int32_t(int64_t(v));
        else if (id == f.prop_y)
            out->y = int32_t(int64_t(v));
        else if (id == f.prop_w)
            out->w = uint32_t(v);
        else if (id == f.prop_h)
            out->h = uint32_t(v);
    }
    return seen == 6;
}

}  // namespace

int cursor_follower_check(CursorFollower *f, int drm_fd, uint64_t sequence, CursorUpdate *update)
{
    *update = CursorUpdate{};
    CursorRecord &r = update->record;
    r.sequence = sequence;
    r.length = UDS_CURSOR_RECORD_LENGTH;
    CursorState now;
    if (f->plane_id && !read_cursor(*f, drm_fd, &now))
        f->plane_id = 0;  // unreadable from here on: told once, then quiet
    if (!f->plane_id) {
        if (f->absent_told)
            return 0;
        f->absent_told = true;
        r.type = UDS_EVENT_NO_CURSOR;
        return 1;
    }
    const bool visible = now.fb_id != 0 && now.crtc_id == f->crtc_id;
    if (!visible)
        now = CursorState{};  // a hidden cursor's place is not news
    // An image that could not be exported is not tried again (nor reported
    // at every move) until the plane shows another.
    if (visible && now.fb_id == f->refused_fb)
        return 0;
    f->refused_fb = 0;
    if (f->started && visible == f->visible && now.fb_id == f->fb_id && now.x == f->x && now.y == f->y &&
        now.w == f->crtc_width && now.h == f->crtc_height)
        return 0;
    // From here a failure is not retried until the state changes again.
    f->started = true;
    f->visible = visible;
    f->fb_id = now.fb_id;
    f->x = now.x;
    f->y = now.y;
    f->crtc_width = now.w;
    f->crtc_height = now.h;
    r.type = UDS_EVENT_CURSOR_STATE;
    if (visible) {
        const bool held = f->image_fb == now.fb_id &&
                          std::any_of(f->images.begin(), f->images.end(),
                                      [&](const ScanoutBuffer &b) { return b.buffer_id == f->image.buffer_id; });
        if (held) {
            // The same image: it becomes the most recently shown.
            auto it = std::find_if(f->images.begin(), f->images.end(),
                                   [&](const ScanoutBuffer &b) { return b.buffer_id == f->image.buffer_id; });
            std::rotate(it, it + 1, f->images.end());
        } else {
            f->image_fb = 0;
            const int fresh = scanout_identify_buffer(&f->images, UDS_CURSOR_MAX_IMAGES, &f->next_buffer_id, drm_fd, now.fb_id,
                                              0, update->entries, &update->count, &update->text, &f->image);
            if (fresh < 0) {
                // The client is told the cursor is hidden rather than left
                // drawing the last image it had.
                fprintf(stderr,
                        "[Helper Thread] cursor image (framebuffer %u) cannot be exported: %s; told as hidden\n",
                        now.fb_id, strerror(errno));
                *update = CursorUpdate{};
                update->record.type = UDS_EVENT_CURSOR_STATE;
                update->record.sequence = sequence;
                update->record.length = UDS_CURSOR_RECORD_LENGTH;
                f->refused_fb = now.fb_id;
                f->visible = false;
                return 1;
            }
            f->image_fb = now.fb_id;
            if (fresh) {
                r.type = UDS_EVENT_CURSOR_NEW;
                r.num_fds = uint32_t(update->count);
                r.text_length = uint32_t(update->text.size());
                r.length += r.text_length;
            }
        }
        r.buffer_id = f->image.buffer_id;
        r.fb_id = now.fb_id;
        r.visible = 1;
        r.x = now.x;
        r.y = now.y;
        r.crtc_width = now.w;
        r.crtc_height = now.h;
        r.width = f->image.width;
        r.height = f->image.height;
        r.format = f->image.format;
        r.modifier = f->image.modifier;
    }
    return 1;
}
