#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

#include "apps/capture/source/capture_session.h"
#include "apps/capture/source/frame_map.h"

namespace {


template <typename Entry>
void clear_entry(Entry *entry)
{
    capture_frame_close(&entry->frame);
    *entry = Entry{};
}

// The entry of a set that holds the helper's id, or null (0 names none).
template <typename Set>
auto find_by_id(Set &set, uint64_t id) -> decltype(&*std::begin(set))
{
    if (id == 0)
        return nullptr;
    for (auto &entry : set)
        if (entry.buffer_id == id)
            return &entry;
    return nullptr;
}

// Fills a cleared entry's frame with a NEW record's description and takes
// the message's descriptors, one a plane (the caller has checked that they
// match the plane count).
void take_frame(FrameMetadata *frame, framelink::EventMessage *message)
{
    static_cast<framelink::FrameMetadata &>(*frame) = message->frame.description();
    for (int i = 0; i < frame->plane_count; ++i)
        frame->planes[i].fd = std::move(message->fds[size_t(i)]);
    frame->fd = frame->planes[0].fd.get();
}

CursorImage *find_cursor(ScanoutCache *cache, uint64_t image_id)
{
    return find_by_id(cache->cursor_images, image_id);
}

// A cursor record: a new image joins the set (the least recently shown one
// forgotten when it is full), a state names one the set holds; either way
// the placement is the record's. A record this end cannot follow leaves
// the cursor out until the next one.
int apply_cursor(ScanoutCache *cache, framelink::EventMessage *message)
{
    const CursorRecord &r = message->cursor;
    cache->cursor = CursorPlacement{};
    if (message->type == UDS_EVENT_NO_CURSOR || !r.visible)
        return 0;
    CursorImage *image = find_cursor(cache, r.buffer_id);
    if (message->type == UDS_EVENT_CURSOR_NEW) {
        const framelink::FrameMetadata &text = message->frame;
        if (r.buffer_id == 0 || text.plane_count < 1 || message->fds.size() != size_t(text.plane_count)) {
            fprintf(stderr, "[Listener] cursor image %llu came without its descriptors\n",
                    static_cast<unsigned long long>(r.buffer_id));
            return -1;
        }
        if (image) {
            clear_entry(image);
        } else {
            image = &cache->cursor_images[0];
            for (CursorImage &entry : cache->cursor_images) {
                if (entry.buffer_id == 0) {
                    image = &entry;
                    break;
                }
                if (entry.last_shown < image->last_shown)
                    image = &entry;
            }
            clear_entry(image);
        }
        image->buffer_id = r.buffer_id;
        take_frame(&image->frame, message);
    } else if (!image) {
        fprintf(stderr, "[Listener] cursor image %llu is not among the received ones\n",
                static_cast<unsigned long long>(r.buffer_id));
        return -1;
    }
    image->last_shown = ++cache->cursor_stamp;
    cache->cursor = CursorPlacement{r.buffer_id, r.x, r.y, r.crtc_width, r.crtc_height, r.fb_id};
    return 0;
}

ScanoutBuffer *find(ScanoutCache *cache, uint64_t buffer_id)
{
    return find_by_id(cache->entries, buffer_id);
}

// An empty entry of the set, or the least recently shown one that is not
// on screen (kept(buffer_id) false) after forgetting it.
template <size_t N, class Kept>
ScanoutBuffer *make_room(ScanoutBuffer (&set)[N], Kept kept)
{
    ScanoutBuffer *oldest = nullptr;
    for (ScanoutBuffer &entry : set) {
        if (entry.buffer_id == 0)
            return &entry;
        if (!kept(entry.buffer_id) && (!oldest || entry.last_shown < oldest->last_shown))
            oldest = &entry;
    }
    if (!oldest)  // every one on screen: the helper's set is larger than the planes, so never
        oldest = &set[0];
    clear_entry(oldest);
    return oldest;
}

// A new buffer joins the set (a buffer_id is never reused on a connection;
// one told twice replaces the first copy). Null when it came without its
// descriptors.
template <size_t N, class Kept>
ScanoutBuffer *take_into(ScanoutBuffer (&set)[N], uint64_t *stamp, uint64_t buffer_id,
                         framelink::EventMessage *message, Kept kept)
{
    const int planes = message->frame.plane_count;
    if (buffer_id == 0 || planes < 1 || planes > int(UDS_MAX_PLANES) || message->fds.size() != size_t(planes)) {
        fprintf(stderr, "[Listener] new buffer %llu came without its descriptors\n",
                static_cast<unsigned long long>(buffer_id));
        return nullptr;
    }
    ScanoutBuffer *entry = find_by_id(set, buffer_id);
    if (entry)
        clear_entry(entry);
    else
        entry = make_room(set, kept);
    entry->buffer_id = buffer_id;
    entry->last_shown = ++*stamp;
    take_frame(&entry->frame, message);
    return entry;
}

int take_new_buffer(ScanoutCache *cache, framelink::EventMessage *message)
{
    const ScanoutRecord &record = message->record;
    ScanoutBuffer *entry =
        take_into(cache->entries, &cache->stamp, record.buffer_id, message, [](uint64_t) { return false; });
    if (!entry) {
        cache->shown_id = VBLANK_SHOWN_UNKNOWN;
        return -1;
    }
    if (record.refresh)
        entry->frame.refresh_rate = record.refresh;  // the CRTC's rate now, over the description's
    cache->shown_id = record.buffer_id;
    return 0;
}

// A plane record: an overlay's new buffer joins the overlays' set, a named
// one becomes the most recently shown; the state replaces the plane's last
// one. A record this end cannot follow shows the plane as showing nothing
// until its next record.
int apply_plane(ScanoutCache *cache, framelink::EventMessage *message)
{
    PlaneRecord state = message->plane;
    int rc = 0;
    if (state.kind == UDS_PLANE_KIND_OVERLAY && state.buffer_id != 0) {
        ScanoutBuffer *entry = nullptr;
        if (message->type == UDS_EVENT_PLANE_NEW) {
            // The buffers last told on the overlays stay, as in the helper's set.
            auto on_screen = [cache](uint64_t id) {
                for (uint32_t i = 0; i < cache->plane_state_count; ++i)
                    if (cache->plane_states[i].kind == UDS_PLANE_KIND_OVERLAY && cache->plane_states[i].buffer_id == id)
                        return true;
                return false;
            };
            entry = take_into(cache->overlays, &cache->overlay_stamp, state.buffer_id, message, on_screen);
        } else {
            entry = find_by_id(cache->overlays, state.buffer_id);
            if (entry)
                entry->last_shown = ++cache->overlay_stamp;
            else
                fprintf(stderr, "[Listener] overlay buffer %llu is not among the received ones\n",
                        static_cast<unsigned long long>(state.buffer_id));
        }
        if (!entry) {
            state.buffer_id = 0;
            rc = -1;
        }
    }
    state.num_fds = 0;
    state.text_length = 0;
    for (uint32_t i = 0; i < cache->plane_state_count; ++i) {
        if (cache->plane_states[i].plane_id == state.plane_id) {
            cache->plane_states[i] = state;
            return rc;
        }
    }
    if (cache->plane_state_count == UDS_MAX_FOLLOWED_PLANES) {
        fprintf(stderr, "[Listener] plane %u is one more than the %u followed: left out\n", state.plane_id,
                UDS_MAX_FOLLOWED_PLANES);
        return -1;
    }
    cache->plane_states[cache->plane_state_count++] = state;
    return rc;
}

}  // namespace

