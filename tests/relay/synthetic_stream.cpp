#include "tests/relay/synthetic_stream.h"

#include "apps/capture/pipelines/watermark_font.h"

#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include "libs/common/ffmpeg_ptr.h"
#include "libs/common/unique_fd.h"
#include "libs/common/unix_socket.h"

namespace {

// Segment boxes in cell units: centre x, centre y, width, height.
const double kSeg[7][4] = {
    {0.5, 0.15, 0.35, 0.10}, {0.2, 0.35, 0.10, 0.20}, {0.8, 0.35, 0.10, 0.20}, {0.5, 0.50, 0.35, 0.10},
    {0.2, 0.65, 0.10, 0.20}, {0.8, 0.65, 0.10, 0.20}, {0.5, 0.85, 0.35, 0.10},
};
const char *kLit[10] = {"012456", "25", "02346", "02356", "1235", "01356", "013456", "025", "0123456", "012356"};

double rect(double px, double py, double cx, double cy, double w, double h)
{
    double dx = std::fabs(px - cx) - w * 0.5, dy = std::fabs(py - cy) - h * 0.5;
    return std::max(dx, dy) <= 0.0 ? 1.0 : 0.0;
}

double seven_seg(int digit, double u, double v)
{
    if (digit < 0 || digit > 9)
        return 0.0;
    double sum = 0;
    for (const char *s = kLit[digit]; *s; ++s) {
        const double *g = kSeg[*s - '0'];
        sum += rect(u, v, g[0], g[1], g[2], g[3]);
    }
    return std::min(sum, 1.0);
}

struct Sink {
    int fd;
    TestStreamReport *report;
};

int write_datagram(void *opaque, uint8_t *buf, int size)
{
    auto *s = static_cast<Sink *>(opaque);
    ssize_t n = write(s->fd, buf, size_t(size));
    if (n < 0)
        return -errno;
    s->report->datagrams++;
    s->report->largest = std::max(s->report->largest, size_t(size));
    return int(n);
}

}  // namespace

void test_draw_watermark(uint8_t *luma, int width, int height, ptrdiff_t stride, uint64_t value)
{
    int d[13];
    for (int i = 0; i < 13; ++i) {
        uint64_t p = 1;
        for (int k = 0; k < 12 - i; ++k)
            p *= 10;
        d[i] = int((value / p) % 10);
    }
    for (int row = 0; row < height; ++row)
        for (int col = 0; col < width; ++col) {
            double px = col + 0.5, py = row + 0.5;
            double bg = (px >= 40 && px <= 710 && py >= 40 && py <= 150) ? 1.0 : 0.0;
            double wm = 0.0;
            for (int i = 0; i < 13; ++i) {
                double x0 = 50.0 + i * 50.0, y0 = 50.0;
                if (px >= x0 && px <= x0 + 40.0 && py >= y0 && py <= y0 + 80.0) {
                    wm = seven_seg(d[i], (px - x0) / 40.0, (py - y0) / 80.0);
                    break;
                }
            }
            double y = luma[row * stride + col] / 255.0;
            y = y * (1.0 - bg * 0.7);
            y = y * (1.0 - wm) + wm;
            luma[row * stride + col] = uint8_t(std::lround(y * 255.0));
        }
}

