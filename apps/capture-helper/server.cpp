#include "apps/capture-helper/server.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "apps/capture-helper/drm_module.h"
#include "apps/capture-helper/frame_export.h"
#include "apps/capture-helper/peer_access.h"
#include "apps/capture-helper/reply.h"
#include "libs/common/unix_socket.h"
#include "libs/framelink/protocol.h"

long readline_from_socket(int fd, char *buffer, size_t size)
{
    if (!buffer || size < 1) {
        errno = EINVAL;
        return -1;
    }
    buffer[0] = '\0';
    if (size == 1) {
        errno = EOVERFLOW;
        return -1;
    }
    size_t length = 0;
    for (;;) {
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            return long(length);
        if (c == '\n') {
            if (length == 0)
                continue;
            buffer[length++] = '\n';
            buffer[length] = '\0';
            return long(length);
        }
        // Room must stay for the newline and the NUL.
        if (length + 2 >= size) {
            errno = EOVERFLOW;
            return -1;
        }
        buffer[length++] = c;
        buffer[length] = '\0';
    }
}

void parse_command(char *line, int *count, char *tokens[3])
{
    *count = 0;
    char *save = nullptr;
    for (char *t = strtok_r(line, " \t\r\n", &save); t && *count < 3; t = strtok_r(nullptr, " \t\r\n", &save))
        tokens[(*count)++] = t;
}

namespace {

int send_error(int socket, const char *text)
{
    return send_message(socket, text, nullptr, 0, 0);
}

void set_target(ClientState *state, const char *device_path, const char *port_name)
{
    DrmDevice device;
    uint32_t connector_id = 0;
    uint32_t crtc_id = 0;
    int found = find_port_name_from_dri(port_name, device_path, &device, &connector_id, &crtc_id);
    if (found == 0) {
        send_error(state->client_socket.get(), "ERROR: Cannot update state\n");
        return;
    }
    if (found < 0) {
        send_error(state->client_socket.get(), "ERROR: Cannot open DRM device\n");
        return;
    }
    printf("[Main Socket] Client %d locked %s on %s\n", state->client_socket.get(), device_path, port_name);
    if (state->event_running.load())
        puts("[Main Socket] Stopping old event thread");
    // Joins the old service, so the old device is no longer in use below.
    event_service_stop(state);
    state->device_fd = std::move(device);
    state->port_name = port_name;
    state->card_path = device_path;
    state->crtc_id = crtc_id;
    state->connector_id = connector_id;
    if (event_service_start(state) < 0)
        perror("[Main Socket] event thread could not be started");
    send_message(state->client_socket.get(), "OK\n", nullptr, 0, 1);
}

void get_frame(ClientState *state)
{
    if (!state->device_fd || state->port_name.empty()) {
        send_error(state->client_socket.get(), "ERROR: No target set. Call SET_TARGET first\n");
        return;
    }
    PlaneEntry entries[4] = {};
    int count = 0;
    if (fill_meta_data(state->device_fd.get(), state->crtc_id, entries, &count) < 0) {
        int saved = errno;
        send_error(state->client_socket.get(), "ERROR: fill_meta_data fail\n");
        errno = saved;
        perror("[Helper Server]");
        // The event service is stopped first, so no thread runs while the
        // process ends. The command socket file stays.
        event_service_stop(state);
        fflush(stdout);
        fflush(stderr);
        _exit(255);
    }
    send_fd_with_metadata(state->client_socket.get(), entries, count);
    // The entries close the helper's copies as they go, right after the send.
}

void end_connection(ClientState *state)
{
    state->event_running.store(0);
    event_service_stop(state);
    state->device_fd.reset();
    state->port_name.clear();
    state->card_path.clear();
}

}  // namespace

