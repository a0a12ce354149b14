// The streamer: encoded packets become RTP datagrams on a UNIX datagram
// socket, written by a sender thread from an unbounded queue, and the relay's
// text requests arrive on a sequenced-packet control socket read by a control
// thread.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

struct AVFormatContext;
struct AVIOContext;
struct AVPacket;

// The relay's requests, as the first argument of the feedback callback.
enum FeedbackEvent : uint32_t {
    FEEDBACK_SDP = 1,         // text after "SDP:"
    FEEDBACK_BITRATE = 2,     // one int32_t, bits per second; length 4
    FEEDBACK_KEYFRAME = 3,    // no payload
    FEEDBACK_RESOLUTION = 4,  // text after "RESOLUTION:" (WIDTHxHEIGHT)
    FEEDBACK_CODEC = 5,       // text after "CODEC:"
    FEEDBACK_MODE = 6,        // text after "MODE:" (mode:pacing[:fps])
    FEEDBACK_PACING = 7,      // "sync" or "fix:FPS"; never produced by the control thread
    FEEDBACK_RESTART = 8,     // no payload
    FEEDBACK_RECONFIG = 9,    // the lines after "RECONFIG\n"
};

// Called on the control thread, one record at a time. A text payload is
// NUL-terminated in the thread's buffer and valid only during the call.
using StreamerFeedback = void (*)(uint32_t event, const void *data, uint64_t length, void *user);

// Filled and owned by the pipeline; borrowed by the streamer for its whole
// life and read again at every CONFIG query.
struct StreamerConfig {
    const char *rtp_path;      // "/tmp/rtp.sock"
    const char *control_path;  // "/tmp/rtcp.sock"
    int32_t width;
    int32_t height;
    const char *codec_name;    // "H.264", "H.265", "VP8", "VP9", "AV1", "H264" or null
    int64_t mode;              // 0 compatible, 1 balanced, 2 fast
    bool vblank_sync;
    int32_t fps;
    std::atomic<double> upstream_fps;  // kept current by the pipeline while streaming
    int32_t upstream_width;
    int32_t upstream_height;
    StreamerFeedback feedback;  // null: every record but CONFIG is ignored
    void *feedback_user;        // the run's PipelineControl
};

// One queued packet: its own reference to the encoder's packet and its time.
struct PacketNode {
    AVPacket *packet;
    uint64_t pts_ms;
    PacketNode *next;
};

struct Streamer {
    StreamerConfig *config;  // borrowed

    // Guards the queue and the control connection's hand-over between the
    // pipeline thread and the control thread.
    std::mutex lock;
    std::condition_variable queue_cond;  // new packet, or the stop
    std::condition_variable control_cond;  // control connection changed, reader idle, or the stop
    PacketNode *queue_head;
    PacketNode *queue_tail;

    std::atomic<bool> running;
    std::atomic<bool> connected;
    std::atomic<bool> stop_writes;  // a teardown wants the muxer: give up waiting on a full socket

    pthread_t sender_thread;
    pthread_t control_thread;

    // Guards muxer, io, io_buffer and rtp_fd while the sender writes.
    std::mutex io_lock;
    int rtp_fd;
    AVFormatContext *muxer;
    AVIOContext *io;
    uint8_t *io_buffer;

    std::atomic<int> control_fd;     // published under lock
    uint64_t control_generation;     // bumped whenever control_fd changes (under lock)
    bool control_busy;               // the control thread is using control_fd (under lock)
};

// Allocates a Streamer and starts its sender and control threads; *out
// receives it. 0; -2 when memory is short, -1 when a thread cannot start
// (nothing is left behind on failure).
int streamer_init(Streamer **out, StreamerConfig *config);

// Connects the RTP datagram socket and the control socket and writes the RTP
// stream header. 0 (also when already connected); -1 for null; -3 when the RTP
// socket cannot be connected (the control socket is then not tried); -5 when
// the muxer cannot be made or its header not written (both sockets are closed
// again). Without a control listener the stream flows and control is off.
int streamer_connect(Streamer *streamer);

// Queues a new reference to packet with its time in milliseconds; the caller
// keeps its packet in every case. 0; -1 for null arguments; -5 once the
// streamer is stopping; -2 when memory is short.
int streamer_send_packet(Streamer *streamer, const AVPacket *packet, uint64_t pts_ms);

// Writes the trailer, frees the muxer and closes both sockets; the threads
// keep running and a later streamer_connect starts a new stream. 0.
int streamer_disconnect(Streamer *streamer);

// Stops both threads, frees the muxer, closes the sockets, frees every packet
// still queued and the streamer. 0, or -1 for null.
int streamer_cleanup(Streamer *streamer);

// A socket of the given type connected to the UNIX socket at path, or -1
// (the failure is logged).
int connect_uds(const char *path, int type);

// The muxer's write callback: sends buffer as one datagram. The byte count,
// -1 without a socket, or minus errno.
int uds_write_packet(void *opaque, uint8_t *buffer, int length);