void capture_frame_close(FrameMetadata *frame)
{
    uds_client_close_frame(frame);
}

ScanoutCache *scanout_cache_create()
{
    auto *cache = new (std::nothrow) ScanoutCache{};
    if (!cache)
        return nullptr;
    for (ScanoutBuffer &entry : cache->entries)
        clear_entry(&entry);
    for (CursorImage &image : cache->cursor_images)
        clear_entry(&image);
    for (ScanoutBuffer &entry : cache->overlays)
        clear_entry(&entry);
    cache->shown_id = VBLANK_SHOWN_UNKNOWN;
    return cache;
}

void scanout_cache_destroy(ScanoutCache *cache)
{
    if (!cache)
        return;
    for (ScanoutBuffer &entry : cache->entries)
        clear_entry(&entry);
    for (CursorImage &image : cache->cursor_images)
        clear_entry(&image);
    for (ScanoutBuffer &entry : cache->overlays)
        clear_entry(&entry);
    delete cache;
}

int scanout_cache_apply(ScanoutCache *cache, framelink::EventMessage *message)
{
    std::lock_guard<std::mutex> guard(cache->lock);
    if (message->type >= UDS_EVENT_CURSOR_NEW && message->type <= UDS_EVENT_NO_CURSOR)
        return apply_cursor(cache, message);
    if (message->type == UDS_EVENT_PLANE_NEW || message->type == UDS_EVENT_PLANE_STATE)
        return apply_plane(cache, message);
    if (message->type == UDS_EVENT_HDR_STATE) {
        cache->hdr = hdr_signal_from_record(message->hdr);
        return 0;
    }
    if (message->type == UDS_EVENT_CRTC_STATE) {
        cache->crtc = message->crtc;
        if (cache->crtc.refresh)
            cache->refresh = cache->crtc.refresh;
        return 0;
    }
    const ScanoutRecord &record = message->record;
    if (record.refresh)
        cache->refresh = record.refresh;
    switch (message->type) {
    case UDS_EVENT_BUFFER_NEW: return take_new_buffer(cache, message);
    case UDS_EVENT_BUFFER_SHOWN: {
        ScanoutBuffer *entry = find(cache, record.buffer_id);
        if (!entry) {
            fprintf(stderr, "[Listener] shown buffer %llu is not among the received ones\n",
                    static_cast<unsigned long long>(record.buffer_id));
            cache->shown_id = VBLANK_SHOWN_UNKNOWN;
            return -1;
        }
        entry->last_shown = ++cache->stamp;
        if (record.refresh)
            entry->frame.refresh_rate = record.refresh;
        cache->shown_id = record.buffer_id;
        return 0;
    }
    case UDS_EVENT_DARK: cache->shown_id = 0; return 0;
    default: return 0;
    }
}

