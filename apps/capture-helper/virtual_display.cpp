#include "apps/capture-helper/virtual_display.h"

#include <drm_fourcc.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "apps/capture-helper/vd_clock.h"

namespace {

// The kernel refuses new events once a file has this many outstanding.
constexpr size_t kMaxOutstandingEvents = 128;

VdOpenFile *open_file(VirtualWorld *w, int fd)
{
    auto it = w->files.find(fd);
    return it == w->files.end() ? nullptr : it->second.get();
}

template <typename T>
T *alloc_array(size_t n)
{
    return static_cast<T *>(calloc(std::max<size_t>(n, 1), sizeof(T)));
}

// Frees a record made by alloc_array and the arrays it points to (made the
// same way); a null record frees nothing.
template <typename Record, typename... Arrays>
void free_with_arrays(Record *r, Arrays Record::*...arrays)
{
    if (r)
        (free(r->*arrays), ...);
    free(r);
}

// The object an id named, or null with errno ENOENT.
template <typename T>
T *known(T *object)
{
    if (!object)
        errno = ENOENT;
    return object;
}

// The element of a scenario list with the id, or null.
template <typename List>
auto *find_id(List &list, uint32_t id)
{
    for (auto &item : list)
        if (item.id == id)
            return &item;
    return static_cast<decltype(&*list.begin())>(nullptr);
}

drmModeModeInfo make_mode(uint32_t w, uint32_t h, uint32_t hz)
{
    drmModeModeInfo m{};
    m.hdisplay = uint16_t(w);
    m.hsync_start = uint16_t(w + 48);
    m.hsync_end = uint16_t(w + 80);
    m.htotal = uint16_t(w + 160);
    m.vdisplay = uint16_t(h);
    m.vsync_start = uint16_t(h + 3);
    m.vsync_end = uint16_t(h + 8);
    m.vtotal = uint16_t(h + 41);
    m.clock = uint32_t(uint64_t(m.htotal) * m.vtotal * hz / 1000);
    m.vrefresh = hz;
    m.flags = DRM_MODE_FLAG_PHSYNC | DRM_MODE_FLAG_NVSYNC;
    m.type = DRM_MODE_TYPE_PREFERRED | DRM_MODE_TYPE_DRIVER;
    snprintf(m.name, sizeof(m.name), "%ux%u", w, h);
    return m;
}

}  // namespace

VirtualWorld *vd_world_create(const Scenario &scenario)
{
    return vd_clock_create_world(scenario);
}

void vd_world_stop(VirtualWorld *w)
{
    vd_clock_stop(w);
}

void vd_world_destroy(VirtualWorld *w)
{
    if (!w)
        return;
    vd_clock_stop(w);
    delete w;
}

int vd_device_open(VirtualWorld *w, const char *path)
{
    std::lock_guard<std::mutex> lock(w->mutex);
    if (w->stopped) {
        errno = ENODEV;
        return -1;
    }
    for (auto &d : w->devices) {
        if (d->desc.path != path)
            continue;
        auto of = std::make_unique<VdOpenFile>();
        of->device = d.get();
        of->event.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!of->event)
            return -1;
        int fd = of->event.get();
        w->files[fd] = std::move(of);
        return fd;
    }
    errno = ENODEV;
    return -1;
}

void vd_device_close(VirtualWorld *w, int fd)
{
    std::unique_ptr<VdOpenFile> gone;
    std::lock_guard<std::mutex> lock(w->mutex);
    auto it = w->files.find(fd);
    if (it != w->files.end()) {
        gone = std::move(it->second);
        w->files.erase(it);
    }
}

#define VD_DEVICE_OR(fail)                                                                                             \
    std::lock_guard<std::mutex> lock(w->mutex);                                                                        \
    VdOpenFile *of = open_file(w, fd);                                                                                 \
    if (!of || w->stopped) {                                                                                           \
        errno = of ? EIO : EBADF;                                                                                      \
        return fail;                                                                                                   \
    }                                                                                                                  \
    VdDevice *d = of->device;