int test_send_stream(const TestStreamOptions &o, TestStreamReport *report)
{
    *report = TestStreamReport{};
    UniqueFD fd = unix_connect(o.rtp_path.c_str(), SOCK_DGRAM, nullptr);
    if (!fd) {
        report->error = "cannot connect " + o.rtp_path + ": " + strerror(errno);
        return -1;
    }
    const AVCodec *codec = avcodec_find_encoder_by_name(o.encoder.c_str());
    if (!codec) {
        report->error = "no encoder " + o.encoder;
        return -1;
    }
    AvCodecContextPtr enc(avcodec_alloc_context3(codec));
    enc->width = o.width;
    enc->height = o.height;
    enc->pix_fmt = AV_PIX_FMT_YUV420P;
    enc->time_base = AVRational{1, 1000};
    enc->framerate = AVRational{1000, o.frame_ms};
    enc->gop_size = 30;
    enc->max_b_frames = 0;
    enc->bit_rate = 2000000;
    enc->thread_count = 1;
    AVDictionary *opts = nullptr;
    if (o.encoder == "libx264") {
        av_dict_set(&opts, "preset", "ultrafast", 0);
        av_dict_set(&opts, "tune", "zerolatency", 0);
    } else if (o.encoder == "libx265") {
        av_dict_set(&opts, "preset", "ultrafast", 0);
        av_dict_set(&opts, "tune", "zerolatency", 0);
        av_dict_set(&opts, "x265-params", "log-level=error", 0);
    } else {
        av_dict_set(&opts, "deadline", "realtime", 0);
        av_dict_set(&opts, "cpu-used", "8", 0);
        av_dict_set(&opts, "lag-in-frames", "0", 0);
    }
    int ret = avcodec_open2(enc.get(), codec, &opts);
    av_dict_free(&opts);
    if (ret < 0) {
        report->error = "cannot open " + o.encoder;
        return -1;
    }

    AVFormatContext *mc = nullptr;
    if (avformat_alloc_output_context2(&mc, nullptr, "rtp", nullptr) < 0 || !mc) {
        report->error = "no rtp muxer";
        return -1;
    }
    AvFormatContextPtr mux(mc);
    Sink sink{fd.get(), report};
    // The I/O context goes before the muxer, with the buffer it holds.
    std::unique_ptr<uint8_t, AvMemoryFree> buf(static_cast<uint8_t *>(av_malloc(32768)));
    AvIoContextPtr io(buf ? avio_alloc_context(buf.get(), 32768, 1, &sink, nullptr, write_datagram, nullptr) : nullptr);
    if (!io) {
        report->error = "no memory for the rtp muxer";
        return -1;
    }
    buf.release();
    mc->pb = io.get();
    mc->packet_size = 1400;
    if (codec->id == AV_CODEC_ID_VP9)
        mc->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    AVStream *st = avformat_new_stream(mc, nullptr);
    st->id = 0;
    st->time_base = AVRational{1, 90000};
    st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    st->codecpar->codec_id = codec->id;
    st->codecpar->width = o.width;
    st->codecpar->height = o.height;
    if (avformat_write_header(mc, nullptr) < 0) {
        report->error = "rtp header failed";
        return -1;
    }

    AvFramePtr frame(av_frame_alloc());
    AvPacketPtr pkt(av_packet_alloc());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = o.width;
    frame->height = o.height;
    av_frame_get_buffer(frame.get(), 0);
    auto send_ready = [&] {
        while (avcodec_receive_packet(enc.get(), pkt.get()) == 0) {
            int64_t ms = pkt->pts;
            pkt->pts = pkt->dts = av_rescale_q(ms, AVRational{1, 1000}, st->time_base);
            pkt->stream_index = 0;
            av_interleaved_write_frame(mc, pkt.get());
            av_packet_unref(pkt.get());
        }
    };
    for (int i = 0; i < o.frames; ++i) {
        av_frame_make_writable(frame.get());
        for (int y = 0; y < o.height; ++y)
            for (int x = 0; x < o.width; ++x)
                frame->data[0][y * frame->linesize[0] + x] = uint8_t(40 + ((x + y + 4 * i) % 160));
        for (int p = 1; p < 3; ++p)
            for (int y = 0; y < o.height / 2; ++y)
                std::memset(frame->data[p] + y * frame->linesize[p], 100 + 20 * p, size_t(o.width / 2));
        if (o.watermark) {
            timespec now;
            clock_gettime(CLOCK_REALTIME, &now);
            uint64_t ms = uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_nsec / 1000000);
            if (o.bitmap_watermark)
                watermark_draw_ms(frame->data[0], o.width, o.height, frame->linesize[0], ms);
            else
                test_draw_watermark(frame->data[0], o.width, o.height, frame->linesize[0], ms);
        }
        frame->pts = int64_t(i) * o.frame_ms;
        if (avcodec_send_frame(enc.get(), frame.get()) < 0) {
            report->error = "encode failed";
            return -1;
        }
        report->frames_encoded++;
        send_ready();
        if (o.paced)
            std::this_thread::sleep_for(std::chrono::milliseconds(o.frame_ms));
    }
    avcodec_send_frame(enc.get(), nullptr);
    send_ready();
    av_write_trailer(mc);
    return 0;
}
