#include "apps/capture/streamer/control_channel.h"

#include "apps/capture/core/capture_config.h"
#include "apps/capture/streamer/streamer.h"
#include "apps/capture/streamer/streamer_internal.h"
#include "libs/common/unix_socket.h"
#include "libs/common/relay_protocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr size_t kReceiveSize = 4096;
constexpr size_t kReplySize = 512;

// A mode outside the table is reported as the compatible one.
const char *mode_name(int64_t mode)
{
    return capture_mode_name(capture_mode_known(mode) ? mode : int64_t(CAPTURE_MODE_COMPATIBLE));
}

// The lines a 10-bit stream adds to the reply: its colour description and
// the connector's mastering metadata.
std::string colour_fields(const HdrSignal &s)
{
    using namespace relay_protocol;
    const char *transfer = s.transfer == HDR_TRANSFER_PQ    ? "smpte2084"
                           : s.transfer == HDR_TRANSFER_HLG ? "arib-std-b67"
                                                            : "bt709";
    char line[192];
    snprintf(line, sizeof(line), "%s=10\n%s=%s\n%s=%s\n%s=%s\n%s=limited\n", kFieldDepth, kFieldPrimaries,
             s.bt2020 ? "bt2020" : "bt709", kFieldTransfer, transfer, kFieldMatrix, s.bt2020 ? "bt2020nc" : "bt709",
             kFieldRange);
    std::string fields = line;
    // As the encoders: a display without its peak or white point is not given.
    if (s.max_mastering_luminance != 0 && s.white_point[0] != 0 && s.white_point[1] != 0) {
        auto c = [](uint16_t v) { return v * 0.00002; };
        snprintf(line, sizeof(line), "%s=%.5f,%.5f,%.5f,%.5f,%.5f,%.5f,%.5f,%.5f,%u,%.4f\n", kFieldMasteringDisplay,
                 c(s.primaries[0][0]), c(s.primaries[0][1]), c(s.primaries[1][0]), c(s.primaries[1][1]),
                 c(s.primaries[2][0]), c(s.primaries[2][1]), c(s.white_point[0]), c(s.white_point[1]),
                 unsigned(s.max_mastering_luminance), s.min_mastering_luminance * 0.0001);
        fields += line;
    }
    if (s.max_cll != 0 || s.max_fall != 0) {
        snprintf(line, sizeof(line), "%s=%u,%u\n", kFieldContentLight, unsigned(s.max_cll), unsigned(s.max_fall));
        fields += line;
    }
    return fields;
}

void send_config_reply(const StreamerConfig *config, int fd, char *reply)
{
    fputs("[Streamer] CONFIG query received\n", stderr);
    using namespace relay_protocol;
    int length = snprintf(reply, kReplySize, "%s%s=%dx%d\n%s=%dx%d\n%s=%s\n%s=%s\n%s=%s\n%s=%d\n%s=%.1f\n",
                          kConfigReplyHead, kFieldResolution, config->width, config->height, kFieldUpstreamResolution,
                          config->upstream_width, config->upstream_height, kFieldCodec,
                          config->codec_name ? config->codec_name : "unknown", kFieldMode, mode_name(config->mode),
                          kFieldVblankSync, config->vblank_sync ? "sync" : "fix", kFieldFps, config->fps,
                          kFieldUpstreamFps, config->upstream_fps.load());
    if (length < 0)
        return;
    // An 8-bit stream's reply stays as it always was.
    if (config->hdr != nullptr && static_cast<size_t>(length) < kReplySize) {
        const std::string colour = colour_fields(*config->hdr);
        const size_t room = kReplySize - 1 - static_cast<size_t>(length);
        const size_t n = std::min(colour.size(), room);
        std::memcpy(reply + length, colour.data(), n);
        length += static_cast<int>(n);
    }
    if (static_cast<size_t>(length) >= kReplySize)
        length = static_cast<int>(kReplySize - 1);  // a cut reply rather than bytes past the buffer
    // send with MSG_NOSIGNAL: a relay that has just closed must not raise SIGPIPE.
    const ssize_t sent = send(fd, reply, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (sent >= 0)
        fprintf(stderr, "[Streamer] Sent CONFIG response (%d bytes)\n", static_cast<int>(sent));
    else
        fprintf(stderr, "[Streamer] Failed to send CONFIG response: %s\n", strerror(errno));
}

void deliver(const StreamerConfig *config, uint32_t event, const void *data, uint64_t length)
{
    StreamerFeedback feedback = config->feedback;
    if (feedback != nullptr)
        feedback(event, data, length, config->feedback_user);
}

}  // namespace

void control_request_keyframe(const StreamerConfig *config)
{
    deliver(config, FEEDBACK_KEYFRAME, nullptr, 0);
}