drmModeResPtr vd_get_resources(VirtualWorld *w, int fd)
{
    VD_DEVICE_OR(nullptr);
    auto *r = alloc_array<drmModeRes>(1);
    if (!r)
        return nullptr;
    r->count_crtcs = int(d->crtcs.size());
    r->count_encoders = int(d->desc.encoders.size());
    r->count_connectors = int(d->desc.connectors.size());
    r->fbs = alloc_array<uint32_t>(0);
    r->crtcs = alloc_array<uint32_t>(d->crtcs.size());
    r->encoders = alloc_array<uint32_t>(d->desc.encoders.size());
    r->connectors = alloc_array<uint32_t>(d->desc.connectors.size());
    if (!r->fbs || !r->crtcs || !r->encoders || !r->connectors) {
        vd_free(r);
        errno = ENOMEM;
        return nullptr;
    }
    for (size_t i = 0; i < d->crtcs.size(); i++)
        r->crtcs[i] = d->crtcs[i].desc.id;
    for (size_t i = 0; i < d->desc.encoders.size(); i++)
        r->encoders[i] = d->desc.encoders[i].id;
    for (size_t i = 0; i < d->desc.connectors.size(); i++)
        r->connectors[i] = d->desc.connectors[i].id;
    r->min_width = r->min_height = 1;
    r->max_width = r->max_height = 16384;
    return r;
}

drmModeConnectorPtr vd_get_connector(VirtualWorld *w, int fd, uint32_t connector_id)
{
    VD_DEVICE_OR(nullptr);
    const auto *c = known(find_id(d->desc.connectors, connector_id));
    auto *r = c ? alloc_array<drmModeConnector>(1) : nullptr;
    if (!r)
        return nullptr;
    r->connector_id = c->id;
    r->connector_type = c->type;
    r->connector_type_id = c->type_id;
    r->connection = c->connected ? DRM_MODE_CONNECTED : DRM_MODE_DISCONNECTED;
    r->subpixel = DRM_MODE_SUBPIXEL_UNKNOWN;
    r->count_encoders = int(c->encoder_ids.size());
    r->encoders = alloc_array<uint32_t>(c->encoder_ids.size());
    r->props = alloc_array<uint32_t>(0);
    r->prop_values = alloc_array<uint64_t>(0);
    r->modes = alloc_array<drmModeModeInfo>(1);
    if (!r->encoders || !r->props || !r->prop_values || !r->modes) {
        vd_free(r);
        errno = ENOMEM;
        return nullptr;
    }
    for (size_t i = 0; i < c->encoder_ids.size(); i++) {
        r->encoders[i] = c->encoder_ids[i];
        for (auto &e : d->desc.encoders)
            if (e.id == c->encoder_ids[i] && e.crtc_id && !r->encoder_id) {
                r->encoder_id = e.id;
                const VdScreen &screen = vd_clock_crtc(d, e.crtc_id)->screen;
                r->modes[0] = make_mode(screen.width, screen.height, screen.refresh);
            }
    }
    if (c->connected) {
        if (!r->encoder_id)
            r->modes[0] = make_mode(1920, 1080, 60);
        r->count_modes = 1;
        r->mmWidth = r->modes[0].hdisplay * 254 / 1000;
        r->mmHeight = r->modes[0].vdisplay * 254 / 1000;
    }
    return r;
}

drmModeEncoderPtr vd_get_encoder(VirtualWorld *w, int fd, uint32_t encoder_id)
{
    VD_DEVICE_OR(nullptr);
    const auto *e = known(find_id(d->desc.encoders, encoder_id));
    auto *r = e ? alloc_array<drmModeEncoder>(1) : nullptr;
    if (!r)
        return nullptr;
    r->encoder_id = e->id;
    r->encoder_type = DRM_MODE_ENCODER_TMDS;
    r->crtc_id = e->crtc_id;
    r->possible_crtcs = uint32_t((1ull << d->crtcs.size()) - 1);
    return r;
}

drmModeCrtcPtr vd_get_crtc(VirtualWorld *w, int fd, uint32_t crtc_id)
{
    VD_DEVICE_OR(nullptr);
    VdCrtc *c = known(vd_clock_crtc(d, crtc_id));
    auto *r = c ? alloc_array<drmModeCrtc>(1) : nullptr;
    if (!r)
        return nullptr;
    r->crtc_id = c->desc.id;
    r->buffer_id = c->screen.fb_id;
    r->width = c->screen.width;
    r->height = c->screen.height;
    r->mode_valid = 1;
    r->mode = make_mode(c->screen.width, c->screen.height, c->screen.refresh);
    r->gamma_size = 256;
    return r;
}

