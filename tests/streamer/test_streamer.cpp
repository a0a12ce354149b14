// The streamer's transport against an in-test relay side: result codes,
// datagram shape, time stamps, codec selection and teardown.
#include "apps/capture/streamer/streamer.h"
#include "tests/streamer/peers.h"
#include "libs/common/relay_protocol.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char *kRtp = relay_protocol::kRtpSocketPath;
constexpr const char *kControl = relay_protocol::kControlSocketPath;

StreamerConfig *make_config(const char *codec)
{
    auto *c = new StreamerConfig();
    c->rtp_path = kRtp;
    c->control_path = kControl;
    c->width = 320;
    c->height = 240;
    c->codec_name = codec;
    c->mode = 1;
    c->fps = 30;
    return c;
}

// An Annex B access unit: one IDR slice NAL of `size` bytes.
AVPacket *make_h264_packet(int size)
{
    AVPacket *p = av_packet_alloc();
    av_new_packet(p, size);
    std::memset(p->data, 0x5a, static_cast<size_t>(size));
    const uint8_t start[] = {0, 0, 0, 1, 0x65};
    std::memcpy(p->data, start, sizeof(start));
    p->flags |= AV_PKT_FLAG_KEY;
    return p;
}

// An Annex B access unit of `size` bytes: an IDR slice when key, else a
// P slice.
AVPacket *make_h264_frame(int size, bool key)
{
    AVPacket *p = make_h264_packet(size);
    if (!key) {
        p->data[4] = 0x41;
        p->flags &= ~AV_PKT_FLAG_KEY;
    }
    return p;
}

struct StreamerTest : ::testing::Test {
    StreamerConfig *config = nullptr;
    Streamer *streamer = nullptr;
    StreamerStatus status()
    {
        StreamerStatus st{};
        EXPECT_EQ(streamer_status(streamer, &st), 0);
        return st;
    }
    void start(const char *codec = "H.264")
    {
        config = make_config(codec);
        ASSERT_EQ(streamer_init(&streamer, config), 0);
    }
    void TearDown() override
    {
        if (streamer) {
            EXPECT_EQ(streamer_cleanup(streamer), 0);
        }
        delete config;
    }
};

TEST_F(StreamerTest, WithoutRtpListenerConnectFailsAndLeavesControlAlone)
{
    UniqueFD listener = peer_listen_seqpacket(kControl);
    ASSERT_TRUE(listener);
    start();
    EXPECT_EQ(streamer_connect(streamer), -3);
    EXPECT_FALSE(status().connected);
    EXPECT_EQ(status().control_fd, -1);
    EXPECT_FALSE(peer_accept(listener.get(), 200)) << "the control socket was tried";
}

TEST_F(StreamerTest, WithoutControlListenerTheStreamFlows)
{
    UniqueFD rtp = peer_bind_datagram(kRtp);
    ASSERT_TRUE(rtp);
    start();
    testing::internal::CaptureStdout();
    ASSERT_EQ(streamer_connect(streamer), 0);
    const StreamerStatus first = status();
    EXPECT_EQ(first.streams_opened, 1u);
    const int rtp_fd = first.rtp_fd;
    EXPECT_EQ(streamer_connect(streamer), 0);  // already connected: nothing changes
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "[Streamer] Connected via UDS (RTP[DGRAM]->" + std::to_string(rtp_fd) + ", Ctrl[SEQ]->-1)\n");
    EXPECT_EQ(status().streams_opened, first.streams_opened);
    EXPECT_EQ(status().rtp_fd, rtp_fd);

    AVPacket *p = make_h264_packet(600);
    EXPECT_EQ(streamer_send_packet(streamer, p, 5), 0);
    av_packet_free(&p);
    bool media = false;
    for (const Datagram &d : peer_drain(rtp.get(), 500))
        media |= !peer_is_rtcp(d);
    EXPECT_TRUE(media);
}

