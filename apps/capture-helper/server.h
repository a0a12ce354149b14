// capture-helper's command server: the socket "/tmp/vistrel.sock", clients
// served one after another, the line protocol (SET_TARGET, GET_FRAME) and
// its replies (SET_TARGET, GET_FRAME, FOLLOW_SCANOUT, FOLLOW_PLANES).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "apps/capture-helper/drm_module.h"
#include "apps/capture-helper/event_service.h"
#include "libs/common/unique_fd.h"

// One connected client. A target is set when device_fd is open and
// port_name is not empty. The state owns the client's connection and the
// target's device.
struct ClientState {
    DrmDevice device_fd;
    std::string card_path;
    std::string port_name;
    uint32_t crtc_id = 0;
    uint32_t connector_id = 0;
    UniqueFD client_socket;
    // Listening socket of the event service, for looking only: the service
    // thread owns and alone closes it (-1 when none).
    std::atomic<int> event_listen_socket{-1};
    // The current target's service; joined (never detached) when stopped.
    std::unique_ptr<EventService> event_thread;
    // 1 while the current target's service is to run.
    std::atomic<int> event_running{0};
    // Set by FOLLOW_SCANOUT: the event services of this connection send
    // scanout records before the blanks' events.
    std::atomic<bool> follow_scanout{false};
    // Set by FOLLOW_PLANES (with follow_scanout): the CRTC and plane
    // records as well.
    std::atomic<bool> follow_planes{false};
};

// Creates the listening socket bound to path (mode 0666) in *out_fd.
// 0, or -1 after reporting why. A stale file that cannot be removed ends
// the process with status 1.
int socket_init(int *out_fd, const char *path);

// Listens on fd and serves clients one after another, forever. Returns -1
// only when listen fails (the socket file is then removed; the caller
// closes fd).
int listen_socket(int fd);

// The server thread: socket_init and listen_socket on "/tmp/vistrel.sock".
void *start_handle_client_drm(void *unused);

// The request loop of one client; returns when its connection ends, with
// the event service stopped, the device closed and the strings released.
void handle_client_requests(ClientState *state);

// Reads one line: its length counting the newline (the newline kept, a NUL
// after it), a final line without newline at end of stream, 0 when the
// peer closed with nothing pending, or -1 with errno (EOVERFLOW when a
// line does not fit, EINVAL for a missing buffer). Empty lines are skipped.
// The buffer always holds what was read, NUL-terminated.
long readline_from_socket(int fd, char *buffer, size_t size);

// Splits line in place at runs of " \t\r\n" and keeps at most three tokens.
void parse_command(char *line, int *count, char *tokens[3]);