drmModeFB2Ptr vd_get_fb2(VirtualWorld *w, int fd, uint32_t fb_id)
{
    VD_DEVICE_OR(nullptr);
    if (!d->desc.multi_plane_query) {
        errno = EINVAL;
        return nullptr;
    }
    VdBuffer *f = known(vd_clock_buffer(d, fb_id));
    auto *r = f ? alloc_array<drmModeFB2>(1) : nullptr;
    if (!r)
        return nullptr;
    r->fb_id = f->desc.id;
    r->width = f->desc.width;
    r->height = f->desc.height;
    r->pixel_format = f->desc.format;
    r->modifier = f->desc.modifier;
    r->flags = DRM_MODE_FB_MODIFIERS;
    for (int i = 0; i < f->desc.plane_count; i++) {
        r->handles[i] = d->desc.handles ? f->handle : 0;
        r->pitches[i] = f->desc.pitches[i];
        r->offsets[i] = f->desc.offsets[i];
    }
    return r;
}

drmModeFBPtr vd_get_fb(VirtualWorld *w, int fd, uint32_t fb_id)
{
    VD_DEVICE_OR(nullptr);
    VdBuffer *f = known(vd_clock_buffer(d, fb_id));
    if (!f)
        return nullptr;
    // The single-plane query refuses multi-plane framebuffers.
    if (f->desc.plane_count != 1) {
        errno = EINVAL;
        return nullptr;
    }
    auto *r = alloc_array<drmModeFB>(1);
    if (!r)
        return nullptr;
    r->fb_id = f->desc.id;
    r->width = f->desc.width;
    r->height = f->desc.height;
    r->pitch = f->desc.pitches[0];
    const ScenarioFormat *format = scenario_format(f->desc.format);
    r->bpp = format ? uint32_t(format->bytes_per_pixel * 8) : 32;
    r->depth = format ? uint32_t(format->depth) : 24;
    r->handle = d->desc.handles ? f->handle : 0;
    return r;
}

void vd_free(drmModeResPtr r)
{
    free_with_arrays(r, &drmModeRes::fbs, &drmModeRes::crtcs, &drmModeRes::encoders, &drmModeRes::connectors);
}

void vd_free(drmModeConnectorPtr r)
{
    free_with_arrays(r, &drmModeConnector::encoders, &drmModeConnector::props, &drmModeConnector::prop_values,
                     &drmModeConnector::modes);
}

int vd_set_client_cap(VirtualWorld *w, int fd, uint64_t capability, uint64_t value)
{
    VD_DEVICE_OR(-1);
    (void)d;
    if ((capability != DRM_CLIENT_CAP_UNIVERSAL_PLANES && capability != DRM_CLIENT_CAP_ATOMIC) || value > 1) {
        errno = EINVAL;
        return -1;
    }
    if (value)
        of->universal_planes = true;
    else if (capability == DRM_CLIENT_CAP_UNIVERSAL_PLANES)
        of->universal_planes = false;
    if (capability == DRM_CLIENT_CAP_ATOMIC)
        of->atomic = value != 0;
    return 0;
}

drmModePlaneResPtr vd_get_plane_resources(VirtualWorld *w, int fd)
{
    VD_DEVICE_OR(nullptr);
    // Without the capability only overlay planes are listed, and there are none.
    std::vector<uint32_t> listed;
    if (of->universal_planes) {
        for (auto &c : d->crtcs)
            listed.push_back(c.plane_id);
        for (auto &o : d->overlays)
            listed.push_back(o.desc->id);
        for (auto &c : d->crtcs)
            if (c.cursor.desc)
                listed.push_back(c.cursor.plane_id);
    }
    const size_t count = listed.size();
    auto *r = alloc_array<drmModePlaneRes>(1);
    uint32_t *ids = alloc_array<uint32_t>(count);
    if (!r || !ids) {
        free(r);
        free(ids);
        errno = ENOMEM;
        return nullptr;
    }
    r->count_planes = uint32_t(count);
    r->planes = ids;
    std::copy(listed.begin(), listed.end(), ids);
    return r;
}

