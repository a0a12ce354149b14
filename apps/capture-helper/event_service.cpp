#include "apps/capture-helper/event_service.h"
#include "apps/capture-helper/peer_access.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <poll.h>
#include <string>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "apps/capture-helper/drm_module.h"
#include "apps/capture-helper/server.h"
#include "libs/common/unix_socket.h"

namespace {

// Waits until fd has any of events, or the stop eventfd fires, or the time
// (ms, -1 = none) runs out. 1 = fd ready, 0 = time-out, -1 = stopped or
// the wait failed (errno set; ECANCELED for a stop).
int wait_or_stop(int fd, short events, int stop_fd, int timeout_ms)
{
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {stop_fd, POLLIN, 0}};
        int n = poll(fds, 2, timeout_ms);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (fds[1].revents) {
            errno = ECANCELED;
            return -1;
        }
        if (n == 0)
            return 0;
        return 1;
    }
}

// Sends one message (head, then tail, with fds as SCM_RIGHTS data). While
// the client's socket is full this waits, but gives way to a stop request
// and to the client speaking (which ends its stream in the event loop).
// 1 = sent, 0 = gave way, -1 = failed (errno set).
int send_packet(SequenceTarget *target, const void *head, size_t head_length, const void *tail = nullptr,
                size_t tail_length = 0, const int *fds = nullptr, int fd_count = 0)
{
    iovec iov[2] = {{const_cast<void *>(head), head_length}, {const_cast<void *>(tail), tail_length}};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * UDS_MAX_PLANES)] = {};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = tail_length ? 2 : 1;
    if (fd_count > 0) {
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(sizeof(int) * size_t(fd_count));
        cmsghdr *cm = CMSG_FIRSTHDR(&msg);
        cm->cmsg_level = SOL_SOCKET;
        cm->cmsg_type = SCM_RIGHTS;
        cm->cmsg_len = CMSG_LEN(sizeof(int) * size_t(fd_count));
        memcpy(CMSG_DATA(cm), fds, sizeof(int) * size_t(fd_count));
    }
    for (;;) {
        ssize_t n = sendmsg(target->client_socket, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == ssize_t(head_length + tail_length))
            return 1;
        if (n >= 0) {
            errno = EMSGSIZE;
            return -1;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
        pollfd pfds[2] = {{target->client_socket, POLLOUT | POLLIN, 0}, {target->stop_fd, POLLIN, 0}};
        if (poll(pfds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (pfds[1].revents) {
            target->stopping = true;
            return 0;
        }
        if ((pfds[0].revents & POLLIN) && !(pfds[0].revents & (POLLOUT | POLLHUP | POLLERR)))
            return 0;
    }
}

// One record with its description and exported planes; the helper's copies
// close with their owner, right after the send.
template <typename Record>
int send_update(SequenceTarget *target, const Record &record, const std::string &text, const PlaneEntry *entries,
                int count)
{
    int fds[UDS_MAX_PLANES] = {};
    for (int i = 0; i < count; i++)
        fds[i] = entries[i].fd.get();
    return send_packet(target, &record, sizeof record, text.data(), text.size(), fds, count);
}

// For a client that follows every plane: after the blank's scanout and
// cursor records, the CRTC's record if it changed, then one record per
// plane that changed, then the connector's HDR record if it changed. Same results as send_packet.
int send_plane_records(SequenceTarget *target, uint64_t sequence)
{
    if (!target->planes_following) {
        if (target->planes_failed)
            return 1;
        if (plane_follower_init(&target->planes, target->device_fd, target->crtc_id, target->connector_id,
                                target->follower, target->cursor) < 0) {
            perror("[Helper Thread] cannot follow the planes");
            target->planes_failed = true;
            return 1;
        }
        target->planes_following = true;
    }
    CrtcRecord crtc{};
    int sent = 1;
    const int rc = plane_follower_check_crtc(&target->planes, target->device_fd, sequence, &crtc);
    if (rc < 0)
        fprintf(stderr, "[Helper Thread] CRTC of blank %llu not told: %s\n",
                static_cast<unsigned long long>(sequence), strerror(errno));
    if (rc > 0)
        sent = send_packet(target, &crtc, sizeof crtc);
    for (size_t i = 0; sent > 0 && i < target->planes.planes.size(); i++) {
        PlaneStateUpdate update;
        if (plane_follower_check_plane(&target->planes, i, target->device_fd, sequence, target->follower,
                                       target->cursor, &update) > 0)
            sent = send_update(target, update.record, update.text, update.entries, update.count);
    }
    HdrRecord hdr{};
    const int hdr_rc = sent > 0 ? plane_follower_check_hdr(&target->planes, target->device_fd, sequence, &hdr) : 0;
    if (hdr_rc < 0)
        fprintf(stderr, "[Helper Thread] HDR state of blank %llu not told: %s\n",
                static_cast<unsigned long long>(sequence), strerror(errno));
    if (hdr_rc > 0)
        sent = send_packet(target, &hdr, sizeof hdr);
    return sent;
}

// For a client that follows the scanout: the records of this blank, the
// primary plane's if its buffer changed, then the cursor's if anything of
// it changed. Same results as send_packet; 1 when there was
// nothing to send. A plane that cannot be followed is reported (once) and
// the blank's event still goes out.
int send_scanout_record(SequenceTarget *target, uint64_t sequence)
{
    if (!target->following) {
        if (target->follow_failed)
            return 1;
        if (scanout_follower_init(&target->follower, target->device_fd, target->crtc_id) < 0) {
            perror("[Helper Thread] cannot follow the scanout");
            target->follow_failed = true;
            return 1;
        }
        cursor_follower_init(&target->cursor, target->device_fd, target->crtc_id);
        target->following = true;
    }
    ScanoutUpdate update;
    int rc = scanout_follower_check(&target->follower, target->device_fd, sequence, &update);
    if (rc < 0)
        fprintf(stderr, "[Helper Thread] scanout of blank %llu not told: %s\n",
                static_cast<unsigned long long>(sequence), strerror(errno));
    int sent = 1;
    if (rc > 0)
        sent = send_update(target, update.record, update.text, update.entries, update.count);
    if (sent <= 0)
        return sent;
    CursorUpdate cursor;
    rc = cursor_follower_check(&target->cursor, target->device_fd, sequence, &cursor);
    if (rc > 0)
        sent = send_update(target, cursor.record, cursor.text, cursor.entries, cursor.count);
    if (sent > 0 && target->follow_planes && target->follow_planes->load(std::memory_order_relaxed))
        sent = send_plane_records(target, sequence);
    return sent;
}

void finish_service(ClientState *state, EventService *service)
{
    // The request loop joins this thread before it starts another service,
    // so this can only ever clear this service's own flags.
    service->running.store(false);
    state->event_running.store(0);
}

}  // namespace

void my_sequence_handler(int fd, uint64_t sequence, uint64_t ns, uint64_t user_data)
{
    auto *target = reinterpret_cast<SequenceTarget *>(user_data);
    if (!target)
        return;
    VBlankEvent event{};
    event.type = UDS_EVENT_VBLANK;
    event.length = UDS_EVENT_VBLANK_LENGTH;
    event.sequence = sequence;
    event.vblank_time_ns = ns;
    event.server_time_ns = drm_event_time_ns(fd);

    int sent = 1;
    if (target->follow && target->follow->load(std::memory_order_relaxed))
        sent = send_scanout_record(target, sequence);
    if (sent > 0)
        sent = send_packet(target, &event, sizeof event);
    if (sent > 0)
        drm_crtc_queue_sequence(target->device_fd, target->crtc_id, DRM_CRTC_SEQUENCE_RELATIVE, 1, nullptr, user_data);
    else if (sent < 0)
        perror("[Helper Thread] Failed to write to client (disconnected?)");
}

int drm_event_handler(ClientState *state, EventService *service, int client_sock)
{
    UniqueFD client(client_sock);
    const int drm_fd = state->device_fd.get();
    const uint32_t crtc_id = state->crtc_id;
    if (drm_fd < 0 || crtc_id == 0) {
        fputs("[Event Handler] Invalid DRM config\n", stderr);
        return 0;
    }

    UniqueFD epoll(epoll_create1(EPOLL_CLOEXEC));
    if (!epoll) {
        perror("[Helper Thread] epoll_create1 failed");
        return 0;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = drm_fd;
    if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, drm_fd, &ev) < 0) {
        perror("[Helper Thread] epoll_ctl failed for drm_fd");
        return 0;
    }
    ev.events = EPOLLIN | EPOLLHUP | EPOLLRDHUP;
    ev.data.fd = client.get();
    if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, client.get(), &ev) < 0) {
        perror("[Helper Thread] epoll_ctl failed for client_sock");
        return 0;
    }
    const int stop_fd = service->stop_fd.get();
    ev.events = EPOLLIN;
    ev.data.fd = stop_fd;
    if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, stop_fd, &ev) < 0) {
        perror("[Helper Thread] epoll_ctl failed for the stop signal");
        return 0;
    }

    drmEventContext context{};
    context.version = 4;
    context.sequence_handler = my_sequence_handler;
    auto target = std::unique_ptr<SequenceTarget>(new (std::nothrow)
                                                      SequenceTarget{drm_fd, crtc_id, client.get(), stop_fd, false});
    if (target) {
        target->follow = &state->follow_scanout;
        target->follow_planes = &state->follow_planes;
        target->connector_id = state->connector_id;
    }
    if (!target) {
        errno = ENOMEM;
        perror("[Helper Thread] Initial drmCrtcQueueSequence failed");
        return 0;
    }
    if (drm_crtc_queue_sequence(drm_fd, crtc_id, DRM_CRTC_SEQUENCE_RELATIVE, 1, nullptr,
                                reinterpret_cast<uint64_t>(target.get())) != 0) {
        perror("[Helper Thread] Initial drmCrtcQueueSequence failed");
        return 0;
    }

    while (service->running.load() && !target->stopping) {
        epoll_event ready[3];
        int n = epoll_wait(epoll.get(), ready, 3, 1000);
        if (!service->running.load())
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            perror("[Helper Thread] epoll_wait failed");
            break;
        }
        bool leave = false;
        for (int i = 0; i < n && !leave; ++i) {
            int fd = ready[i].data.fd;
            if (fd == client.get()) {
                fputs("[Helper Thread] Client disconnected.\n", stderr);
                leave = true;
            } else if (fd == stop_fd) {
                leave = true;
            } else if (fd == drm_fd) {
                drm_handle_event(drm_fd, &context);
                if (target->stopping)
                    leave = true;
            }
        }
        if (leave)
            break;
    }

    printf("[Helper Thread] Cleaning up thread for client %d\n", client.get());
    // epoll, the client socket and the SequenceTarget go with their owners.
    // A request still queued on the device names the SequenceTarget; the
    // device is never read again by this service, and it is closed (which
    // drops the request) before another service can use a new descriptor.
    return 0;
}