namespace {

int copy_entry(const ScanoutBuffer *entry, FrameMetadata *out)
{
    if (!entry)
        return -1;
    FrameMetadata copy;
    static_cast<framelink::FrameMetadata &>(copy) = entry->frame.description();
    for (int i = 0; i < copy.plane_count; ++i) {
        copy.planes[i].fd.reset(fcntl(entry->frame.planes[i].fd.get(), F_DUPFD_CLOEXEC, 0));
        if (!copy.planes[i].fd) {
            perror("[Capture] cannot copy a scanout buffer's descriptor");
            return -1;
        }
    }
    copy.fd = copy.planes[0].fd.get();
    *out = std::move(copy);
    return 0;
}

}  // namespace

int scanout_cache_copy(ScanoutCache *cache, uint64_t buffer_id, FrameMetadata *out)
{
    std::lock_guard<std::mutex> guard(cache->lock);
    return copy_entry(find(cache, buffer_id), out);
}

int scanout_cache_copy_overlay(ScanoutCache *cache, uint64_t buffer_id, FrameMetadata *out)
{
    std::lock_guard<std::mutex> guard(cache->lock);
    return copy_entry(find_by_id(cache->overlays, buffer_id), out);
}

bool scanout_cache_holds(ScanoutCache *cache, uint64_t buffer_id)
{
    std::lock_guard<std::mutex> guard(cache->lock);
    return find(cache, buffer_id) != nullptr;
}