drmModePlanePtr vd_get_plane(VirtualWorld *w, int fd, uint32_t plane_id)
{
    VD_DEVICE_OR(nullptr);
    for (const VdOverlay &o : d->overlays) {
        if (o.desc->id != plane_id)
            continue;
        auto *r = alloc_array<drmModePlane>(1);
        uint32_t *formats = alloc_array<uint32_t>(4);
        if (!r || !formats) {
            free(r);
            free(formats);
            errno = ENOMEM;
            return nullptr;
        }
        const uint32_t offered[] = {DRM_FORMAT_XRGB8888, DRM_FORMAT_ARGB8888, DRM_FORMAT_ABGR8888, DRM_FORMAT_NV12};
        std::copy(std::begin(offered), std::end(offered), formats);
        r->count_formats = 4;
        r->formats = formats;
        r->plane_id = plane_id;
        const VdPlaneState state = vd_clock_overlay_seen(*of, *d, o);
        r->fb_id = state.fb_id;
        r->crtc_id = state.fb_id ? o.desc->crtc_id : 0;
        r->crtc_x = uint32_t(state.x);
        r->crtc_y = uint32_t(state.y);
        // An overlay may drive any CRTC of its device.
        r->possible_crtcs = uint32_t((1ull << d->crtcs.size()) - 1);
        return r;
    }
    for (size_t i = 0; i < d->crtcs.size(); i++) {
        const VdCrtc &c = d->crtcs[i];
        const bool cursor = c.cursor.desc && c.cursor.plane_id == plane_id;
        if (c.plane_id != plane_id && !cursor)
            continue;
        auto *r = alloc_array<drmModePlane>(1);
        uint32_t *formats = alloc_array<uint32_t>(1);
        if (!r || !formats) {
            free(r);
            free(formats);
            errno = ENOMEM;
            return nullptr;
        }
        formats[0] = cursor ? DRM_FORMAT_ARGB8888 : DRM_FORMAT_XRGB8888;
        r->count_formats = 1;
        r->formats = formats;
        r->plane_id = plane_id;
        r->fb_id = c.screen.fb_id;
        if (cursor) {
            int32_t x = 0, y = 0;
            vd_clock_cursor_seen(*of, c, &r->fb_id, &x, &y);
            r->crtc_x = uint32_t(x);
            r->crtc_y = uint32_t(y);
        }
        r->crtc_id = r->fb_id ? c.desc.id : 0;
        r->possible_crtcs = 1u << i;
        return r;
    }
    errno = ENOENT;
    return nullptr;
}

namespace {

// The plane properties of a state: FB_ID, CRTC_ID, CRTC_*, SRC_* (16.16).
void list_state(const VdDevice &d, const VdPlaneState &s, uint32_t crtc_id,
                std::vector<std::pair<uint32_t, uint64_t>> *list)
{
    const bool shown = s.fb_id != 0;
    list->insert(list->end(), {{d.fb_property_id, s.fb_id},
                               {d.crtc_property_id, shown ? crtc_id : 0},
                               {d.x_property_id, uint64_t(int64_t(s.x))},
                               {d.y_property_id, uint64_t(int64_t(s.y))},
                               {d.w_property_id, shown ? s.w : 0},
                               {d.h_property_id, shown ? s.h : 0},
                               {d.src_x_property_id, uint64_t(s.src_x) << 16},
                               {d.src_y_property_id, uint64_t(s.src_y) << 16},
                               {d.src_w_property_id, uint64_t(s.src_w) << 16},
                               {d.src_h_property_id, uint64_t(s.src_h) << 16}});
}

// The "pixel blend mode" values, as the kernel numbers them, of the
// scenario's premulti, coverage and none.
constexpr uint64_t kBlendValues[] = {1, 2, 0};

drmModeObjectPropertiesPtr make_properties(const std::vector<std::pair<uint32_t, uint64_t>> &list)
{
    auto *r = alloc_array<drmModeObjectProperties>(1);
    uint32_t *props = alloc_array<uint32_t>(list.size());
    uint64_t *values = alloc_array<uint64_t>(list.size());
    if (!r || !props || !values) {
        free(r);
        free(props);
        free(values);
        errno = ENOMEM;
        return nullptr;
    }
    for (size_t i = 0; i < list.size(); i++) {
        props[i] = list[i].first;
        values[i] = list[i].second;
    }
    r->count_props = uint32_t(list.size());
    r->props = props;
    r->prop_values = values;
    return r;
}

// The connector's HDR output as a query on the file sees it (at the blank
// being delivered inside a sequence handler, as the planes are), with its
// blob id (0 when off): its own, or the last change of its CRTC's blanks.
const ScenarioHdr &hdr_seen(const VdOpenFile &of, VdDevice &d, const ScenarioConnector &c, uint32_t *blob_id)
{
    const ScenarioHdr *h = &c.hdr;
    uint32_t blob = d.first_blob_id + uint32_t(&c - d.desc.connectors.data());
    const VdCrtc *crtc = nullptr;
    for (uint32_t e : c.encoder_ids)
        for (auto &encoder : d.desc.encoders)
            if (!crtc && encoder.id == e && encoder.crtc_id)
                crtc = vd_clock_crtc(&d, encoder.crtc_id);
    if (crtc) {
        const uint64_t seq = of.delivering_wall_ns && of.delivering_seq < crtc->seq ? of.delivering_seq : crtc->seq;
        uint64_t latest = 0;
        for (size_t k = 0; k < d.desc.hdr_changes.size(); k++) {
            const ScenarioHdrChange &change = d.desc.hdr_changes[k];
            if (change.connector_id == c.id && change.at_vblank <= seq && change.at_vblank >= latest) {
                latest = change.at_vblank;
                h = &change.hdr;
                blob = d.first_blob_id + uint32_t(d.desc.connectors.size() + k);
            }
        }
    }
    *blob_id = h->eotf ? blob : 0;
    return *h;
}

}  // namespace

