// The vertical-blank event service of one selected target: the sequenced-
// packet socket "/tmp/vistrel_event.sock", its single event client, and one
// 32-byte VBlankEvent per vertical blank of the target's CRTC.
//
// Lifetime. Each target's service is an EventService record owned by the
// ClientState (unique_ptr); its thread is joined, never detached. The record
// carries the service's own stop flag and an eventfd that is signalled once
// and then stays readable. Every place the service can wait watches that
// eventfd as well: the wait for the event client to connect (poll on the
// listening socket), the event loop (epoll) and a send to a client whose
// socket buffer is full (poll for writability). So a stop request ends the
// service at once, whatever it is waiting for. event_service_stop() signals
// and then joins; the request loop calls it before it closes the device,
// before it starts the service of a new target and before it releases the
// ClientState, so no thread ever uses a closed device or a released state.
// Because the old service has been joined before the new one exists, the
// old one's last acts (clearing the running flag, removing the socket file)
// can never touch the new one. The listening and client sockets belong to
// the service thread alone; nobody else closes them.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <semaphore>

#include "apps/capture-helper/plane_follow.h"
#include "apps/capture-helper/scanout_follow.h"
#include "libs/common/unique_fd.h"
#include "libs/framelink/protocol.h"

struct ClientState;

// User data of every queued sequence request; owned by the event loop. Its
// descriptors are borrowed: the device is the ClientState's, the client
// socket and the eventfd the service's.
struct SequenceTarget {
    int device_fd;
    uint32_t crtc_id;
    int client_socket;
    int stop_fd;    // the service's eventfd: readable once a stop is asked
    bool stopping;  // set by the handler when a send gave way to a stop
    // The client's opt-in to scanout records (the ClientState's flag); the
    // follower is prepared at the first blank that sees it set.
    const std::atomic<bool> *follow = nullptr;
    bool following = false;
    bool follow_failed = false;  // the plane could not be followed: said once, not again
    ScanoutFollower follower;
    CursorFollower cursor;
    // The client's opt-in to the CRTC and plane records (implies the
    // scanout's); the plane follower is prepared at the first blank that
    // sees it set.
    const std::atomic<bool> *follow_planes = nullptr;
    uint32_t connector_id = 0;  // the target's, for its panel orientation
    bool planes_following = false;
    bool planes_failed = false;  // said once, not again
    PlaneFollower planes;
};

struct EventService {
    std::atomic<bool> running{true};
    UniqueFD stop_fd;                // eventfd, written once by event_service_stop
    std::binary_semaphore ready{0};  // released once the socket listens (or failed)
    pthread_t tid{};                 // joined by event_service_stop
};

// Starts the service of the state's current target (device fd and CRTC id
// already stored) and waits until its socket listens or its set-up failed,
// so a client that got "OK\n" can connect at once. Sets event_running.
// 0, or -1 when the service could not be started (nothing left behind).
int event_service_start(ClientState *state);

// Asks the state's service (if any) to stop, waits until its thread is gone
// and releases it. Returns at once when there is none. Afterwards no thread
// uses the state's device or the state itself.
void event_service_stop(ClientState *state);

// Thread body: listens on the event socket, accepts one client, runs the
// event loop, then removes the socket file and clears the running flags.
void event_socket_thread(ClientState *state, EventService *service);

// The event loop for one connected event client; closes client_sock before
// it returns. Returns 0.
int drm_event_handler(ClientState *state, EventService *service, int client_sock);

// libdrm sequence handler: forwards one vertical blank to the client named
// by user_data (a SequenceTarget) and queues the next request.
void my_sequence_handler(int fd, uint64_t sequence, uint64_t ns, uint64_t user_data);