// Large access units are cut into RTP packets of at most 1400 bytes, each
// its own datagram; milliseconds become 90 kHz ticks.
TEST_F(StreamerTest, DatagramsAreRtpOfAtMost1400BytesOnA90kHzClock)
{
    UniqueFD rtp = peer_bind_datagram(kRtp);
    ASSERT_TRUE(rtp);
    start();
    ASSERT_EQ(streamer_connect(streamer), 0);
    for (uint64_t ms = 0; ms < 3; ++ms) {
        AVPacket *p = make_h264_packet(5000);
        ASSERT_EQ(streamer_send_packet(streamer, p, ms), 0);
        av_packet_free(&p);
    }
    std::vector<RtpHeader> media;
    for (const Datagram &d : peer_drain(rtp.get(), 500)) {
        RtpHeader h;
        ASSERT_TRUE(peer_parse_rtp(d, &h));
        EXPECT_EQ(h.version, 2);
        EXPECT_LE(d.size(), 1400u);
        if (!peer_is_rtcp(d))
            media.push_back(h);
    }
    ASSERT_GE(media.size(), 12u);  // 3 x 5000 bytes need at least 4 packets each
    std::vector<uint32_t> frame_times;
    for (size_t i = 0; i < media.size(); ++i) {
        if (i > 0) {
            EXPECT_EQ(static_cast<uint16_t>(media[i - 1].sequence + 1), media[i].sequence);
            EXPECT_EQ(media[i].ssrc, media[0].ssrc);
        }
        if (media[i].marker)
            frame_times.push_back(media[i].timestamp);
    }
    ASSERT_EQ(frame_times.size(), 3u);
    EXPECT_EQ(frame_times[1] - frame_times[0], 90u);
    EXPECT_EQ(frame_times[2] - frame_times[1], 90u);
}

TEST_F(StreamerTest, CodecNamesPickTheStreamCodec)
{
    UniqueFD rtp = peer_bind_datagram(kRtp);
    ASSERT_TRUE(rtp);
    const struct {
        const char *name;
        AVCodecID id;
    } cases[] = {
        {"H.264", AV_CODEC_ID_H264}, {"H264", AV_CODEC_ID_H264},  {nullptr, AV_CODEC_ID_H264},
        {"mpeg", AV_CODEC_ID_H264},  {"hevc", AV_CODEC_ID_HEVC},  {"HEVC", AV_CODEC_ID_HEVC},
        {"h265", AV_CODEC_ID_HEVC},  {"H.265", AV_CODEC_ID_HEVC}, {"vp8", AV_CODEC_ID_VP8},
        {"VP9", AV_CODEC_ID_VP9},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name ? c.name : "(null)");
        start(c.name);
        ASSERT_EQ(streamer_connect(streamer), 0);
        EXPECT_EQ(status().stream_codec_id, c.id);
        EXPECT_EQ(status().stream_width, 320);
        EXPECT_EQ(streamer_cleanup(streamer), 0);
        streamer = nullptr;
        delete config;
        config = nullptr;
    }
}

// This FFmpeg's RTP muxer has no AV1 packetiser: the header fails, and the
// failed connect leaves no socket open and can be retried.
TEST_F(StreamerTest, MuxerFailureClosesBothSockets)
{
    UniqueFD rtp = peer_bind_datagram(kRtp);
    UniqueFD listener = peer_listen_seqpacket(kControl);
    start("AV1");
    const int rc = streamer_connect(streamer);
    if (rc == 0)
        GTEST_SKIP() << "this FFmpeg packs AV1 into RTP";
    EXPECT_EQ(rc, -5);
    const StreamerStatus st = status();
    EXPECT_FALSE(st.connected);
    EXPECT_EQ(st.rtp_fd, -1);
    EXPECT_EQ(st.control_fd, -1);
    EXPECT_EQ(st.stream_codec_id, AV_CODEC_ID_NONE);
    EXPECT_EQ(st.streams_opened, 0u);
    UniqueFD control = peer_accept(listener.get(), 500);
    ASSERT_TRUE(control);
    // The control connection that was opened has been closed again.
    EXPECT_EQ(peer_read_record(control.get(), 500), "");
    EXPECT_EQ(streamer_connect(streamer), -5);
}