void event_socket_thread(ClientState *state, EventService *service)
{
    // A failed set-up leaves no socket file behind.
    const char *failed = nullptr;
    UniqueFD listener = unix_bind(UDS_EVENT_PATH, SOCK_SEQPACKET, {.backlog = 1}, &failed);
    if (!listener) {
        const std::string what = std::string("[Event Thread] ") + failed + "() failed";
        perror(what.c_str());
        finish_service(state, service);
        service->ready.release();
        return;
    }
    state->event_listen_socket.store(listener.get());
    auto drop_listener = [&] {
        state->event_listen_socket.store(-1);
        listener.reset();
        unlink(UDS_EVENT_PATH);
        finish_service(state, service);
    };
    if (peer_access_set_group(UDS_EVENT_PATH) < 0)
        perror("[Event Thread] chown() failed");
    chmod(UDS_EVENT_PATH, peer_access_socket_mode());
    printf("[Event Thread] Listening on %s\n", UDS_EVENT_PATH);
    service->ready.release();

    // Wait for the one event client, seeing a stop request at once. A
    // client that may not use the helper is refused and the wait goes on.
wait_for_client:
    int waited;
    do {
        waited = wait_or_stop(listener.get(), POLLIN, service->stop_fd.get(), 1000);
    } while (waited == 0 && service->running.load());
    if (waited < 0 || !service->running.load()) {
        if (errno != ECANCELED && service->running.load())
            perror("[Event Thread] accept() failed");
        drop_listener();
        return;
    }
    int accepted;
    do {
        accepted = accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
    } while (accepted < 0 && errno == EINTR);
    if (accepted < 0) {
        perror("[Event Thread] accept() failed");
        drop_listener();
        return;
    }
    if (!peer_access_admit(accepted, "[Event Thread]")) {
        close(accepted);
        goto wait_for_client;
    }
    puts("[Event Thread] Client connected");

    drm_event_handler(state, service, accepted);
    drop_listener();
}

