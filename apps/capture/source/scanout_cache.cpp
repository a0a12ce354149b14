#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <new>

#include "apps/capture/source/capture_session.h"

namespace {

void clear_entry(ScanoutBuffer *entry)
{
    capture_frame_close(&entry->frame);
    *entry = ScanoutBuffer{};
    entry->frame.fd = -1;
    for (FramePlane &plane : entry->frame.planes)
        plane.fd = -1;
}

ScanoutBuffer *find(ScanoutCache *cache, uint64_t buffer_id)
{
    if (buffer_id == 0)
        return nullptr;
    for (ScanoutBuffer &entry : cache->entries)
        if (entry.buffer_id == buffer_id)
            return &entry;
    return nullptr;
}

// An empty entry, or the least recently shown one after forgetting it.
ScanoutBuffer *make_room(ScanoutCache *cache)
{
    ScanoutBuffer *oldest = &cache->entries[0];
    for (ScanoutBuffer &entry : cache->entries) {
        if (entry.buffer_id == 0)
            return &entry;
        if (entry.last_shown < oldest->last_shown)
            oldest = &entry;
    }
    clear_entry(oldest);
    return oldest;
}

int take_new_buffer(ScanoutCache *cache, framelink::EventMessage *message)
{
    const ScanoutRecord &record = message->record;
    const framelink::FrameMetadata &text = message->frame;
    const int planes = text.plane_count;
    if (record.buffer_id == 0 || planes < 1 || planes > int(UDS_MAX_PLANES) ||
        message->fds.size() != size_t(planes)) {
        fprintf(stderr, "[Listener] new buffer %llu came without its descriptors\n",
                static_cast<unsigned long long>(record.buffer_id));
        cache->shown_id = VBLANK_SHOWN_UNKNOWN;
        return -1;
    }
    // A buffer_id is never reused on a connection; one told twice replaces
    // the first copy.
    ScanoutBuffer *entry = find(cache, record.buffer_id);
    if (entry)
        clear_entry(entry);
    else
        entry = make_room(cache);
    entry->buffer_id = record.buffer_id;
    entry->last_shown = ++cache->stamp;
    FrameMetadata &frame = entry->frame;
    frame.width = text.width;
    frame.height = text.height;
    frame.format = text.format;
    frame.stride = text.stride;
    frame.offset = text.offset;
    frame.modifier = text.modifier;
    frame.refresh_rate = record.refresh ? record.refresh : text.refresh_rate;
    frame.plane_count = planes;
    for (int i = 0; i < planes; ++i)
        frame.planes[i] = {message->fds[size_t(i)].release(), text.planes[i].stride, text.planes[i].offset};
    frame.fd = frame.planes[0].fd;
    cache->shown_id = record.buffer_id;
    return 0;
}

}  // namespace

void capture_frame_close(FrameMetadata *frame)
{
    if (!frame)
        return;
    const int count = frame->plane_count < 0 ? 0 : (frame->plane_count > 4 ? 4 : frame->plane_count);
    for (int i = 0; i < count; ++i) {
        if (frame->planes[i].fd >= 0)
            close(frame->planes[i].fd);
        frame->planes[i].fd = -1;
    }
    frame->fd = -1;
    frame->plane_count = 0;
}

ScanoutCache *scanout_cache_create()
{
    auto *cache = new (std::nothrow) ScanoutCache{};
    if (!cache)
        return nullptr;
    for (ScanoutBuffer &entry : cache->entries)
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
    delete cache;
}

int scanout_cache_apply(ScanoutCache *cache, framelink::EventMessage *message)
{
    std::lock_guard<std::mutex> guard(cache->lock);
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

int scanout_cache_copy(ScanoutCache *cache, uint64_t buffer_id, FrameMetadata *out)
{
    std::lock_guard<std::mutex> guard(cache->lock);
    const ScanoutBuffer *entry = find(cache, buffer_id);
    if (!entry)
        return -1;
    FrameMetadata copy = entry->frame;
    copy.texture = 0;
    copy.framebuffer = 0;
    for (int i = 0; i < copy.plane_count; ++i)
        copy.planes[i].fd = -1;
    for (int i = 0; i < copy.plane_count; ++i) {
        copy.planes[i].fd = fcntl(entry->frame.planes[i].fd, F_DUPFD_CLOEXEC, 0);
        if (copy.planes[i].fd < 0) {
            perror("[Capture] cannot copy a scanout buffer's descriptor");
            capture_frame_close(&copy);
            return -1;
        }
    }
    copy.fd = copy.planes[0].fd;
    *out = copy;
    return 0;
}

bool scanout_cache_holds(ScanoutCache *cache, uint64_t buffer_id)
{
    std::lock_guard<std::mutex> guard(cache->lock);
    return find(cache, buffer_id) != nullptr;
}