TEST_F(StreamerTest, NullArgumentsAreRefused)
{
    start();
    AVPacket *p = make_h264_packet(100);
    EXPECT_EQ(streamer_connect(nullptr), -1);
    EXPECT_EQ(streamer_send_packet(nullptr, p, 0), -1);
    EXPECT_EQ(streamer_send_packet(streamer, nullptr, 0), -1);
    EXPECT_EQ(streamer_cleanup(nullptr), -1);
    EXPECT_EQ(connect_uds(nullptr, 0), -1);
    av_packet_free(&p);
}

// The sender is stuck on a relay that reads nothing: cleanup still ends at
// once and frees every packet left in the queue (AddressSanitizer's leak
// check sees the rest).
TEST_F(StreamerTest, CleanupWithPacketsQueuedFreesThemPromptly)
{
    UniqueFD rtp = peer_bind_datagram(kRtp);
    ASSERT_TRUE(rtp);
    start();
    ASSERT_EQ(streamer_connect(streamer), 0);
    AVPacket *p = make_h264_packet(20000);
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(streamer_send_packet(streamer, p, static_cast<uint64_t>(i)), 0);
    av_packet_free(&p);  // the queue holds its own references
    ASSERT_GT(status().queued_packets, 0u);
    EXPECT_LT(elapsed_ms([&] { EXPECT_EQ(streamer_cleanup(streamer), 0); }), 200);
    streamer = nullptr;
}

TEST_F(StreamerTest, NeverConnectedStreamerDropsItsPacketsAndCleansUp)
{
    start();
    AVPacket *p = make_h264_packet(100);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(streamer_send_packet(streamer, p, 0), 0);
    av_packet_free(&p);
}

// Datagrams to a relay that has gone are failed sends, never SIGPIPE; a
// disconnect and a new connect start a new stream to a new relay.
TEST_F(StreamerTest, RelayGoneAndBackAgain)
{
    UniqueFD rtp = peer_bind_datagram(kRtp);
    ASSERT_TRUE(rtp);
    start();
    ASSERT_EQ(streamer_connect(streamer), 0);
    rtp.reset();
    unlink(kRtp);
    AVPacket *p = make_h264_packet(3000);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(streamer_send_packet(streamer, p, static_cast<uint64_t>(i)), 0);
    usleep(200000);

    EXPECT_EQ(streamer_disconnect(streamer), 0);
    EXPECT_FALSE(status().connected);
    EXPECT_EQ(status().rtp_fd, -1);
    rtp = peer_bind_datagram(kRtp);
    ASSERT_TRUE(rtp);
    ASSERT_EQ(streamer_connect(streamer), 0);
    EXPECT_EQ(streamer_send_packet(streamer, p, 100), 0);
    av_packet_free(&p);
    size_t media = 0;
    for (const Datagram &d : peer_drain(rtp.get(), 500))
        media += peer_is_rtcp(d) ? 0 : 1;
    EXPECT_GE(media, 3u);
}

// The encoder's side of key-frame requests: the feedback callback, as the
// control commands receive a relay's "IDR".
struct KeyframeAsks {
    std::atomic<int> asked{0};
    std::atomic<bool> pending{false};
    static void feedback(uint32_t event, const void *, uint64_t, void *user)
    {
        auto *self = static_cast<KeyframeAsks *>(user);
        if (event == FEEDBACK_KEYFRAME) {
            self->asked += 1;
            self->pending = true;
        }
    }
};