drmModePropertyBlobPtr vd_get_property_blob(VirtualWorld *w, int fd, uint32_t blob_id)
{
    VD_DEVICE_OR(nullptr);
    // Every blob the world has, whenever it was listed.
    const ScenarioHdr *h = nullptr;
    const size_t connectors = d->desc.connectors.size();
    const uint32_t index = blob_id - d->first_blob_id;
    if (blob_id >= d->first_blob_id && index < connectors && d->desc.connectors[index].has_hdr)
        h = &d->desc.connectors[index].hdr;
    else if (blob_id >= d->first_blob_id && index >= connectors && index - connectors < d->desc.hdr_changes.size())
        h = &d->desc.hdr_changes[index - connectors].hdr;
    if (!h || !h->eotf) {
        errno = ENOENT;
        return nullptr;
    }
    auto *r = alloc_array<drmModePropertyBlobRes>(1);
    auto *m = alloc_array<hdr_output_metadata>(1);
    if (!r || !m) {
        free(r);
        free(m);
        errno = ENOMEM;
        return nullptr;
    }
    m->metadata_type = 0;  // HDMI_STATIC_METADATA_TYPE1
    hdr_metadata_infoframe &f = m->hdmi_metadata_type1;
    f.eotf = uint8_t(h->eotf);
    f.metadata_type = 0;
    for (int i = 0; i < 3; i++)
        f.display_primaries[i].x = h->primaries[i][0], f.display_primaries[i].y = h->primaries[i][1];
    f.white_point.x = h->white[0];
    f.white_point.y = h->white[1];
    f.max_display_mastering_luminance = h->max_mastering;
    f.min_display_mastering_luminance = h->min_mastering;
    f.max_cll = h->max_cll;
    f.max_fall = h->max_fall;
    r->id = blob_id;
    r->length = sizeof(*m);
    r->data = m;
    return r;
}

void vd_free(drmModePropertyBlobPtr r)
{
    free_with_arrays(r, &drmModePropertyBlobRes::data);
}

