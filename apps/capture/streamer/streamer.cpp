#include "apps/capture/streamer/streamer.h"

#include "apps/capture/streamer/control_channel.h"
#include "apps/capture/streamer/streamer_internal.h"
#include "libs/common/ffmpeg_ptr.h"
#include "libs/common/unique_fd.h"
#include "libs/common/unix_socket.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

namespace {

constexpr int kIoBufferSize = 32768;
constexpr int kRtpPacketSize = 1400;
// A datagram send waits at most this long on a full relay queue before it
// looks again whether the streamer is being torn down.
constexpr suseconds_t kSendWaitUs = 50000;

AVCodecID codec_id_from_name(const char *name)
{
    if (name == nullptr)
        return AV_CODEC_ID_H264;
    if (strcasecmp(name, "VP8") == 0)
        return AV_CODEC_ID_VP8;
    if (strcasecmp(name, "VP9") == 0)
        return AV_CODEC_ID_VP9;
    if (strcasecmp(name, "H265") == 0 || strcasecmp(name, "HEVC") == 0 || strcasecmp(name, "H.265") == 0)
        return AV_CODEC_ID_HEVC;
    if (strcasecmp(name, "AV1") == 0)
        return AV_CODEC_ID_AV1;
    return AV_CODEC_ID_H264;
}

void free_node(PacketNode *node)
{
    av_packet_free(&node->packet);
    delete node;
}

int64_t monotonic_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

size_t node_bytes(const PacketNode *node)
{
    return node->packet != nullptr && node->packet->size > 0 ? size_t(node->packet->size) : 0;
}

bool node_is_key(const PacketNode *node)
{
    return node->packet != nullptr && (node->packet->flags & AV_PKT_FLAG_KEY) != 0;
}

// Appends node to the queue. Caller holds lock.
void queue_push(Streamer *s, PacketNode *node)
{
    if (s->queue_tail != nullptr)
        s->queue_tail->next = node;
    else
        s->queue_head = node;
    s->queue_tail = node;
    StreamerStatus &st = s->stream;
    st.queued_packets += 1;
    st.queued_bytes += node_bytes(node);
    st.peak_queued_packets = std::max(st.peak_queued_packets, st.queued_packets);
    st.peak_queued_bytes = std::max(st.peak_queued_bytes, st.queued_bytes);
}

// Unlinks the head node (the queue is not empty). Caller holds lock.
PacketNode *queue_pop(Streamer *s)
{
    PacketNode *node = s->queue_head;
    s->queue_head = node->next;
    if (s->queue_head == nullptr)
        s->queue_tail = nullptr;
    node->next = nullptr;
    s->stream.queued_packets -= 1;
    s->stream.queued_bytes -= node_bytes(node);
    return node;
}

// True when the encoder is to be asked for a key frame now: at the first
// drop, and again every wait limit while none has come. Caller holds lock.
bool keyframe_due(Streamer *s, int64_t now)
{
    constexpr int64_t kLimitNs = kStreamerQueueWaitLimitMs * 1000000;
    if (s->stream.keyframe_requests > 0 && now - s->keyframe_asked_ns < kLimitNs)
        return false;
    s->keyframe_asked_ns = now;
    s->stream.keyframe_requests += 1;
    return true;
}

// A relay (or what it feeds) that stalls must not make the stream late for
// the rest of the run: once the oldest queued packet has waited longer than
// the limit, the queue is cut up to the next key frame that has not (a
// stream never restarts on a frame that needs the ones dropped). With no
// such key frame the queue is emptied and new packets are dropped until the
// encoder, asked for one, sends a key frame. True when the queue was
// emptied. Caller holds lock.
bool trim_late_packets(Streamer *s, int64_t now)
{
    constexpr int64_t kLimitNs = kStreamerQueueWaitLimitMs * 1000000;
    if (s->queue_head == nullptr || now - s->queue_head->queued_ns <= kLimitNs)
        return false;
    const int64_t waited_ms = (now - s->queue_head->queued_ns) / 1000000;
    uint64_t dropped = 0;
    while (s->queue_head != nullptr && !(node_is_key(s->queue_head) && now - s->queue_head->queued_ns <= kLimitNs)) {
        free_node(queue_pop(s));
        ++dropped;
    }
    s->stream.dropped_packets += dropped;
    s->stream.queue_flushes += 1;
    // One line a second at most, however long the relay stays stalled.
    if (s->stream.queue_flushes == 1 || now - s->drop_logged_ns >= 1000000000) {
        s->drop_logged_ns = now;
        fprintf(stderr,
                "[Streamer] Relay fell behind: packets waited %lld ms, dropped %llu up to the next key frame "
                "(%llu dropped in all)\n",
                static_cast<long long>(waited_ms), static_cast<unsigned long long>(dropped),
                static_cast<unsigned long long>(s->stream.dropped_packets));
    }
    if (s->queue_head != nullptr)
        return false;
    s->awaiting_keyframe = true;
    return true;
}

// Copies the stream's state for streamer_status; opened counts a new stream.
// Caller holds io_lock, or is the only thread left.
void publish_stream(Streamer *s, bool opened = false)
{
    std::lock_guard<std::mutex> guard(s->lock);
    if (opened)
        s->stream.streams_opened += 1;
    s->stream.connected = s->connected;
    s->stream.rtp_fd = s->rtp_fd.get();
    s->stream.stream_codec_id = AV_CODEC_ID_NONE;
    s->stream.stream_width = 0;
    if (s->muxer != nullptr && s->muxer->nb_streams > 0) {
        s->stream.stream_codec_id = s->muxer->streams[0]->codecpar->codec_id;
        s->stream.stream_width = s->muxer->streams[0]->codecpar->width;
    }
}

// Frees the muxer, its I/O context and closes the RTP socket. Caller holds
// io_lock, or is the only thread left.
void release_output(Streamer *s)
{
    if (s->muxer != nullptr) {
        if (s->connected)
            av_write_trailer(s->muxer);
        avformat_free_context(s->muxer);
        s->muxer = nullptr;
    }
    if (s->io != nullptr) {
        av_freep(&s->io->buffer);
        avio_context_free(&s->io);
    }
    s->io_buffer = nullptr;
    s->rtp_fd.reset();
    s->connected = false;
    publish_stream(s);
}

// Makes the RTP muxer over a write-only I/O context and writes its header.
// Returns the muxer (owning its pb), or null.
AvFormatContextPtr open_muxer(Streamer *s)
{
    AVFormatContext *raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, "rtp", nullptr) < 0 || raw == nullptr)
        return nullptr;
    AvFormatContextPtr muxer(raw);

    std::unique_ptr<uint8_t, AvMemoryFree> buffer(static_cast<uint8_t *>(av_malloc(kIoBufferSize)));
    if (!buffer)
        return nullptr;
    AVIOContext *io = avio_alloc_context(buffer.get(), kIoBufferSize, 1, s, nullptr, uds_write_packet, nullptr);
    if (io == nullptr)
        return nullptr;
    buffer.release();
    muxer->pb = io;
    muxer->packet_size = kRtpPacketSize;

    AVStream *stream = avformat_new_stream(muxer.get(), nullptr);
    auto drop_io = [&muxer] {
        AvIoContextFree()(muxer->pb);
        muxer->pb = nullptr;
    };
    if (stream == nullptr) {
        drop_io();
        return nullptr;
    }
    const AVCodecID id = codec_id_from_name(s->config->codec_name);
    stream->id = 0;
    stream->time_base = AVRational{1, 90000};
    stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    stream->codecpar->codec_id = id;
    stream->codecpar->width = s->config->width;
    stream->codecpar->height = s->config->height;
    if (id == AV_CODEC_ID_VP9 || id == AV_CODEC_ID_AV1)
        muxer->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;

    if (avformat_write_header(muxer.get(), nullptr) < 0) {
        drop_io();
        return nullptr;
    }
    return muxer;
}

