// The balanced mode as the user runs it: capture-helper on a 1280x720@60
// virtual display, vistrel-relay, and `capture -m balanced`, each a process
// of its own in the test's private /tmp. Speeds are reported, not asserted.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include "apps/capture/core/hdr_tone.h"
#include "libs/common/ffmpeg_ptr.h"
#include "tests/e2e/system_fixture.h"

extern "C" {
#include <libavutil/mastering_display_metadata.h>
}

namespace {

class BalancedSystem : public E2eSystem {
protected:
    // Starts capture in balanced mode with extra options and waits for its
    // first statistics line (the first packet has been sent).
    void start_capture(const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> args = {"-m", "balanced"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_EQ(e2e_start_capture(&capture_, args), 0);
        ASSERT_TRUE(e2e_wait_for_text(&capture_, "[GL+CPU] Frame ", 15000, true)) << logs(capture_);
    }
};

// VBlank-Sync, H.264 at the display's 1280x720: the stream decodes, carries
// the watermark, the watermarks advance by whole vertical blanks and the RTP
// times by as much, and the picture moves. SIGTERM to the worker ends the
// run promptly with the teardown lines.
TEST_F(BalancedSystem, VBlankSyncStreamsTheMovingDisplay)
{
    ASSERT_EQ(e2e_start_relay(&relay_, {"--latency", "--per-frame", "--watermark", "source", "--udp-port", "0",
                                        "--record", "/tmp/sync.mkv"}),
              0);
    start_capture();
    e2e_sleep_ms(2500);
    const long long stop_ms = stop_worker();
    auto summary = finish_relay();
    const std::string out = e2e_stdout(&capture_), err = e2e_stderr(&capture_);

    std::printf("[ report ] VBlank-Sync 1280x720 H.264: relay fps=%s frames=%s latency p50=%s p95=%s ms "
                "(from the blank: p50=%s p95=%s ms); stopped %lld ms after SIGTERM\n",
                summary["fps"].c_str(), summary["frames"].c_str(), summary["latency_p50_ms"].c_str(),
                summary["latency_p95_ms"].c_str(), summary["source_latency_p50_ms"].c_str(),
                summary["source_latency_p95_ms"].c_str(), stop_ms);
    EXPECT_LT(stop_ms, 3000);
    EXPECT_NE(err.find("[GL+CPU] Selected encoder: H.264 (libx264)\n"), std::string::npos);
    EXPECT_NE(err.find("[CPU Encoder] Destroying libx264\n"), std::string::npos);
    EXPECT_NE(err.find("[Capture] 子进程退出，退出码 1\n"), std::string::npos);
    EXPECT_NE(out.find("[CAPTURE] Cleaning up capture module"), std::string::npos);
    EXPECT_EQ(err.find("Scaling"), std::string::npos);

    EXPECT_EQ(summary["decoded_codec"], "h264");
    EXPECT_EQ(summary["decoded_size"], "1280x720");
    EXPECT_EQ(summary["timestamp_backward"], "0");
    EXPECT_EQ(summary["latency_unreadable"], "0");

    const std::vector<E2eFrameLine> frames = e2e_frame_lines(e2e_stdout(&relay_));
    ASSERT_GE(frames.size(), 4u);
    for (size_t i = 1; i < frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        // Distinct vertical blanks in order (the helper stamps each event
        // when it forwards it, so on a loaded machine two stamps can be
        // closer than a period).
        ASSERT_GT(frames[i].watermark_ms, frames[i - 1].watermark_ms);
        // A packet shows the frame rendered one event earlier but carries the
        // time of the event it was read back at, so the step between the
        // times of packets i-1 and i follows the watermarks of i and i+1.
        if (i + 1 < frames.size()) {
            const double rtp_ms = double(uint32_t(frames[i].rtp_timestamp - frames[i - 1].rtp_timestamp)) / 90.0;
            EXPECT_NEAR(rtp_ms, double(frames[i + 1].watermark_ms - frames[i].watermark_ms), 3.0);
        }
    }

    // The display's own stamp reads in nearly every frame: the blanks never
    // go back, and every frame arrives after the blank it shows. The display
    // redraws its one buffer in place, so a read-back that a loaded machine
    // delays into the next blank's drawing shows a torn stamp now and then.
    const std::vector<E2eSourceLine> shown = e2e_source_lines(e2e_stdout(&relay_));
    const size_t unreadable = std::stoul(summary["source_latency_unreadable"]);
    EXPECT_EQ(shown.size() + unreadable, frames.size());
    EXPECT_LE(unreadable, frames.size() / 20);
    for (size_t i = 0; i < shown.size(); ++i) {
        if (i > 0) {
            EXPECT_GE(shown[i].blank, shown[i - 1].blank) << "frame " << i;
        }
        EXPECT_GT(shown[i].latency_ms, 0.0) << "frame " << i;
    }

    std::vector<E2eFrame> pictures;
    ASSERT_EQ(e2e_decode_file("/tmp/sync.mkv", 20, &pictures), 0);
    ASSERT_GE(pictures.size(), 3u);
    // The display's square and counter move; the watermark's box (top left,
    // either way up) is left out.
    for (size_t i = 1; i < pictures.size(); ++i) {
        E2eFrame a = pictures[i - 1], b = pictures[i];
        for (E2eFrame *f : {&a, &b})
            for (int y = f->height - 160; y < f->height; ++y)
                std::fill_n(f->luma.begin() + size_t(y) * f->width, 730, uint8_t(0));
        EXPECT_GT(e2e_changed_pixels(a, b, 24, 0, 0, 730, 160), 500) << "frame " << i;
    }
}

// Fixed-FPS at 30 on the 60 Hz display: after the first two frames the
// frames come no faster than 30 a second of vertical blanks.
TEST_F(BalancedSystem, FixedFpsThirtyThinsTheVerticalBlanks)
{
    ASSERT_EQ(e2e_start_relay(&relay_, {"--latency", "--per-frame", "--udp-port", "0"}), 0);
    start_capture({"-s", "0", "-f", "30"});
    e2e_sleep_ms(2500);
    stop_worker();
    auto summary = finish_relay();
    std::printf("[ report ] Fixed-FPS 30 on 60 Hz: relay fps=%s frames=%s\n", summary["fps"].c_str(),
                summary["frames"].c_str());
    EXPECT_NE(e2e_stderr(&capture_).find("| Mode: Fixed | FPS: 30.0/"), std::string::npos);
    const std::vector<E2eFrameLine> frames = e2e_frame_lines(e2e_stdout(&relay_));
    ASSERT_GE(frames.size(), 3u);
    // On average no faster than 30 Hz (single gaps follow the stamps' jitter).
    const double mean_gap = double(frames.back().watermark_ms - frames[1].watermark_ms) / double(frames.size() - 2);
    EXPECT_GE(mean_gap, 31.0);
}

// A resolution request restarts the run and the next stream is 960x540; a
// codec request gives VP9.
TEST_F(BalancedSystem, ResolutionAndCodecRequestsRestartTheRun)
{
    ASSERT_EQ(e2e_start_relay(&relay_, {"--query-config", "--udp-port", "0", "--record", "/tmp/restart.mkv", "--send",
                                        "1000:RESOLUTION:960x540", "--send", "3000:CODEC:vp9"}),
              0);
    start_capture();
    ASSERT_TRUE(e2e_wait_for_text(&relay_, "config.codec=VP9", 12000)) << e2e_stdout(&relay_);
    e2e_sleep_ms(1500);
    stop_worker();
    auto summary = finish_relay();
    const std::string relay_out = e2e_stdout(&relay_);
    EXPECT_NE(relay_out.find("config.resolution=960x540"), std::string::npos);
    EXPECT_NE(relay_out.find("config.mode=balanced"), std::string::npos);
    EXPECT_EQ(summary["decoded_codec"], "vp9");
    EXPECT_EQ(summary["decoded_size"], "960x540");
    EXPECT_GE(std::stoi(summary["streams"]), 3);
    const std::string err = e2e_stderr(&capture_);
    EXPECT_NE(err.find("[GL+CPU] Scaling: 1280x720 \xe2\x86\x92 960x540\n"), std::string::npos);
    EXPECT_NE(err.find("[GL+CPU] Selected encoder: VP9 (libvpx-vp9)\n"), std::string::npos);

    // The second stream (after the resize, still H.264) is 960x540.
    std::vector<E2eFrame> pictures;
    ASSERT_EQ(e2e_decode_file("/tmp/restart-1.mkv", 3, &pictures), 0);
    ASSERT_FALSE(pictures.empty());
    EXPECT_EQ(pictures[0].width, 960);
    EXPECT_EQ(pictures[0].height, 540);
}

// Rate and key-frame requests act on the running encoder without a restart
// (here on VP9, whose rate control follows the request; the H.264 row runs
// at a constant quantiser).
TEST_F(BalancedSystem, BitRateAndKeyFrameRequestsNeedNoRestart)
{
    ASSERT_EQ(e2e_start_relay(&relay_, {"--query-config", "--udp-port", "0", "--record", "/tmp/rate.mkv", "--send",
                                        "300:CODEC:vp9", "--send", "2000:IDR", "--send", "2500:IDR", "--send",
                                        "3000:BPS:500000"}),
              0);
    start_capture();
    ASSERT_TRUE(e2e_wait_for_text(&capture_, "[CPU Encoder] Bitrate set to 500000 bps", 10000, true));
    e2e_sleep_ms(1500);
    stop_worker();
    auto summary = finish_relay();
    EXPECT_EQ(summary["streams"], "2");  // H.264, then VP9; the requests restarted nothing
    EXPECT_EQ(summary["decoded_codec"], "vp9");
    const std::string err = e2e_stderr(&capture_);
    EXPECT_EQ(err.find("Pipeline restart requested"), err.rfind("Pipeline restart requested"));

    std::vector<E2eFrame> pictures;
    ASSERT_EQ(e2e_decode_file("/tmp/rate-1.mkv", 1000, &pictures), 0);
    ASSERT_GE(pictures.size(), 6u);
    // The group of pictures is 60: a key frame anywhere else came from a
    // request. Two requests half a second apart: on a loaded machine one of
    // them may fall on a frame that is a key frame anyway, never both.
    bool requested_key = false;
    for (size_t i = 1; i < pictures.size(); ++i)
        requested_key = requested_key || (pictures[i].key_frame && i % 60 != 0);
    EXPECT_TRUE(requested_key);

    double before = 0, after = 0;
    size_t n_before = 0, n_after = 0;
    const size_t third = pictures.size() / 3;
    for (size_t i = 1; i < pictures.size(); ++i) {
        if (pictures[i].key_frame)
            continue;
        if (i < third)
            before += pictures[i].packet_bytes, ++n_before;
        else if (i >= 2 * third)
            after += pictures[i].packet_bytes, ++n_after;
    }
    std::printf("[ report ] VP9 inter-frame bytes: %.0f in the first third, %.0f in the last (BPS:500000 between)\n",
                n_before ? before / n_before : 0.0, n_after ? after / n_after : 0.0);
}

// The helper's descriptors do not grow over many capture runs, and a killed
// helper ends capture instead of leaving it hanging.
TEST_F(BalancedSystem, RepeatedRunsLeakNothingAndAKilledHelperEndsCapture)
{
    ASSERT_EQ(e2e_start_relay(&relay_, {"--udp-port", "0"}), 0);
    int first_count = -1;
    for (int run = 0; run < 4; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        start_capture();
        stop_worker();
        // The helper notices the client's end on its own schedule.
        e2e_sleep_ms(300);
        const int count = e2e_fd_count(helper_.pid);
        if (run == 0)
            first_count = count;
        else
            EXPECT_EQ(count, first_count);
    }

    start_capture();
    kill(helper_.pid, SIGKILL);
    e2e_wait_exit(&helper_, 2000);
    EXPECT_TRUE(e2e_wait_exit(&capture_, 5000)) << "capture kept running without its helper";
}

// The relay going away and coming back does not end capture, and the stream
// goes on to the relay that came back.
TEST_F(BalancedSystem, RelayRestartDoesNotEndCapture)
{
    ASSERT_EQ(e2e_start_relay(&relay_, {"--udp-port", "0"}), 0);
    start_capture();
    e2e_sleep_ms(500);
    e2e_stop(&relay_, SIGTERM, 5000);
    e2e_sleep_ms(1000);
    EXPECT_FALSE(e2e_reap(&capture_)) << "capture ended while the relay was away";
    ASSERT_EQ(e2e_start_relay(&relay_, {"--udp-port", "0", "--latency"}), 0);
    e2e_sleep_ms(1500);
    EXPECT_FALSE(e2e_reap(&capture_)) << "capture ended after the relay came back";
    // The stream finds the relay that came back, and a key frame lets it
    // decode.
    auto summary = finish_relay();
    EXPECT_GT(std::stoll(summary["datagrams"]), 0) << "no datagram reached the relay that came back";
    EXPECT_GT(std::stoll(summary["decoded_frames"]), 0);
    stop_worker();
}

// An HDR desktop: a 10-bit buffer (its bottom rows a grey ramp, code
// x * 1024 / 1280 at column x) on a connector sending PQ, BT.2020, MaxCLL
// 1000 cd/m2 on a 1000 cd/m2 mastering display.
constexpr char kPqWorld720[] = "device /dev/dri/card1\n"
                               "framebuffer 200 1280x720 XB30\n"
                               "crtc 50 1280x720@60 fb=200\n"
                               "encoder 80 crtc=50\n"
                               "connector 100 DP-3 connected encoders=80 hdr=pq maxcll=1000 maxfall=400 "
                               "mastering=1000,50\n";

class BalancedHdrSystem : public BalancedSystem {
protected:
    void SetUp() override
    {
        ASSERT_EQ(e2e_write_file("/tmp/world-720.txt", kPqWorld720), 0);
        ASSERT_EQ(e2e_start_helper(&helper_, "/tmp/world-720.txt"), 0) << logs(helper_);
    }
};

// The first picture of the recording at path, decoded as it is, and its
// stream's parameters; null when it cannot be read.
AvFramePtr first_picture(const std::string &path, AVCodecParameters *parameters)
{
    AVFormatContext *opened = nullptr;
    if (avformat_open_input(&opened, path.c_str(), nullptr, nullptr) != 0)
        return nullptr;
    AvInputPtr format(opened);
    const AVCodec *decoder = nullptr;
    const int stream = avformat_find_stream_info(format.get(), nullptr) < 0
                           ? -1
                           : av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (stream < 0 || !decoder)
        return nullptr;
    avcodec_parameters_copy(parameters, format->streams[stream]->codecpar);
    AvCodecContextPtr context(avcodec_alloc_context3(decoder));
    AvFramePtr picture(av_frame_alloc());
    AvPacketPtr packet(av_packet_alloc());
    if (!context || !picture || !packet || avcodec_parameters_to_context(context.get(), parameters) < 0 ||
        avcodec_open2(context.get(), decoder, nullptr) < 0)
        return nullptr;
    while (av_read_frame(format.get(), packet.get()) == 0) {
        if (packet->stream_index == stream)
            avcodec_send_packet(context.get(), packet.get());
        av_packet_unref(packet.get());
        if (avcodec_receive_frame(context.get(), picture.get()) == 0)
            return picture;
    }
    avcodec_send_packet(context.get(), nullptr);
    return avcodec_receive_frame(context.get(), picture.get()) == 0 ? std::move(picture) : nullptr;
}

// --hdr: H.265 Main 10 with the connector's colour and metadata, the ramp's
// 10-bit steps kept; a codec request for VP9 (no 10-bit here) restarts the
// run with the tone-mapped 8-bit picture, which says so once.
TEST_F(BalancedHdrSystem, HdrStreamsTenBitThenToneMapsForVp9)
{
    ASSERT_EQ(e2e_start_relay(&relay_, {"--codec", "h265", "--query-config", "--udp-port", "0", "--record",
                                        "/tmp/hdr.mkv", "--send", "2500:CODEC:vp9"}),
              0);
    start_capture({"--hdr"});
    ASSERT_TRUE(e2e_wait_for_text(&relay_, "config.codec=VP9", 15000)) << e2e_stdout(&relay_);
    e2e_sleep_ms(1500);
    stop_worker();
    finish_relay();
    const std::string err = e2e_stderr(&capture_);
    EXPECT_NE(err.find("[GL+CPU] Selected encoder: H.265 (libx265)\n"), std::string::npos);
    EXPECT_EQ(e2e_count(err, "cannot carry the 10-bit stream"), 1);

    AVCodecParameters *parameters = avcodec_parameters_alloc();
    const AvFramePtr picture = first_picture("/tmp/hdr.mkv", parameters);
    ASSERT_TRUE(picture);
    EXPECT_EQ(parameters->codec_id, AV_CODEC_ID_HEVC);
    EXPECT_EQ(parameters->color_trc, AVCOL_TRC_SMPTE2084);
    EXPECT_EQ(parameters->color_primaries, AVCOL_PRI_BT2020);
    EXPECT_EQ(parameters->color_space, AVCOL_SPC_BT2020_NCL);
    avcodec_parameters_free(&parameters);
    ASSERT_EQ(picture->format, AV_PIX_FMT_YUV420P10LE);
    const AVFrameSideData *light = av_frame_get_side_data(picture.get(), AV_FRAME_DATA_CONTENT_LIGHT_LEVEL);
    ASSERT_NE(light, nullptr);
    EXPECT_EQ(reinterpret_cast<const AVContentLightMetadata *>(light->data)->MaxCLL, 1000u);
    EXPECT_NE(av_frame_get_side_data(picture.get(), AV_FRAME_DATA_MASTERING_DISPLAY_METADATA), nullptr);
    // The ramp as 10-bit luma (BT.2020 limited): far more steps than 8 bits
    // hold, near their values (the encoder's loss aside).
    const int row = 716;
    const auto *luma = reinterpret_cast<const uint16_t *>(picture->data[0] + size_t(row) * picture->linesize[0]);
    std::vector<uint16_t> codes(luma, luma + 1280);
    std::vector<double> errors;
    for (int x = 16; x < 1264; ++x)
        errors.push_back(std::fabs(luma[x] - (64 + 876 * ((x * 1024) / 1280) / 1023.0)));
    std::sort(errors.begin(), errors.end());
    std::sort(codes.begin(), codes.end());
    const long distinct = long(std::unique(codes.begin(), codes.end()) - codes.begin());
    EXPECT_GT(distinct, 400);
    EXPECT_LT(errors[errors.size() / 2], 6.0);

    // After the switch: VP9, 8 bits, the ramp tone-mapped by the curve.
    std::vector<E2eFrame> sdr;
    ASSERT_EQ(e2e_decode_file("/tmp/hdr-1.mkv", 1, &sdr), 0);
    ASSERT_EQ(sdr.size(), 1u);
    HdrSignal signal;
    signal.transfer = HDR_TRANSFER_PQ;
    signal.bt2020 = true;
    signal.max_cll = 1000;
    const HdrToneMap map = hdr_tone_map_for(signal);
    double sum = 0;
    for (int x = 16; x < 1264; ++x) {
        const double code = ((x * 1024) / 1280) / 1023.0, in[3] = {code, code, code};
        double rgb[3], ycbcr[3];
        hdr_tone_map_rgb(map, in, rgb);
        hdr_rgb_to_ycbcr709(rgb, ycbcr);
        sum += std::fabs(sdr[0].luma[size_t(row) * 1280 + size_t(x)] - ycbcr[0]);
    }
    EXPECT_LT(sum / 1248, 2.0);
    std::printf("[ report ] --hdr ramp: %ld distinct 10-bit luma codes, median error %.1f codes; VP9 tone-mapped "
                "ramp: mean luma error %.2f\n",
                distinct, errors[errors.size() / 2], sum / 1248);
}

}  // namespace