drmModeObjectPropertiesPtr vd_get_object_properties(VirtualWorld *w, int fd, uint32_t object_id, uint32_t object_type)
{
    VD_DEVICE_OR(nullptr);
    std::vector<std::pair<uint32_t, uint64_t>> list;
    if (object_type == DRM_MODE_OBJECT_CONNECTOR) {
        const auto *c = known(find_id(d->desc.connectors, object_id));
        if (!c)
            return nullptr;
        // Listed, as by the kernel, only for a panel that has it.
        if (c->has_orientation)
            list.push_back({d->orientation_property_id, c->orientation});
        // Listed for a connector that can show HDR; the blob only while
        // metadata is set.
        if (c->has_hdr) {
            uint32_t blob = 0;
            const ScenarioHdr &h = hdr_seen(*of, *d, *c, &blob);
            list.insert(list.end(), {{d->hdr_property_id, blob}, {d->colorspace_property_id, h.colorspace}});
        }
        return make_properties(list);
    }
    const VdCrtc *owner = nullptr;
    bool cursor = false;
    for (auto &c : d->crtcs) {
        if (c.plane_id == object_id)
            owner = &c;
        if (c.cursor.desc && c.cursor.plane_id == object_id) {
            owner = &c;
            cursor = true;
        }
    }
    const VdOverlay *overlay = nullptr;
    for (auto &o : d->overlays)
        if (o.desc->id == object_id)
            overlay = &o;
    if (object_type != DRM_MODE_OBJECT_PLANE || (!owner && !overlay)) {
        errno = ENOENT;
        return nullptr;
    }
    if (overlay) {
        list.push_back({d->type_property_id, DRM_PLANE_TYPE_OVERLAY});
        if (of->atomic) {
            const ScenarioPlane &p = *overlay->desc;
            list_state(*d, vd_clock_overlay_seen(*of, *d, *overlay), p.crtc_id, &list);
            // Without a zpos of its own an overlay lies above the primary
            // planes, in the order of the scenario.
            const uint64_t zpos = p.has_zpos ? p.zpos : 1 + uint64_t(overlay - d->overlays.data());
            list.insert(list.end(), {{d->zpos_property_id, zpos},
                                     {d->rotation_property_id, p.view.rotation},
                                     {d->alpha_property_id, p.alpha},
                                     {d->blend_property_id, kBlendValues[p.blend]},
                                     {d->encoding_property_id, p.encoding},
                                     {d->range_property_id, p.range}});
        }
        return make_properties(list);
    }
    // The type always; the atomic properties for a file that asked for them.
    list.push_back({d->type_property_id, cursor ? DRM_PLANE_TYPE_CURSOR : DRM_PLANE_TYPE_PRIMARY});
    if (of->atomic) {
        VdPlaneState state;
        if (cursor) {
            vd_clock_cursor_seen(*of, *owner, &state.fb_id, &state.x, &state.y);
            state.w = state.src_w = owner->cursor.desc->width;
            state.h = state.src_h = owner->cursor.desc->height;
            if (!state.fb_id)
                state.src_w = state.src_h = 0;
        } else {
            state = vd_clock_primary_state(*d, *owner);
        }
        list_state(*d, state, owner->desc.id, &list);
        if (!cursor)
            list.push_back({d->rotation_property_id, state.fb_id ? state.rotation : DRM_MODE_ROTATE_0});
    }
    return make_properties(list);
}