// Writes one dequeued node's packet if a stream is open.
void write_node(Streamer *s, PacketNode *node)
{
    std::lock_guard<std::mutex> guard(s->io_lock);
    if (!s->connected || s->muxer == nullptr || node->packet == nullptr)
        return;
    AVStream *stream = s->muxer->streams[0];
    const int64_t ts = av_rescale_q(static_cast<int64_t>(node->pts_ms), AVRational{1, 1000}, stream->time_base);
    node->packet->pts = ts;
    node->packet->dts = ts;
    node->packet->stream_index = stream->index;
    // A failed datagram marks the I/O context as failed for good; one lost
    // datagram must not end the stream, so every packet starts afresh.
    s->io->error = 0;
    av_interleaved_write_frame(s->muxer, node->packet);
}

void *sender_loop(void *arg)
{
    Streamer *s = static_cast<Streamer *>(arg);
    if (!s->running)
        return nullptr;
    for (;;) {
        PacketNode *node = nullptr;
        bool ask_keyframe = false;
        {
            std::unique_lock<std::mutex> guard(s->lock);
            while (s->running && s->queue_head == nullptr)
                s->queue_cond.wait(guard);
            if (s->running) {
                const int64_t now = monotonic_ns();
                ask_keyframe = trim_late_packets(s, now) && keyframe_due(s, now);
            }
            if (s->queue_head != nullptr)
                node = queue_pop(s);
            else if (!s->running)
                return nullptr;  // stopped with nothing left to take
        }
        if (ask_keyframe)
            control_request_keyframe(s->config);
        if (node == nullptr)
            continue;  // everything queued had waited too long
        write_node(s, node);
        free_node(node);
        if (!s->running)
            return nullptr;
    }
}