void control_dispatch_record(const StreamerConfig *config, int fd, char *buffer, size_t n, char *reply)
{
    using namespace relay_protocol;
    // The payload after a keyword.
    auto after = [&](Keyword k) { return buffer + k.length; };
    auto rest = [&](Keyword k) { return n - k.length; };
    if (starts_with(buffer, n, kSdp)) {
        deliver(config, FEEDBACK_SDP, after(kSdp), rest(kSdp));
    } else if (starts_with(buffer, n, kBitrate)) {
        const int32_t bps = static_cast<int32_t>(strtol(after(kBitrate), nullptr, 10));
        deliver(config, FEEDBACK_BITRATE, &bps, sizeof(bps));
    } else if (starts_with(buffer, n, kKeyframe)) {
        deliver(config, FEEDBACK_KEYFRAME, nullptr, 0);
    } else if (starts_with(buffer, n, kResolution)) {
        deliver(config, FEEDBACK_RESOLUTION, after(kResolution), rest(kResolution));
    } else if (starts_with(buffer, n, kCodec)) {
        deliver(config, FEEDBACK_CODEC, after(kCodec), rest(kCodec));
    } else if (starts_with(buffer, n, kRestart)) {
        deliver(config, FEEDBACK_RESTART, nullptr, 0);
    } else if (starts_with(buffer, n, kReconfig)) {
        deliver(config, FEEDBACK_RECONFIG, after(kReconfig), rest(kReconfig));
    } else if (starts_with(buffer, n, kConfig)) {
        send_config_reply(config, fd, reply);
    } else if (starts_with(buffer, n, kMode)) {
        fprintf(stderr, "[Streamer] MODE query received %s\n", buffer);
        deliver(config, FEEDBACK_MODE, after(kMode), rest(kMode));
    }
}

namespace {

// A read of 0 bytes is either an empty record or the end of the connection.
bool peer_gone(int fd)
{
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) != 0;
}

// The stream has found a relay again at its path: connect the control socket
// to it and ask the encoder for a key frame, which the new relay needs to
// start decoding. The relay may bind its control socket a moment after its
// datagram socket, so a failed connect is tried again a little later for as
// long as the stream lives. Called and returns with guard held.
void rejoin_control(Streamer *s, std::unique_lock<std::mutex> &guard)
{
    const uint64_t generation = s->control_generation;
    guard.unlock();
    const char *failed_call = nullptr;
    UniqueFD fd = unix_connect(s->config->control_path, SOCK_SEQPACKET, &failed_call, true);
    guard.lock();
    // The pipeline disconnected or stopped the streamer meanwhile.
    if (!s->running || !s->connected || generation != s->control_generation) {
        s->control_rejoin = false;
        return;
    }
    if (!fd) {
        s->control_cond.wait_for(guard, std::chrono::milliseconds(100));
        return;
    }
    s->control_rejoin = false;
    s->control_fd = std::move(fd);
    ++s->control_generation;
    s->control_cond.notify_all();
    fprintf(stderr, "[Streamer] Control channel back (Ctrl[SEQ]->%d)\n", s->control_fd.get());
    guard.unlock();
    control_request_keyframe(s->config);
    guard.lock();
}

}  // namespace

void *ctrl_feedback_loop(void *arg)
{
    Streamer *s = static_cast<Streamer *>(arg);
    char buffer[kReceiveSize];
    char reply[kReplySize];
    // The connection the relay has closed: once a read returns end of stream
    // it is as good as none, and the thread sleeps until the streamer stops
    // or connects anew, instead of reading 0 bytes in a tight loop.
    uint64_t ended_generation = 0;
    bool ended = false;

    std::unique_lock<std::mutex> guard(s->lock);
    while (s->running) {
        if (!s->control_fd || (ended && ended_generation == s->control_generation)) {
            if (s->control_rejoin)
                rejoin_control(s, guard);
            else
                s->control_cond.wait(guard);
            continue;
        }
        const int fd = s->control_fd.get();
        const uint64_t generation = s->control_generation;
        s->control_busy = true;
        guard.unlock();

        bool back_off = false;
        const ssize_t n = read(fd, buffer, kReceiveSize - 1);
        if (n > 0) {
            buffer[n] = '\0';
            control_dispatch_record(s->config, fd, buffer, static_cast<size_t>(n), reply);
        } else if (n == 0) {
            if (peer_gone(fd)) {
                ended = true;
                ended_generation = generation;
            }
        } else if (errno != EAGAIN && errno != EINTR) {
            back_off = true;
        }

        guard.lock();
        s->control_busy = false;
        s->control_cond.notify_all();
        if (back_off && s->running)
            s->control_cond.wait_for(guard, std::chrono::milliseconds(100));
    }
    return nullptr;
}
