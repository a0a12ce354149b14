// The streamer: encoded packets become RTP datagrams on a UNIX datagram
// socket, written by a sender thread from a queue bounded by waiting time
// (packets that waited 200 ms are dropped up to the next key frame), and the
// relay's text requests arrive on a sequenced-packet control socket read by a
// control thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "apps/capture/core/hdr_signal.h"

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
    const char *rtp_path;      // relay_protocol::kRtpSocketPath
    const char *control_path;  // relay_protocol::kControlSocketPath
    int32_t width;
    int32_t height;
    const char *codec_name;  // "H.264", "H.265", "VP8", "VP9", "AV1", "H264" or null
    int64_t mode;            // 0 compatible, 1 balanced, 2 fast
    bool vblank_sync;
    int32_t fps;
    std::atomic<double> upstream_fps;  // kept current by the pipeline while streaming
    int32_t upstream_width;
    int32_t upstream_height;
    const HdrSignal *hdr;  // the 10-bit stream's signal (--hdr), or null for the 8-bit SDR stream
    StreamerFeedback feedback;  // null: every record but CONFIG is ignored
    void *feedback_user;        // the run's PipelineControl
};

// A streamer; its fields belong to the streamer alone.
struct Streamer;

// What a streamer's owner may see of it (streamer_status).
struct StreamerStatus {
    bool connected;           // a stream is open on the RTP socket
    int rtp_fd;               // the RTP socket, or -1
    int control_fd;           // the control connection, or -1
    uint64_t streams_opened;  // stream headers written since streamer_init
    int32_t stream_codec_id;  // the open stream's AVCodecID, or 0 (AV_CODEC_ID_NONE) without one
    int32_t stream_width;     // the open stream's width, or 0 without one
    size_t queued_packets;    // packets waiting for the sender thread
    // The queue's bound. Counters run from streamer_init on.
    size_t queued_bytes;         // payload bytes of the packets waiting
    size_t peak_queued_packets;  // the most packets that have waited at once
    size_t peak_queued_bytes;    // the most payload bytes that have waited at once
    uint64_t dropped_packets;    // packets dropped because the relay fell behind
    uint64_t queue_flushes;      // times queued packets had waited too long
    uint64_t keyframe_requests;  // key frames asked of the encoder after a drop
};

// How long a queued packet may wait for the sender before the queue is cut
// back to the next key frame.
constexpr int64_t kStreamerQueueWaitLimitMs = 200;

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

// A snapshot of the streamer's state taken under its locks. 0, or -1 for
// null arguments.
int streamer_status(Streamer *streamer, StreamerStatus *out);

// Stops both threads, frees the muxer, closes the sockets, frees every packet
// still queued and the streamer. 0, or -1 for null.
int streamer_cleanup(Streamer *streamer);

// A socket of the given type connected to the UNIX socket at path, or -1
// (the failure is logged).
int connect_uds(const char *path, int type);

// The muxer's write callback: sends buffer as one datagram. The byte count,
// -1 without a socket, or minus errno.
int uds_write_packet(void *opaque, uint8_t *buffer, int length);