void handle_client_requests(ClientState *state)
{
    char line[UDS_REQUEST_BUFFER];
    for (;;) {
        long length = readline_from_socket(state->client_socket.get(), line, sizeof line);
        if (length == 0) {
            fprintf(stderr, "request_buf %s  %ld \n", line, 0L);
            puts("[Helper Server] 客户端正常关闭了连接。");
            break;
        }
        if (length < 0) {
            int saved = errno;
            fprintf(stderr, "request_buf %s  %ld \n", line, -1L);
            errno = saved;
            perror("[Helper Server] read error");
            break;
        }
        fprintf(stderr, "request_buf %s  %ld \n", line, length);

        int count = 0;
        char *tokens[3] = {};
        parse_command(line, &count, tokens);
        if (count == 0)
            continue;
        if (strcmp(tokens[0], UDS_COMMAND_SET_TARGET) == 0) {
            if (count < 3)
                send_error(state->client_socket.get(), "ERROR: SET_TARGET needs 2 args\n");
            else
                set_target(state, tokens[1], tokens[2]);
        } else if (strcmp(tokens[0], UDS_COMMAND_GET_FRAME) == 0) {
            get_frame(state);
        } else if (strcmp(tokens[0], UDS_COMMAND_FOLLOW_SCANOUT) == 0 ||
                   strcmp(tokens[0], UDS_COMMAND_FOLLOW_PLANES) == 0) {
            if (!state->device_fd || state->port_name.empty()) {
                send_error(state->client_socket.get(), "ERROR: No target set. Call SET_TARGET first\n");
            } else {
                // The planes' records come on top of the scanout's.
                if (strcmp(tokens[0], UDS_COMMAND_FOLLOW_PLANES) == 0)
                    state->follow_planes.store(true);
                state->follow_scanout.store(true);
                send_message(state->client_socket.get(), "OK\n", nullptr, 0, 1);
            }
        } else {
            send_error(state->client_socket.get(), "ERROR: Unknown command\n");
        }
    }
    end_connection(state);
}

int socket_init(int *out_fd, const char *path)
{
    // Listening comes later (listen_socket); a stale file that cannot be
    // removed ends the process.
    const char *failed = nullptr;
    UniqueFD fd = unix_bind(path, SOCK_STREAM, {.strict = true}, &failed);
    if (!fd) {
        const std::string what = std::string("[Helper Server] ") + failed + "() failed";
        perror(what.c_str());
        if (std::strcmp(failed, "unlink") == 0)
            exit(1);
        return -1;
    }
    // A restricted helper gives the file its group and takes the others'
    // access away; every connection's credentials are checked as well.
    const char *call = peer_access_set_group(path) < 0              ? "chown"
                       : chmod(path, peer_access_socket_mode()) < 0 ? "chmod"
                                                                    : nullptr;
    if (call) {
        const std::string what = std::string("[Helper Server] ") + call + "() failed";
        perror(what.c_str());
        fd.reset();
        unlink(path);
        return -1;
    }
    *out_fd = fd.release();
    return 0;
}

int listen_socket(int fd)
{
    if (listen(fd, 1) < 0) {
        perror("[Helper Server] listen() failed");
        unlink(UDS_SERVER_PATH);
        return -1;
    }
    printf("[Helper Server] Server listening on %s\n", UDS_SERVER_PATH);
    for (;;) {
        puts("[Helper Server] 等待客户端连接...");
        UniqueFD client(accept4(fd, nullptr, nullptr, SOCK_CLOEXEC));
        if (!client) {
            perror("[Helper Server] accept failed");
            continue;
        }
        puts("[Helper Server] 客户端已连接！");
        if (!peer_access_admit(client.get(), "[Helper Server]"))
            continue;
        std::unique_ptr<ClientState> state(new (std::nothrow) ClientState);
        if (!state) {
            errno = ENOMEM;
            perror("[Helper Server] calloc failed");
            continue;
        }
        state->client_socket = std::move(client);
        handle_client_requests(state.get());
        state.reset();
        puts("[Helper Server] 客户端已断开。");
    }
}

void *start_handle_client_drm(void *)
{
    int raw = -1;
    if (socket_init(&raw, UDS_SERVER_PATH) < 0) {
        fputs("[Helper] Failed to initialize socket.\n", stderr);
        exit(1);
    }
    UniqueFD fd(raw);
    listen_socket(fd.get());
    fd.reset();
    unlink(UDS_SERVER_PATH);
    return nullptr;
}