bool scanout_cache_holds_overlay(ScanoutCache *cache, uint64_t buffer_id)
{
    std::lock_guard<std::mutex> guard(cache->lock);
    return find_by_id(cache->overlays, buffer_id) != nullptr;
}

void scanout_cache_picture_locked(const ScanoutCache *cache, CrtcPicture *picture)
{
    picture->crtc = cache->planes ? cache->crtc : CrtcRecord{};
    picture->count = 0;
    picture->hdr = cache->hdr;
    if (!cache->planes)
        return;
    for (uint32_t i = 0; i < cache->plane_state_count; ++i) {
        const PlaneRecord &plane = cache->plane_states[i];
        if (plane.buffer_id != 0 && plane.kind != UDS_PLANE_KIND_CURSOR)
            picture->planes[picture->count++] = plane;
    }
    std::stable_sort(picture->planes, picture->planes + picture->count, [](const PlaneRecord &a, const PlaneRecord &b) {
        return a.zpos != b.zpos ? a.zpos < b.zpos : a.plane_id < b.plane_id;
    });
}

int scanout_cache_read_cursor(ScanoutCache *cache, uint64_t image_id, std::vector<uint32_t> *pixels, uint32_t *width,
                              uint32_t *height)
{
    FrameMetadata frame;
    int fd = -1;
    {
        std::lock_guard<std::mutex> guard(cache->lock);
        const CursorImage *image = find_cursor(cache, image_id);
        if (!image) {
            fprintf(stderr, "[Capture] cursor image %llu is not held\n", static_cast<unsigned long long>(image_id));
            return -1;
        }
        static_cast<framelink::FrameMetadata &>(frame) = image->frame.description();
        // A copy of the descriptor, so the listener may forget the image
        // while it is read.
        fd = fcntl(image->frame.fd, F_DUPFD_CLOEXEC, 0);
    }
    frame.planes[0].fd.reset(fd);
    if (!frame.planes[0].fd) {
        perror("[Capture] cannot copy a cursor image's descriptor");
        return -1;
    }
    // Through the same mapping code as the followed frames: a linear layout
    // of one of the packed formats, each read bracketed for a dma-buf.
    frame.fd = frame.planes[0].fd.get();
    const bool opaque = frame.format == FRAME_FOURCC_XRGB8888 || frame.format == FRAME_FOURCC_XBGR8888;
    FrameMapping map;
    if (frame.width > 1024 || frame.height > 1024 || !frame_map_packed(frame.format) || !frame_map_readable(&frame) ||
        frame_map_open(&frame, &map) != 0) {
        fprintf(stderr, "[Capture] cursor image %ux%u, format 0x%08x, modifier 0x%llx cannot be drawn: left out\n",
                frame.width, frame.height, frame.format, static_cast<unsigned long long>(frame.modifier));
        return -1;
    }
    if (frame_map_begin_read(&map) != 0)
        return -1;
    pixels->resize(size_t(frame.width) * frame.height);
    for (uint32_t y = 0; y < frame.height; ++y) {
        uint32_t *row = pixels->data() + size_t(y) * frame.width;
        std::memcpy(row, map.pixels() + size_t(y) * map.stride, size_t(frame.width) * 4);
        for (uint32_t x = 0; x < frame.width; ++x) {
            uint32_t p = row[x];
            // R, G, B, A in memory: red and blue trade places.
            if (map.red_first)
                p = (p & 0xFF00FF00u) | (p & 0xFFu) << 16 | (p >> 16 & 0xFFu);
            row[x] = opaque ? p | 0xFF000000u : p;
        }
    }
    frame_map_end_read(&map);
    *width = frame.width;
    *height = frame.height;
    return 0;
}
