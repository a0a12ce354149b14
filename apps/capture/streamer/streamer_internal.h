// The streamer's own state, shared by its sender side (streamer.cpp) and its
// control thread (control_channel.cpp). Nothing outside this folder includes
// it: owners go through streamer.h.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "apps/capture/streamer/streamer.h"
#include "libs/common/unique_fd.h"

struct AVFormatContext;
struct AVIOContext;

// One queued packet: its own reference to the encoder's packet, its time,
// and when it was queued (CLOCK_MONOTONIC).
struct PacketNode {
    AVPacket *packet;
    uint64_t pts_ms;
    PacketNode *next;
    int64_t queued_ns;
};

struct Streamer {
    StreamerConfig *config;  // borrowed

    // Guards the queue and the control connection's hand-over between the
    // pipeline thread and the control thread.
    std::mutex lock;
    std::condition_variable queue_cond;    // new packet, or the stop
    std::condition_variable control_cond;  // control connection changed, reader idle, or the stop
    PacketNode *queue_head;
    PacketNode *queue_tail;
    // The queue's bound (under lock): packets that have waited too long for
    // a stalled relay are dropped up to the next key frame; when none is
    // queued, new packets are dropped until the encoder sends one.
    bool awaiting_keyframe;
    int64_t keyframe_asked_ns;  // when the encoder was last asked for one
    int64_t drop_logged_ns;     // when the last drop line was written

    std::atomic<bool> running;
    std::atomic<bool> connected;
    std::atomic<bool> stop_writes;  // a teardown wants the muxer: give up waiting on a full socket

    pthread_t sender_thread;
    pthread_t control_thread;

    // Guards muxer, io, io_buffer and rtp_fd while the sender writes (it
    // holds it for as long as a full relay queue lasts). May be taken before
    // lock, never after it.
    std::mutex io_lock;
    UniqueFD rtp_fd;
    AVFormatContext *muxer;
    AVIOContext *io;
    uint8_t *io_buffer;
    // The relay went away mid-stream: datagrams are dropped, and the socket
    // is pointed at the path again every little while until a relay is
    // back there (under io_lock).
    bool relay_away;
    int64_t rejoin_after_ns;

    // The stream as streamer_status reports it, copied under lock whenever
    // the stream opens or closes, so a status never waits on io_lock; its
    // queue counters are kept current under lock.
    StreamerStatus stream;

    UniqueFD control_fd;          // under lock
    uint64_t control_generation;  // bumped whenever control_fd changes (under lock)
    bool control_busy;            // the control thread is using control_fd (under lock)
    bool control_rejoin;          // a relay is back: connect the control socket anew (under lock)
};