drmModePropertyPtr vd_get_property(VirtualWorld *w, int fd, uint32_t property_id)
{
    VD_DEVICE_OR(nullptr);
    struct Known {
        uint32_t id;
        const char *name;
        uint32_t flags;
        std::vector<std::pair<uint64_t, const char *>> enums;  // or, for a range, its bounds' values
    };
    constexpr uint32_t atomic_range = DRM_MODE_PROP_RANGE | DRM_MODE_PROP_ATOMIC;
    const std::vector<std::pair<uint64_t, const char *>> coordinates{{0, nullptr}, {UINT32_MAX, nullptr}};
    std::vector<std::pair<uint64_t, const char *>> colorspaces;
    for (const char *name : kScenarioColorspaces)
        colorspaces.push_back({colorspaces.size(), name});
    const Known all[] = {
        {d->type_property_id,
         "type",
         DRM_MODE_PROP_ENUM | DRM_MODE_PROP_IMMUTABLE,
         {{DRM_PLANE_TYPE_OVERLAY, "Overlay"}, {DRM_PLANE_TYPE_PRIMARY, "Primary"}, {DRM_PLANE_TYPE_CURSOR, "Cursor"}}},
        {d->orientation_property_id,
         "panel orientation",
         DRM_MODE_PROP_ENUM | DRM_MODE_PROP_IMMUTABLE,
         {{0, "Normal"}, {1, "Upside Down"}, {2, "Left Side Up"}, {3, "Right Side Up"}}},
        {d->fb_property_id, "FB_ID", DRM_MODE_PROP_OBJECT | DRM_MODE_PROP_ATOMIC, {}},
        {d->crtc_property_id, "CRTC_ID", DRM_MODE_PROP_OBJECT | DRM_MODE_PROP_ATOMIC, {}},
        {d->x_property_id, "CRTC_X", DRM_MODE_PROP_SIGNED_RANGE | DRM_MODE_PROP_ATOMIC, {}},
        {d->y_property_id, "CRTC_Y", DRM_MODE_PROP_SIGNED_RANGE | DRM_MODE_PROP_ATOMIC, {}},
        {d->w_property_id, "CRTC_W", atomic_range, coordinates},
        {d->h_property_id, "CRTC_H", atomic_range, coordinates},
        {d->src_x_property_id, "SRC_X", atomic_range, coordinates},
        {d->src_y_property_id, "SRC_Y", atomic_range, coordinates},
        {d->src_w_property_id, "SRC_W", atomic_range, coordinates},
        {d->src_h_property_id, "SRC_H", atomic_range, coordinates},
        {d->zpos_property_id, "zpos", DRM_MODE_PROP_RANGE, {{0, nullptr}, {255, nullptr}}},
        {d->rotation_property_id,
         "rotation",
         DRM_MODE_PROP_BITMASK,
         {{0, "rotate-0"}, {1, "rotate-90"}, {2, "rotate-180"}, {3, "rotate-270"}, {4, "reflect-x"}, {5, "reflect-y"}}},
        {d->alpha_property_id, "alpha", DRM_MODE_PROP_RANGE, {{0, nullptr}, {0xffff, nullptr}}},
        {d->blend_property_id,
         "pixel blend mode",
         DRM_MODE_PROP_ENUM,
         {{0, "None"}, {1, "Pre-multiplied"}, {2, "Coverage"}}},
        {d->encoding_property_id,
         "COLOR_ENCODING",
         DRM_MODE_PROP_ENUM,
         {{0, "ITU-R BT.601 YCbCr"}, {1, "ITU-R BT.709 YCbCr"}, {2, "ITU-R BT.2020 YCbCr"}}},
        {d->range_property_id,
         "COLOR_RANGE",
         DRM_MODE_PROP_ENUM,
         {{0, "YCbCr limited range"}, {1, "YCbCr full range"}}},
        {d->hdr_property_id, "HDR_OUTPUT_METADATA", DRM_MODE_PROP_BLOB, {}},
        {d->colorspace_property_id, "Colorspace", DRM_MODE_PROP_ENUM, colorspaces}};
    const Known *k = nullptr;
    for (auto &candidate : all)
        if (candidate.id == property_id &&
            (candidate.id == d->type_property_id || candidate.id == d->orientation_property_id ||
             candidate.id == d->hdr_property_id || candidate.id == d->colorspace_property_id || of->atomic))
            k = &candidate;
    if (!k) {
        errno = ENOENT;
        return nullptr;
    }
    auto *r = alloc_array<drmModePropertyRes>(1);
    if (!r)
        return nullptr;
    r->prop_id = property_id;
    r->flags = k->flags;
    snprintf(r->name, sizeof(r->name), "%s", k->name);
    const bool named = !k->enums.empty() && k->enums[0].second;
    r->values = alloc_array<uint64_t>(k->enums.size());
    r->enums = named ? alloc_array<drm_mode_property_enum>(k->enums.size()) : nullptr;
    if (!r->values || (named && !r->enums)) {
        vd_free(r);
        errno = ENOMEM;
        return nullptr;
    }
    r->count_values = int(k->enums.size());
    for (size_t i = 0; i < k->enums.size(); i++) {
        r->values[i] = k->enums[i].first;
        if (named) {
            r->enums[i].value = k->enums[i].first;
            snprintf(r->enums[i].name, sizeof(r->enums[i].name), "%s", k->enums[i].second);
        }
    }
    r->count_enums = named ? int(k->enums.size()) : 0;
    return r;
}

void vd_free(drmModePropertyPtr r)
{
    free_with_arrays(r, &drmModePropertyRes::values, &drmModePropertyRes::enums, &drmModePropertyRes::blob_ids);
}

void vd_free(drmModePlaneResPtr r)
{
    free_with_arrays(r, &drmModePlaneRes::planes);
}

void vd_free(drmModePlanePtr r)
{
    free_with_arrays(r, &drmModePlane::formats);
}