// Closes the control connection once the control thread has let go of it.
void release_control(Streamer *s)
{
    std::unique_lock<std::mutex> guard(s->lock);
    s->control_rejoin = false;
    if (!s->control_fd)
        return;
    shutdown(s->control_fd.get(), SHUT_RDWR);
    s->control_cond.wait(guard, [s] { return !s->control_busy; });
    s->control_fd.reset();
    ++s->control_generation;
    s->control_cond.notify_all();
}

}  // namespace

int connect_uds(const char *path, int type)
{
    if (path == nullptr)
        return -1;
    const char *failed_call = nullptr;
    // A path too long for an address is cut to fit, as it always was.
    UniqueFD fd = unix_connect(path, type, &failed_call, true);
    if (!fd) {
        if (std::strcmp(failed_call, "socket") == 0)
            fprintf(stderr, "[Streamer] socket creation failed: %s\n", strerror(errno));
        else
            fprintf(stderr, "[Streamer] connect to %s failed: %s\n", path, strerror(errno));
        return -1;
    }
    return fd.release();
}

namespace {

// The relay that received the stream has gone (its socket is closed). A
// relay started again binds the same path: point the socket there at most
// every kRejoinIntervalNs and tell the control thread, which connects the
// control socket anew. True when the socket reaches a relay again. Caller
// holds io_lock.
bool rejoin_relay(Streamer *s)
{
    constexpr int64_t kRejoinIntervalNs = 200000000;
    const int64_t now = monotonic_ns();
    const char *path = s->config->rtp_path;
    if (!s->relay_away) {
        s->relay_away = true;
        s->rejoin_after_ns = now + kRejoinIntervalNs;
        fprintf(stderr, "[Streamer] Relay gone from %s, dropping the stream until it is back\n", path);
        return false;
    }
    if (now < s->rejoin_after_ns)
        return false;
    s->rejoin_after_ns = now + kRejoinIntervalNs;
    sockaddr_un address;
    if (!unix_address(path, &address, true) ||
        connect(s->rtp_fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0)
        return false;
    s->relay_away = false;
    fprintf(stderr, "[Streamer] Relay back on %s, stream resumed\n", path);
    std::lock_guard<std::mutex> guard(s->lock);
    s->control_rejoin = true;
    s->control_cond.notify_all();
    return true;
}

}  // namespace

int uds_write_packet(void *opaque, uint8_t *buffer, int length)
{
    Streamer *s = static_cast<Streamer *>(opaque);
    if (s == nullptr || !s->rtp_fd)
        return -1;
    for (;;) {
        // send with MSG_NOSIGNAL: a relay that has gone is an error, not SIGPIPE.
        const ssize_t n = send(s->rtp_fd.get(), buffer, static_cast<size_t>(length), MSG_NOSIGNAL);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR)
            continue;
        // A full relay queue is waited out while the stream is live; a
        // teardown gets its answer within one wait.
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && s->running && !s->stop_writes)
            continue;
        // A relay that has gone loses the datagrams meant for it, as it
        // would over a network; an error here would stop the muxer's output
        // for good, also for the relay that comes back.
        if (errno == ECONNREFUSED || errno == ENOTCONN) {
            if (rejoin_relay(s))
                continue;
            return length;
        }
        return -errno;
    }
}

int streamer_init(Streamer **out, StreamerConfig *config)
{
    if (out == nullptr)
        return -1;
    std::unique_ptr<Streamer> s(new (std::nothrow) Streamer());
    if (!s)
        return -2;
    s->config = config;
    s->running = true;
    s->stream.rtp_fd = -1;
    avformat_network_init();

    if (pthread_create(&s->sender_thread, nullptr, sender_loop, s.get()) != 0) {
        avformat_network_deinit();
        return -1;
    }
    if (pthread_create(&s->control_thread, nullptr, ctrl_feedback_loop, s.get()) != 0) {
        {
            std::lock_guard<std::mutex> guard(s->lock);
            s->running = false;
            s->queue_cond.notify_all();
        }
        pthread_join(s->sender_thread, nullptr);
        avformat_network_deinit();
        return -1;
    }
    *out = s.release();
    return 0;
}

