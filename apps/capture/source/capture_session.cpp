#include "apps/capture/source/capture_session.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

namespace {

constexpr int kReplyTimeoutMs = 2000;

// Asks the helper to follow every plane for this session, or, when it does
// not offer that, the primary plane and the cursor. A helper that offers
// neither leaves the session on its one frame after one line.
ScanoutCache *follow_scanout(ServerConnection *conn)
{
    char text[256] = {};
    ServerReply reply{};
    reply.message = text;
    reply.message_size = sizeof(text);
    if (uds_client_follow_planes(conn, &reply, kReplyTimeoutMs) == 0) {
        ScanoutCache *cache = scanout_cache_create();
        if (cache) {
            cache->planes = true;
            return cache;
        }
        fputs("[Capture sub] out of memory for the scanout cache: the frame is fetched once\n", stderr);
        return nullptr;
    }
    if (conn->out_of_step)
        return nullptr;
    text[0] = '\0';
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

// The records of the first blank, read before any run starts so that the
// first run knows the CRTC's size: everything up to the first event is
// applied to the cache. A display that sends nothing within a second (dark)
// leaves the CRTC untold; the first run then starts at the frame's size.
void read_first_blank(ServerConnection *conn, ScanoutCache *cache)
{
    constexpr int kFirstBlankMs = 1000;
    for (;;) {
        framelink::EventMessage message;
        if (framelink::read_event(conn->event_fd.get(), kFirstBlankMs, &message) != 0 ||
            message.type == UDS_EVENT_VBLANK)
            return;
        scanout_cache_apply(cache, &message);
    }
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

    if (scanout && scanout->planes)
        read_first_blank(conn, scanout);

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

CapturePicture capture_picture(const CaptureSession *session)
{
    CapturePicture picture{};
    const FrameMetadata *frame = session->metadata;
    if (session->scanout && session->scanout->planes) {
        std::lock_guard<std::mutex> guard(session->scanout->lock);
        picture.crtc = session->scanout->crtc;
        picture.hdr = session->scanout->hdr;
    }
    picture.planes = picture.crtc.width != 0 && picture.crtc.height != 0;
    if (!picture.planes) {
        // The frame alone, shown whole on a CRTC of its size.
        picture.crtc = CrtcRecord{};
        picture.crtc.width = frame ? frame->width : 0;
        picture.crtc.height = frame ? frame->height : 0;
    }
    picture.turns = plane_stream_turns(picture.crtc.orientation, session->settings.rotate);
    plane_stream_size(picture.crtc.width, picture.crtc.height, picture.turns, &picture.width, &picture.height);
    return picture;
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