int event_service_start(ClientState *state)
{
    auto service = std::unique_ptr<EventService>(new (std::nothrow) EventService);
    if (!service)
        return -1;
    service->stop_fd.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!service->stop_fd)
        return -1;
    state->event_running.store(1);
    EventService *raw = service.get();
    // pthread_create, so that a failed start is a result, not an exception.
    struct Start {
        ClientState *state;
        EventService *service;
    };
    auto *start = new (std::nothrow) Start{state, raw};
    if (!start) {
        state->event_running.store(0);
        return -1;
    }
    pthread_t tid;
    int rc = pthread_create(
        &tid, nullptr,
        [](void *arg) -> void * {
            std::unique_ptr<Start> s(static_cast<Start *>(arg));
            event_socket_thread(s->state, s->service);
            return nullptr;
        },
        start);
    if (rc != 0) {
        delete start;
        state->event_running.store(0);
        errno = rc;
        return -1;
    }
    raw->tid = tid;
    raw->ready.acquire();
    state->event_thread = std::move(service);
    return 0;
}

void event_service_stop(ClientState *state)
{
    std::unique_ptr<EventService> service = std::move(state->event_thread);
    if (!service)
        return;
    service->running.store(false);
    uint64_t one = 1;
    ssize_t ignored = write(service->stop_fd.get(), &one, sizeof one);
    (void)ignored;
    pthread_join(service->tid, nullptr);
    state->event_running.store(0);
}
