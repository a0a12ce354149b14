#include "apps/capture-helper/plane_follow.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "apps/capture-helper/drm_module.h"

namespace {

struct EnumName {
    const char *name;
    uint32_t value;
};

constexpr EnumName kBlendNames[] = {
    {"Pre-multiplied", UDS_BLEND_PREMULTI}, {"Coverage", UDS_BLEND_COVERAGE}, {"None", UDS_BLEND_NONE}};
constexpr EnumName kEncodingNames[] = {{"ITU-R BT.601 YCbCr", UDS_ENCODING_BT601},
                                       {"ITU-R BT.709 YCbCr", UDS_ENCODING_BT709},
                                       {"ITU-R BT.2020 YCbCr", UDS_ENCODING_BT2020}};
constexpr EnumName kRangeNames[] = {{"YCbCr limited range", UDS_RANGE_LIMITED}, {"YCbCr full range", UDS_RANGE_FULL}};
constexpr EnumName kOrientationNames[] = {{"Normal", UDS_ORIENTATION_NORMAL},
                                          {"Upside Down", UDS_ORIENTATION_UPSIDE_DOWN},
                                          {"Left Side Up", UDS_ORIENTATION_LEFT_UP},
                                          {"Right Side Up", UDS_ORIENTATION_RIGHT_UP}};

// The kernel's values of an enum property paired with the wire's constants
// (names the table does not know are left out: their value reads as the
// default).
template <size_t N>
std::vector<std::pair<uint64_t, uint32_t>> enum_values(const drmModePropertyRes &prop, const EnumName (&names)[N])
{
    std::vector<std::pair<uint64_t, uint32_t>> out;
    for (int i = 0; i < prop.count_enums; i++)
        for (const EnumName &n : names)
            if (std::strcmp(prop.enums[i].name, n.name) == 0)
                out.emplace_back(prop.enums[i].value, n.value);
    return out;
}

uint32_t enum_value(const std::vector<std::pair<uint64_t, uint32_t>> &values, uint64_t v, uint32_t fallback)
{
    for (auto &[kernel, wire] : values)
        if (kernel == v)
            return wire;
    return fallback;
}

// The plane properties read at each blank, by name.
struct PlaneProperty {
    const char *name;
    uint32_t FollowedPlane::*id;
};
constexpr PlaneProperty kPlaneProperties[] = {
    {"FB_ID", &FollowedPlane::prop_fb},       {"CRTC_ID", &FollowedPlane::prop_crtc},
    {"SRC_X", &FollowedPlane::prop_src_x},    {"SRC_Y", &FollowedPlane::prop_src_y},
    {"SRC_W", &FollowedPlane::prop_src_w},    {"SRC_H", &FollowedPlane::prop_src_h},
    {"CRTC_X", &FollowedPlane::prop_crtc_x},  {"CRTC_Y", &FollowedPlane::prop_crtc_y},
    {"CRTC_W", &FollowedPlane::prop_crtc_w},  {"CRTC_H", &FollowedPlane::prop_crtc_h},
    {"zpos", &FollowedPlane::prop_zpos},      {"rotation", &FollowedPlane::prop_rotation},
    {"alpha", &FollowedPlane::prop_alpha},    {"pixel blend mode", &FollowedPlane::prop_blend},
    {"COLOR_ENCODING", &FollowedPlane::prop_encoding}, {"COLOR_RANGE", &FollowedPlane::prop_range},
};

// Reads a plane's type and property ids. False when its properties cannot
// be read.
bool describe_plane(int drm_fd, uint32_t plane_id, FollowedPlane *p, uint64_t *type)
{
    DrmObjectProperties props(drm_get_object_properties(drm_fd, plane_id, DRM_MODE_OBJECT_PLANE));
    if (!props)
        return false;
    p->plane_id = plane_id;
    *type = DRM_PLANE_TYPE_OVERLAY;
    for (uint32_t i = 0; i < props->count_props; i++) {
        DrmProperty prop(drm_get_property(drm_fd, props->props[i]));
        if (!prop)
            continue;
        if (std::strcmp(prop->name, "type") == 0)
            *type = props->prop_values[i];
        for (const PlaneProperty &known : kPlaneProperties)
            if (std::strcmp(prop->name, known.name) == 0)
                p->*known.id = prop->prop_id;
        if (prop->prop_id == p->prop_blend)
            p->blend_values = enum_values(*prop, kBlendNames);
        else if (prop->prop_id == p->prop_encoding)
            p->encoding_values = enum_values(*prop, kEncodingNames);
        else if (prop->prop_id == p->prop_range)
            p->range_values = enum_values(*prop, kRangeNames);
    }
    return true;
}

constexpr EnumName kColorspaceNames[] = {
    {"Default", UDS_COLORIMETRY_DEFAULT},
    {"SMPTE_170M_YCC", UDS_COLORIMETRY_SMPTE_170M_YCC},
    {"BT709_YCC", UDS_COLORIMETRY_BT709_YCC},
    {"XVYCC_601", UDS_COLORIMETRY_XVYCC_601},
    {"XVYCC_709", UDS_COLORIMETRY_XVYCC_709},
    {"SYCC_601", UDS_COLORIMETRY_SYCC_601},
    {"opYCC_601", UDS_COLORIMETRY_OPYCC_601},
    {"opRGB", UDS_COLORIMETRY_OPRGB},
    {"BT2020_CYCC", UDS_COLORIMETRY_BT2020_CYCC},
    {"BT2020_RGB", UDS_COLORIMETRY_BT2020_RGB},
    {"BT2020_YCC", UDS_COLORIMETRY_BT2020_YCC},
    {"DCI-P3_RGB_D65", UDS_COLORIMETRY_DCI_P3_RGB_D65},
    {"DCI-P3_RGB_Theater", UDS_COLORIMETRY_DCI_P3_RGB_THEATER},
};

// The connector's panel orientation (normal without the property) and
// the ids of its HDR properties (0 where it has none).
void read_connector(int drm_fd, uint32_t connector_id, PlaneFollower *f)
{
    if (!connector_id)
        return;
    DrmObjectProperties props(drm_get_object_properties(drm_fd, connector_id, DRM_MODE_OBJECT_CONNECTOR));
    for (uint32_t i = 0; props && i < props->count_props; i++) {
        DrmProperty prop(drm_get_property(drm_fd, props->props[i]));
        if (!prop)
            continue;
        if (std::strcmp(prop->name, "panel orientation") == 0)
            f->orientation =
                enum_value(enum_values(*prop, kOrientationNames), props->prop_values[i], UDS_ORIENTATION_NORMAL);
        else if (std::strcmp(prop->name, "HDR_OUTPUT_METADATA") == 0 && (prop->flags & DRM_MODE_PROP_BLOB))
            f->hdr.prop_metadata = prop->prop_id;
        else if (std::strcmp(prop->name, "Colorspace") == 0) {
            f->hdr.prop_colorspace = prop->prop_id;
            f->hdr.colorspace_values = enum_values(*prop, kColorspaceNames);
        }
    }
}

// The metadata of a blob of struct hdr_output_metadata into *out (eotf,
// primaries, luminances); SDR for anything but static metadata type 1
// with a PQ or HLG EOTF.
void read_metadata(const drmModePropertyBlobRes &blob, HdrRecord *out)
{
    hdr_output_metadata m{};
    if (blob.length < offsetof(hdr_output_metadata, hdmi_metadata_type1) + sizeof(hdr_metadata_infoframe))
        return;
    std::memcpy(&m, blob.data, sizeof m < blob.length ? sizeof m : blob.length);
    const hdr_metadata_infoframe &f = m.hdmi_metadata_type1;
    if (m.metadata_type != 0 || (f.eotf != UDS_HDR_EOTF_PQ && f.eotf != UDS_HDR_EOTF_HLG))
        return;
    out->eotf = f.eotf;
    for (int i = 0; i < 3; i++)
        out->primaries[i][0] = f.display_primaries[i].x, out->primaries[i][1] = f.display_primaries[i].y;
    out->white_point[0] = f.white_point.x;
    out->white_point[1] = f.white_point.y;
    out->max_mastering_luminance = f.max_display_mastering_luminance;
    out->min_mastering_luminance = f.min_display_mastering_luminance;
    out->max_cll = f.max_cll;
    out->max_fall = f.max_fall;
}

// A plane's state as its properties give it, absent ones at their defaults.
struct PlaneState {
    uint32_t fb_id = 0, crtc_id = 0;
    uint32_t src_x = 0, src_y = 0, src_w = 0, src_h = 0;
    int32_t crtc_x = 0, crtc_y = 0;
    uint32_t crtc_w = 0, crtc_h = 0;
    uint32_t zpos = 0, rotation = UDS_ROTATE_0, alpha = 0xffff, blend = UDS_BLEND_PREMULTI,
             encoding = UDS_ENCODING_BT601, range = UDS_RANGE_LIMITED;
};

bool read_plane(const FollowedPlane &p, int drm_fd, PlaneState *out)
{
    DrmObjectProperties props(drm_get_object_properties(drm_fd, p.plane_id, DRM_MODE_OBJECT_PLANE));
    if (!props)
        return false;
    *out = PlaneState{};
    out->zpos = p.default_zpos;
    for (uint32_t i = 0; i < props->count_props; i++) {
        const uint32_t id = props->props[i];
        const uint64_t v = props->prop_values[i];
        if (id == 0)
            continue;
        if (id == p.prop_fb)
            out->fb_id = uint32_t(v);
        else if (id == p.prop_crtc)
            out->crtc_id = uint32_t(v);
        else if (id == p.prop_src_x)
            out->src_x = uint32_t(v);
        else if (id == p.prop_src_y)
            out->src_y = uint32_t(v);
        else if (id == p.prop_src_w)
            out->src_w = uint32_t(v);
        else if (id == p.prop_src_h)
            out->src_h = uint32_t(v);
        else if (id == p.prop_crtc_x)
            out->crtc_x = int32_t(int64_t(v));
        else if (id == p.prop_crtc_y)
            out->crtc_y = int32_t(int64_t(v));
        else if (id == p.prop_crtc_w)
            out->crtc_w = uint32_t(v);
        else if (id == p.prop_crtc_h)
            out->crtc_h = uint32_t(v);
        else if (id == p.prop_zpos)
            out->zpos = uint32_t(v);
        else if (id == p.prop_rotation)
            out->rotation = uint32_t(v) & (UDS_ROTATE_0 | UDS_ROTATE_90 | UDS_ROTATE_180 | UDS_ROTATE_270 |
                                           UDS_REFLECT_X | UDS_REFLECT_Y);
        else if (id == p.prop_alpha)
            out->alpha = uint32_t(std::min<uint64_t>(v, 0xffff));
        else if (id == p.prop_blend)
            out->blend = enum_value(p.blend_values, v, UDS_BLEND_PREMULTI);
        else if (id == p.prop_encoding)
            out->encoding = enum_value(p.encoding_values, v, UDS_ENCODING_BT601);
        else if (id == p.prop_range)
            out->range = enum_value(p.range_values, v, UDS_RANGE_LIMITED);
    }
    return true;
}

bool same_state(const PlaneRecord &a, const PlaneRecord &b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

int plane_follower_init(PlaneFollower *f, int drm_fd, uint32_t crtc_id, uint32_t connector_id,
                        const ScanoutFollower &scanout, const CursorFollower &cursor)
{
    *f = PlaneFollower{};
    f->crtc_id = crtc_id;
    const int index = scanout_crtc_index(drm_fd, crtc_id);
    if (index < 0)
        return -1;
    f->hdr.connector_id = connector_id;
    read_connector(drm_fd, connector_id, f);
    // The rectangles and the rest are atomic properties; without the
    // capability the planes are still listed, their state at its defaults.
    if (drm_set_client_cap(drm_fd, DRM_CLIENT_CAP_ATOMIC, 1) != 0)
        drm_set_client_cap(drm_fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1);
    DrmPlaneResources planes(drm_get_plane_resources(drm_fd));
    if (!planes)
        return 0;
    // Each plane with its place in the stack: primary, overlays, cursor.
    std::vector<std::pair<int, FollowedPlane>> found;
    for (uint32_t i = 0; i < planes->count_planes; i++) {
        DrmPlane plane(drm_get_plane(drm_fd, planes->planes[i]));
        if (!plane || !(plane->possible_crtcs & (1u << index)))
            continue;
        FollowedPlane p;
        uint64_t type = DRM_PLANE_TYPE_OVERLAY;
        if (!describe_plane(drm_fd, plane->plane_id, &p, &type))
            continue;
        if (type == DRM_PLANE_TYPE_PRIMARY && plane->plane_id == scanout.plane_id)
            p.kind = UDS_PLANE_KIND_PRIMARY;
        else if (type == DRM_PLANE_TYPE_CURSOR && plane->plane_id == cursor.plane_id)
            p.kind = UDS_PLANE_KIND_CURSOR;
        const int place = type == DRM_PLANE_TYPE_PRIMARY ? 0 : type == DRM_PLANE_TYPE_CURSOR ? 2 : 1;
        found.emplace_back(place, std::move(p));
    }
    std::stable_sort(found.begin(), found.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    for (auto &[place, p] : found) {
        if (f->planes.size() == UDS_MAX_FOLLOWED_PLANES)
            break;
        p.default_zpos = uint32_t(f->planes.size());
        f->planes.push_back(std::move(p));
    }
    return 0;
}

int plane_follower_check_crtc(PlaneFollower *f, int drm_fd, uint64_t sequence, CrtcRecord *record)
{
    DrmCrtc crtc(drm_get_crtc(drm_fd, f->crtc_id));
    if (!crtc)
        return -1;
    CrtcRecord now{};
    now.crtc_id = f->crtc_id;
    if (crtc->mode_valid) {
        now.width = crtc->mode.hdisplay;
        now.height = crtc->mode.vdisplay;
        now.refresh = crtc->mode.vrefresh;
    }
    now.orientation = f->orientation;
    now.plane_count = uint32_t(f->planes.size());
    if (f->crtc_told && std::memcmp(&now, &f->crtc_last, sizeof now) == 0)
        return 0;
    f->crtc_told = true;
    f->crtc_last = now;
    *record = now;
    record->type = UDS_EVENT_CRTC_STATE;
    record->length = UDS_CRTC_RECORD_LENGTH;
    record->sequence = sequence;
    return 1;
}

int plane_follower_check_plane(PlaneFollower *f, size_t index, int drm_fd, uint64_t sequence,
                               const ScanoutFollower &scanout, const CursorFollower &cursor, PlaneStateUpdate *update)
{
    FollowedPlane &p = f->planes[index];
    PlaneState s;
    if (!read_plane(p, drm_fd, &s)) {
        if (!p.unreadable_said)
            fprintf(stderr, "[Helper Thread] plane %u cannot be read: %s; its state is not told\n", p.plane_id,
                    strerror(errno));
        p.unreadable_said = true;
        return 0;
    }
    p.unreadable_said = false;

    // The buffer on the plane: the primary's and cursor's as their records
    // of this blank told them; an overlay's when the plane shows it here.
    PlaneRecord r{};
    r.plane_id = p.plane_id;
    const ScanoutBuffer *buffer = nullptr;
    bool needs_export = false;
    if (p.kind == UDS_PLANE_KIND_PRIMARY) {
        if (scanout.told_any && scanout.told_fb && scanout.told_fb == scanout.last_fb &&
            (s.crtc_id == f->crtc_id || !p.prop_crtc))
            buffer = &scanout.told;
        r.fb_id = scanout.told_fb;
        // A device without the atomic properties shows the whole buffer on
        // the whole CRTC.
        if (buffer && !p.prop_src_w && !p.prop_crtc_w) {
            s.src_w = buffer->width << 16;
            s.src_h = buffer->height << 16;
            s.crtc_w = f->crtc_last.width;
            s.crtc_h = f->crtc_last.height;
        }
    } else if (p.kind == UDS_PLANE_KIND_CURSOR) {
        if (cursor.visible && cursor.image_fb)
            buffer = &cursor.image;
        r.fb_id = cursor.fb_id;
    } else {
        const bool shown = s.fb_id && s.crtc_id == f->crtc_id && s.fb_id != p.refused_fb;
        if (s.fb_id != p.refused_fb)
            p.refused_fb = 0;
        r.fb_id = s.fb_id;
        const bool held =
            p.shown.buffer_id && p.last.fb_id == s.fb_id &&
            std::any_of(f->overlay_buffers.begin(), f->overlay_buffers.end(),
                        [&](const ScanoutBuffer &b) { return b.buffer_id == p.shown.buffer_id; });
        if (shown && held)
            buffer = &p.shown;
        needs_export = shown && !held;
    }
    if (buffer || needs_export) {
        r.kind = p.kind;
        r.zpos = s.zpos;
        r.src_x = s.src_x;
        r.src_y = s.src_y;
        r.src_w = s.src_w;
        r.src_h = s.src_h;
        r.crtc_x = s.crtc_x;
        r.crtc_y = s.crtc_y;
        r.crtc_w = s.crtc_w;
        r.crtc_h = s.crtc_h;
        r.rotation = s.rotation;
        r.alpha = s.alpha;
        r.blend = s.blend;
        r.color_encoding = s.encoding;
        r.color_range = s.range;
    } else {
        r = PlaneRecord{};  // shows nothing: every field after the plane's id is 0
        r.plane_id = p.plane_id;
    }
    if (buffer) {
        r.buffer_id = buffer->buffer_id;
        r.width = buffer->width;
        r.height = buffer->height;
        r.format = buffer->format;
        r.modifier = buffer->modifier;
    }
    if (!needs_export && p.told && same_state(r, p.last))
        return 0;

    *update = PlaneStateUpdate{};
    update->record.type = UDS_EVENT_PLANE_STATE;
    if (needs_export) {
        ScanoutBuffer shown;
        // The buffers the client was last told on the overlays stay in its set.
        std::vector<uint64_t> on_screen;
        for (const FollowedPlane &other : f->planes)
            if (other.kind == UDS_PLANE_KIND_OVERLAY && other.last.buffer_id)
                on_screen.push_back(other.last.buffer_id);
        const int fresh =
            scanout_identify_buffer(&f->overlay_buffers, UDS_OVERLAY_MAX_BUFFERS, &f->next_buffer_id, drm_fd, s.fb_id,
                                    0, update->entries, &update->count, &update->text, &shown, &on_screen);
        if (fresh < 0) {
            fprintf(stderr,
                    "[Helper Thread] plane %u buffer (framebuffer %u) cannot be exported: %s; told as showing nothing\n",
                    p.plane_id, s.fb_id, strerror(errno));
            *update = PlaneStateUpdate{};
            update->record.type = UDS_EVENT_PLANE_STATE;
            p.refused_fb = s.fb_id;
            p.shown = ScanoutBuffer{};
            r = PlaneRecord{};
            r.plane_id = p.plane_id;
            if (p.told && same_state(r, p.last))
                return 0;
        } else {
            p.shown = shown;
            r.buffer_id = shown.buffer_id;
            r.width = shown.width;
            r.height = shown.height;
            r.format = shown.format;
            r.modifier = shown.modifier;
            if (fresh) {
                update->record.type = UDS_EVENT_PLANE_NEW;
                r.num_fds = uint32_t(update->count);
                r.text_length = uint32_t(update->text.size());
            }
        }
    } else if (p.kind == UDS_PLANE_KIND_OVERLAY && buffer) {
        // Named again: the most recently shown of the set.
        auto it = std::find_if(f->overlay_buffers.begin(), f->overlay_buffers.end(),
                               [&](const ScanoutBuffer &b) { return b.buffer_id == p.shown.buffer_id; });
        std::rotate(it, it + 1, f->overlay_buffers.end());
    }
    p.told = true;
    p.last = r;
    p.last.num_fds = 0;
    p.last.text_length = 0;
    const uint32_t type = update->record.type;
    update->record = r;
    update->record.type = type;
    update->record.length = UDS_PLANE_RECORD_LENGTH + r.text_length;
    update->record.sequence = sequence;
    return 1;
}

int plane_follower_check_hdr(PlaneFollower *f, int drm_fd, uint64_t sequence, HdrRecord *record)
{
    HdrFollower &h = f->hdr;
    HdrRecord now{};
    now.connector_id = h.connector_id;
    if (h.prop_metadata || h.prop_colorspace) {
        DrmObjectProperties props(drm_get_object_properties(drm_fd, h.connector_id, DRM_MODE_OBJECT_CONNECTOR));
        if (!props)
            return -1;
        uint64_t blob_id = 0;
        for (uint32_t i = 0; i < props->count_props; i++) {
            if (props->props[i] == h.prop_metadata)
                blob_id = props->prop_values[i];
            else if (props->props[i] == h.prop_colorspace)
                now.colorimetry =
                    enum_value(h.colorspace_values, props->prop_values[i], UDS_COLORIMETRY_DEFAULT);
        }
        // The kernel makes a new blob for new metadata: a blob is read once.
        if (blob_id != h.blob_id) {
            h.blob_id = blob_id;
            h.metadata = HdrRecord{};
            DrmPropertyBlob blob(blob_id ? drm_get_property_blob(drm_fd, uint32_t(blob_id)) : nullptr);
            if (blob)
                read_metadata(*blob, &h.metadata);
        }
        const uint32_t colorimetry = now.colorimetry;
        now = h.metadata;
        now.connector_id = h.connector_id;
        now.colorimetry = colorimetry;
    }
    if (h.told && std::memcmp(&now, &h.last, sizeof now) == 0)
        return 0;
    h.told = true;
    h.last = now;
    *record = now;
    record->type = UDS_EVENT_HDR_STATE;
    record->length = UDS_HDR_RECORD_LENGTH;
    record->sequence = sequence;
    return 1;
}