// Reads up to max_frames whole frames, until none has come for 5 ms; each
// frame's index (from its RTP time, frame_ticks apart) goes to frames.
void read_frames(int fd, size_t max_frames, uint32_t *first_ts, std::vector<uint32_t> *frames, uint32_t frame_ticks)
{
    Datagram buffer(65536);
    for (size_t got = 0; got < max_frames;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5) <= 0)
            return;
        const ssize_t n = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n <= 0)
            return;
        const Datagram d(buffer.begin(), buffer.begin() + n);
        RtpHeader h;
        if (peer_is_rtcp(d) || !peer_parse_rtp(d, &h) || !h.marker)
            continue;
        if (*first_ts == 0)
            *first_ts = h.timestamp;
        frames->push_back((h.timestamp - *first_ts) / frame_ticks);
        ++got;
    }
}

// A relay that stops reading for 2 s, then reads again at twice the stream's
// rate (what it forwards to is no faster): the queue stays within what 200 ms
// hold, the stream picks up again on a key frame the encoder was asked for,
// and within a second of the relay reading again a frame arrives less than
// two frame intervals after it was sent. An unbounded queue holds the whole
// 2 s and stays 2 s behind for as long again.
TEST_F(StreamerTest, StalledRelayDropsUpToAKeyFrameAndCatchesUp)
{
    constexpr int kFrameBytes = 20000;  // 15 datagrams: the relay's socket holds less than one frame
    constexpr int kFrameMs = 17;        // about 60 frames a second
    constexpr int kFlowing = 30, kStalled = 120, kResumed = 90;
    UniqueFD rtp = peer_bind_datagram(kRtp);
    ASSERT_TRUE(rtp);
    KeyframeAsks asks;
    start();
    config->feedback = KeyframeAsks::feedback;
    config->feedback_user = &asks;
    ASSERT_EQ(streamer_connect(streamer), 0);

    std::vector<bool> key;
    std::vector<std::pair<int, uint32_t>> received;  // (last frame sent by then, frame index)
    uint32_t first_ts = 0;
    for (int i = 0; i < kFlowing + kStalled + kResumed; ++i) {
        key.push_back(i == 0 || asks.pending.exchange(false));
        AVPacket *p = make_h264_frame(kFrameBytes, key.back());
        ASSERT_EQ(streamer_send_packet(streamer, p, 1000 + uint64_t(i) * kFrameMs), 0);
        av_packet_free(&p);
        std::vector<uint32_t> frames;
        if (i < kFlowing)
            read_frames(rtp.get(), SIZE_MAX, &first_ts, &frames, kFrameMs * 90);
        else if (i >= kFlowing + kStalled)
            read_frames(rtp.get(), 2, &first_ts, &frames, kFrameMs * 90);
        for (uint32_t f : frames)
            received.emplace_back(i, f);
        // A frame interval after each frame, never a burst to catch up: a
        // test thread held up by a busy machine sends fewer frames, not more
        // of them at once.
        std::this_thread::sleep_for(std::chrono::milliseconds(kFrameMs));
    }
    const StreamerStatus st = status();

    // Bounded by the streamer's own counters: 200 ms are 12 frames here.
    EXPECT_LE(st.peak_queued_packets, 30u);
    EXPECT_LE(st.peak_queued_bytes, 30u * kFrameBytes);
    EXPECT_GT(st.dropped_packets, 0u);
    EXPECT_GE(st.keyframe_requests, 1u);
    EXPECT_EQ(uint64_t(asks.asked.load()), st.keyframe_requests);

    // Every gap in the frames received is followed by a key frame.
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.front().second, 0u);
    for (size_t n = 1; n < received.size(); ++n) {
        const uint32_t before = received[n - 1].second, now = received[n].second;
        ASSERT_LT(now, key.size());
        EXPECT_TRUE(now == before + 1 || (now > before && key[now]))
            << "frame " << now << " after frame " << before << " is no key frame";
    }
    // Caught up within a second (60 frames) of reading again: a frame
    // arrives while at most one newer one has been sent.
    int caught_up = -1;
    for (const auto &[sent, frame] : received)
        if (sent >= kFlowing + kStalled && sent - int(frame) <= 1) {
            caught_up = sent - (kFlowing + kStalled);
            break;
        }
    EXPECT_GE(caught_up, 0) << "the stream never caught up";
    EXPECT_LT(caught_up, 60);
}

}  // namespace