int streamer_connect(Streamer *s)
{
    if (s == nullptr)
        return -1;
    if (s->connected)
        return 0;

    UniqueFD rtp(connect_uds(s->config->rtp_path, SOCK_DGRAM));
    if (!rtp) {
        fprintf(stderr, "[Streamer] Connect RTP UDS(DGRAM) failed: %s\n", s->config->rtp_path);
        return -3;
    }
    const timeval wait{0, kSendWaitUs};
    setsockopt(rtp.get(), SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof(wait));

    UniqueFD control(connect_uds(s->config->control_path, SOCK_SEQPACKET));
    if (!control)
        fprintf(stderr, "[Streamer] Connect Control UDS(SEQPACKET) failed: %s\n",
                s->config->control_path ? s->config->control_path : "(null)");

    const int rtp_fd = rtp.get();
    {
        // The header goes out through uds_write_packet, which needs rtp_fd.
        std::lock_guard<std::mutex> guard(s->io_lock);
        s->rtp_fd = std::move(rtp);
        s->relay_away = false;
        AvFormatContextPtr muxer = open_muxer(s);
        if (!muxer) {
            s->rtp_fd.reset();
            return -5;
        }
        s->io = muxer->pb;
        s->io_buffer = s->io->buffer;
        s->muxer = muxer.release();
        s->connected = true;
        publish_stream(s, true);
    }
    const int control_fd = control.get();
    {
        std::lock_guard<std::mutex> guard(s->lock);
        s->control_fd = std::move(control);
        ++s->control_generation;
        s->control_cond.notify_all();
    }
    printf("[Streamer] Connected via UDS (RTP[DGRAM]->%d, Ctrl[SEQ]->%d)\n", rtp_fd, control_fd);
    fflush(stdout);
    return 0;
}

int streamer_send_packet(Streamer *s, const AVPacket *packet, uint64_t pts_ms)
{
    if (s == nullptr)
        return -1;
    if (!s->running)
        return -5;
    if (packet == nullptr)
        return -1;
    AvPacketPtr copy(av_packet_alloc());
    if (!copy || av_packet_ref(copy.get(), packet) < 0)
        return -2;
    PacketNode *node = new (std::nothrow) PacketNode{nullptr, pts_ms, nullptr, 0};
    if (node == nullptr)
        return -2;
    node->packet = copy.release();

    bool ask_keyframe = false;
    PacketNode *dropped = nullptr;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        const int64_t now = monotonic_ns();
        node->queued_ns = now;
        trim_late_packets(s, now);
        if (s->awaiting_keyframe && !node_is_key(node)) {
            // The stream restarts on a key frame: what comes before it is
            // of no use to the relay.
            dropped = node;
            s->stream.dropped_packets += 1;
            ask_keyframe = keyframe_due(s, now);
        } else {
            s->awaiting_keyframe = false;
            queue_push(s, node);
            s->queue_cond.notify_one();
        }
    }
    if (dropped != nullptr)
        free_node(dropped);
    if (ask_keyframe)
        control_request_keyframe(s->config);
    return 0;
}

int streamer_disconnect(Streamer *s)
{
    if (s == nullptr)
        return -1;
    s->stop_writes = true;
    {
        std::lock_guard<std::mutex> guard(s->io_lock);
        release_output(s);
    }
    s->stop_writes = false;
    release_control(s);
    return 0;
}

int streamer_status(Streamer *s, StreamerStatus *out)
{
    if (s == nullptr || out == nullptr)
        return -1;
    std::lock_guard<std::mutex> guard(s->lock);
    *out = s->stream;
    out->control_fd = s->control_fd.get();
    return 0;
}

int streamer_cleanup(Streamer *s)
{
    if (s == nullptr)
        return -1;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        s->running = false;
        s->queue_cond.notify_all();
        s->control_cond.notify_all();
        // Ends the control thread's blocking read.
        if (s->control_fd)
            shutdown(s->control_fd.get(), SHUT_RD);
    }
    pthread_join(s->sender_thread, nullptr);
    pthread_join(s->control_thread, nullptr);

    // Both threads are gone: what is left belongs to this thread alone.
    release_output(s);
    s->control_fd.reset();
    {
        std::lock_guard<std::mutex> guard(s->lock);
        while (s->queue_head != nullptr)
            free_node(queue_pop(s));
    }
    avformat_network_deinit();
    delete s;
    return 0;
}