void vd_free(drmModeObjectPropertiesPtr r)
{
    free_with_arrays(r, &drmModeObjectProperties::props, &drmModeObjectProperties::prop_values);
}

int vd_close_buffer_handle(VirtualWorld *w, int fd, uint32_t handle)
{
    VD_DEVICE_OR(-1);
    for (auto &f : d->fbs)
        if (f->handle == handle)
            return 0;
    errno = EINVAL;
    return -1;
}

int vd_prime_handle_to_fd(VirtualWorld *w, int fd, uint32_t handle, uint32_t flags, int *prime_fd)
{
    VD_DEVICE_OR(-1);
    if (flags & ~uint32_t(DRM_CLOEXEC | DRM_RDWR)) {
        errno = EINVAL;
        return -1;
    }
    for (auto &f : d->fbs) {
        if (handle == 0 || f->handle != handle)
            continue;
        // A new open file of the same memory on every export.
        char proc[64];
        snprintf(proc, sizeof(proc), "/proc/self/fd/%d", f->memfd.get());
        int mode = (flags & DRM_RDWR) ? O_RDWR : O_RDONLY;
        int out = open(proc, mode | ((flags & DRM_CLOEXEC) ? O_CLOEXEC : 0));
        if (out < 0)
            return -1;
        *prime_fd = out;
        return 0;
    }
    errno = ENOENT;
    return -1;
}

int vd_crtc_queue_sequence(VirtualWorld *w, int fd, uint32_t crtc_id, uint32_t flags, uint64_t sequence,
                           uint64_t *sequence_queued, uint64_t user_data)
{
    VD_DEVICE_OR(-1);
    if (flags & ~uint32_t(DRM_CRTC_SEQUENCE_RELATIVE | DRM_CRTC_SEQUENCE_NEXT_ON_MISS)) {
        errno = EINVAL;
        return -1;
    }
    VdCrtc *c = vd_clock_crtc(d, crtc_id);
    if (!c) {
        errno = ENOENT;
        return -1;
    }
    if (of->pending.size() + of->done.size() >= kMaxOutstandingEvents) {
        errno = ENOMEM;
        return -1;
    }
    uint64_t seq = c->seq;
    uint64_t target = (flags & DRM_CRTC_SEQUENCE_RELATIVE) ? seq + sequence : sequence;
    if ((flags & DRM_CRTC_SEQUENCE_NEXT_ON_MISS) && target <= seq)
        target = seq + 1;
    if (target <= seq) {
        // Already passed: completes at once with the current count.
        of->done.push_back({seq, c->last_ns, c->last_wall_ns, user_data});
        uint64_t one = 1;
        (void)!write(fd, &one, sizeof(one));
        target = seq;
    } else {
        of->pending.push_back({crtc_id, target, user_data});
    }
    if (sequence_queued)
        *sequence_queued = target;
    return 0;
}

int vd_handle_event(VirtualWorld *w, int fd, drmEventContextPtr context)
{
    std::vector<VdCompletion> done;
    for (;;) {
        {
            VD_DEVICE_OR(-1);
            (void)d;
            uint64_t count = 0;
            (void)!read(fd, &count, sizeof(count));
            done.swap(of->done);
        }
        if (!done.empty())
            break;
        // Nothing pending: wait as a read of a real device would.
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, -1) < 0 && errno != EINTR)
            return -1;
    }
    if (!context || context->version < 4 || !context->sequence_handler)
        return 0;
    for (auto &c : done) {
        {
            std::lock_guard<std::mutex> lock(w->mutex);
            if (VdOpenFile *of = open_file(w, fd)) {
                of->delivering_wall_ns = c.wall_ns;
                of->delivering_seq = c.sequence;
            }
        }
        context->sequence_handler(fd, c.sequence, c.ns, c.user_data);
    }
    std::lock_guard<std::mutex> lock(w->mutex);
    if (VdOpenFile *of = open_file(w, fd))
        of->delivering_wall_ns = 0;
    return 0;
}

uint64_t vd_event_time_ns(VirtualWorld *w, int fd)
{
    {
        std::lock_guard<std::mutex> lock(w->mutex);
        VdOpenFile *of = open_file(w, fd);
        if (of && of->delivering_wall_ns)
            return of->delivering_wall_ns;
    }
    return vd_clock_realtime_ns();
}
