#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "apps/capture/source/capture_session.h"

namespace {

// How often a blocked listener or a waiting reader looks at its flags.
constexpr int kPollSliceMs = 100;

void wake_reader(VBlankRing *ring)
{
    std::lock_guard<std::mutex> guard(ring->lock);
    ring->signal.notify_all();
}

// The stream is over: stop the ring so the reader does not sleep for ever.
void end_stream(VBlankRing *ring)
{
    ring->ended.store(true, std::memory_order_release);
    ring->running.store(false, std::memory_order_release);
    wake_reader(ring);
}

bool stop_requested(const VBlankRing *ring)
{
    return ring->stop_flag && ring->stop_flag->load();
}

}  // namespace

int vblank_ring_init(VBlankRing *ring, ServerConnection *connection, const StopFlag *stop_flag, ScanoutCache *scanout)
{
    if (!ring || !connection)
        return -1;
    std::memset(ring->slots, 0, sizeof(ring->slots));
    for (uint64_t &shown : ring->shown)
        shown = VBLANK_SHOWN_UNKNOWN;
    for (CursorPlacement &cursor : ring->cursor)
        cursor = CursorPlacement{};
    for (CrtcPicture &picture : ring->picture)
        picture = CrtcPicture{};
    ring->scanout = scanout;
    ring->write_count.store(0, std::memory_order_relaxed);
    ring->read_count = 0;
    ring->connection = connection;
    ring->stop_flag = stop_flag;
    ring->ended.store(false, std::memory_order_relaxed);
    ring->listener_started = false;
    ring->running.store(true, std::memory_order_release);
    return 0;
}

void *vblank_listener_thread(void *arg)
{
    auto *ring = static_cast<VBlankRing *>(arg);
    printf("[Listener] Ring Buffer Mode Started. (Lock-Free Write)\n");
    fflush(stdout);
    if (!ring->running.load(std::memory_order_acquire))
        return nullptr;
    for (;;) {
        // Wait in slices so that a stop is seen even when no event comes.
        pollfd p{ring->connection->event_fd.get(), POLLIN, 0};
        int rc = poll(&p, 1, kPollSliceMs);
        if (!ring->running.load(std::memory_order_acquire))
            return nullptr;
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc == 0)
            continue;
        uint64_t shown = VBLANK_SHOWN_UNKNOWN;
        CursorPlacement cursor{};
        VBlankEvent event;
        if (ring->scanout) {
            // Scanout records come before their blank's event; they are
            // applied to the cache as they come (types this end does not know
            // are passed over), and the event is stamped with what is on
            // screen after them.
            framelink::EventMessage message;
            if (rc < 0 || framelink::read_event(ring->connection->event_fd.get(), -1, &message) != 0) {
                perror("[Listener] read error");
                end_stream(ring);
                return nullptr;
            }
            if (message.type != UDS_EVENT_VBLANK) {
                scanout_cache_apply(ring->scanout, &message);
                continue;
            }
            event = message.vblank;
            std::lock_guard<std::mutex> guard(ring->scanout->lock);
            shown = ring->scanout->shown_id;
            cursor = ring->scanout->cursor;
            if (ring->scanout->planes) {
                const uint64_t slot = ring->write_count.load(std::memory_order_relaxed) % VBLANK_RING_SLOTS;
                scanout_cache_picture_locked(ring->scanout, &ring->picture[slot]);
            }
        } else if (rc < 0 || uds_client_event_read(ring->connection, &event) != 0) {
            perror("[Listener] read error");
            end_stream(ring);
            return nullptr;
        }
        uint64_t w = ring->write_count.load(std::memory_order_relaxed);
        ring->slots[w % VBLANK_RING_SLOTS] = event;
        ring->shown[w % VBLANK_RING_SLOTS] = shown;
        ring->cursor[w % VBLANK_RING_SLOTS] = cursor;
        ring->write_count.store(w + 1, std::memory_order_release);
        wake_reader(ring);
        if (!ring->running.load(std::memory_order_acquire))
            return nullptr;
    }
}

int vblank_ring_start(VBlankRing *ring)
{
    if (!ring || !ring->connection)
        return -1;
    int rc = pthread_create(&ring->listener, nullptr, vblank_listener_thread, ring);
    if (rc != 0) {
        errno = rc;
        perror("[Listener] pthread_create failed");
        ring->running.store(false, std::memory_order_release);
        return -1;
    }
    ring->listener_started = true;
    return 0;
}

void vblank_ring_stop(VBlankRing *ring)
{
    if (!ring)
        return;
    ring->running.store(false, std::memory_order_release);
    wake_reader(ring);
    if (ring->listener_started) {
        pthread_join(ring->listener, nullptr);
        ring->listener_started = false;
    }
}

int vblank_ring_take(VBlankRing *ring, uint64_t *server_time_ns, uint64_t *events_since_last, uint64_t *shown_buffer,
                     CursorPlacement *cursor, CrtcPicture *picture)
{
    uint64_t w;
    {
        std::unique_lock<std::mutex> guard(ring->lock);
        for (;;) {
            w = ring->write_count.load(std::memory_order_acquire);
            if (!ring->running.load(std::memory_order_acquire) || stop_requested(ring))
                return -1;
            if (w != ring->read_count)
                break;
            ring->signal.wait_for(guard, std::chrono::milliseconds(kPollSliceMs));
        }
    }
    const VBlankEvent &newest = ring->slots[(w - 1) % VBLANK_RING_SLOTS];
    if (server_time_ns)
        *server_time_ns = newest.server_time_ns;
    if (events_since_last)
        *events_since_last = w - ring->read_count;
    if (shown_buffer)
        *shown_buffer = ring->shown[(w - 1) % VBLANK_RING_SLOTS];
    if (cursor)
        *cursor = ring->cursor[(w - 1) % VBLANK_RING_SLOTS];
    if (picture)
        *picture = ring->picture[(w - 1) % VBLANK_RING_SLOTS];
    ring->read_count = w;
    return 0;
}
