#include "apps/capture/source/capture_session.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

namespace {

constexpr int kReplyTimeoutMs = 2000;

// Asks the helper to follow the scanout for this session. A helper that
// does not offer it leaves the session on its one frame after one line.
ScanoutCache *follow_scanout(ServerConnection *conn)
{
    char text[256] = {};
    ServerReply reply{};
    reply.message = text;
    reply.message_size = sizeof(text);
    if (uds_client_follow_scanout(conn, &reply, kReplyTimeoutMs) != 0) {
        const char *why = text[0] ? text : strerror(errno);
        char line[256];
        snprintf(line, sizeof(line), "%s", why);
        line[strcspn(line, "\r\n")] = '\0';
        fprintf(stderr, "[Capture sub] the helper does not follow the scanout (%s): the frame is fetched once\n", line);
        return nullptr;
    }
    ScanoutCache *cache = scanout_cache_create();
    if (!cache)
        fputs("[Capture sub] out of memory for the scanout cache: the frame is fetched once\n", stderr);
    return cache;
}

}  // namespace

int capture_init(CaptureSession *session, const CaptureConfig *settings)
{
    if (!session || !settings || !session->connection) {
        fprintf(stderr, "[Capture sub] capture_init: no session, settings or connection\n");
        return -1;
    }
    ServerConnection *conn = session->connection;

    char command[128];
    snprintf(command, sizeof(command), "%s %s %s \n", UDS_COMMAND_SET_TARGET, settings->card_path, settings->port);
    char set_text[256] = {};
    ServerReply reply{};
    reply.message = set_text;
    reply.message_size = sizeof(set_text);
    if (uds_client_set_context(conn, command, &reply, kReplyTimeoutMs) != 0) {
        int saved = errno;
        printf("[Capture %d] uds_client_set_context failed\n", int(getpid()));
        fflush(stdout);
        errno = saved;
        perror("[Capture sub] uds_client_set_context failed");
        return -1;
    }

    char message[256] = {};
    // Owns the frame's descriptors until the session takes them; closed with
    // it on every early return.
    framelink::FrameMetadata frame;
    reply = {};
    reply.message = message;
    reply.message_size = sizeof(message);
    reply.metadata = &frame;
    if (uds_client_get_frame_info(conn, UDS_GET_FRAME_COMMAND, &reply, kReplyTimeoutMs) != 0 || !reply.has_frame) {
        int saved = errno;
        fprintf(stderr, "[Capture sub] uds_client_get_frame failed msg: %s\n", message);
        errno = saved;
        perror("[Capture sub] uds_client_get_frame failed");
        return -1;
    }

    ScanoutCache *scanout = settings->fetch_once ? nullptr : follow_scanout(conn);

    if (uds_client_event_connect(conn, UDS_EVENT_PATH) != 0) {
        int saved = errno;
        fprintf(stderr, "[Capture sub] uds_client_event_connect failed\n");
        errno = saved;
        perror("[Capture sub] uds_client_event_connect failed");
        scanout_cache_destroy(scanout);
        return -1;
    }

    auto *meta = new (std::nothrow) FrameMetadata{};
    if (!meta) {
        fprintf(stderr, "[Capture sub] out of memory for the frame metadata\n");
        scanout_cache_destroy(scanout);
        return -1;
    }

    session->settings = *settings;
    session->initialised = true;

    static_cast<framelink::FrameMetadata &>(*meta) = std::move(frame);
    for (int i = meta->plane_count < 0 ? 0 : meta->plane_count; i < UDS_MAX_PLANES; ++i)
        meta->planes[i] = FramePlane{};

    printf("[Capture sub] %lu\n", static_cast<unsigned long>(meta->modifier));
    fflush(stdout);
    session->metadata = meta;
    session->scanout = scanout;
    return 0;
}

int capture_cleanup(CaptureSession *session)
{
    printf("[CAPTURE] Cleaning up capture module\n");
    fflush(stdout);
    if (!session)
        return 0;
    if (session->metadata) {
        capture_frame_close(session->metadata);
        delete session->metadata;
        session->metadata = nullptr;
    }
    scanout_cache_destroy(session->scanout);
    session->scanout = nullptr;
    session->initialised = false;
    return 0;
}
