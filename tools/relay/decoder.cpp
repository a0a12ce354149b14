#include "tools/relay/decoder.h"

#include "libs/watermark/watermark_digits.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "libs/common/ffmpeg_ptr.h"
#include "libs/common/unique_fd.h"
#include "tools/relay/relay_text.h"
#include "tools/relay/watermark_reader.h"

namespace {

int64_t monotonic_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::string av_error_text(int code)
{
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof(buf));
    return buf;
}

using InputPtr = AvInputPtr;
using OutputPtr = AvOutputPtr;
using AvioPtr = AvIoContextPtr;
using CodecPtr = AvCodecContextPtr;
using PacketPtr = AvPacketPtr;
using FramePtr = AvFramePtr;

// Finds a port p on 127.0.0.1 with p and p + 1 free (RTP and its RTCP).
int pick_port_pair()
{
    for (int attempt = 0; attempt < 64; ++attempt) {
        UniqueFD a(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        UniqueFD b(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (!a || !b)
            return -1;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (bind(a.get(), reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
            getsockname(a.get(), reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            return -1;
        int port = ntohs(addr.sin_port);
        if (port % 2 != 0 || port > 65534)
            continue;
        addr.sin_port = htons(uint16_t(port + 1));
        if (bind(b.get(), reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0)
            return port;
    }
    return -1;
}

// The SDP text, read by the demuxer from memory.
struct MemoryText {
    std::string text;
    size_t pos = 0;
};

int read_memory(void *opaque, uint8_t *buf, int size)
{
    auto *m = static_cast<MemoryText *>(opaque);
    size_t left = m->text.size() - m->pos;
    if (left == 0)
        return AVERROR_EOF;
    size_t n = std::min(left, size_t(size));
    std::memcpy(buf, m->text.data() + m->pos, n);
    m->pos += n;
    return int(n);
}

// Some depacketisers leave key frames unmarked; a recording must start at one.
bool is_key_frame(AVCodecID id, const AVPacket *pkt)
{
    if (pkt->size < 1)
        return false;
    uint8_t b = pkt->data[0];
    if (id == AV_CODEC_ID_VP8)
        return (b & 0x01) == 0;  // frame tag: 0 is a key frame
    if (id == AV_CODEC_ID_VP9) {
        // frame marker 2, profile bits, (reserved bit in profile 3), show
        // existing frame, frame type (0 key).
        if ((b >> 6) != 2)
            return false;
        int profile = ((b >> 5) & 1) | (((b >> 4) & 1) << 1);
        int bit = profile == 3 ? 2 : 3;
        bool show_existing = (b >> bit) & 1;
        bool inter = (b >> (bit - 1)) & 1;
        return !show_existing && !inter;
    }
    return false;
}

// How long the session waits without progress after its input has closed.
constexpr int64_t kDrainIdleNs = 500 * 1000000LL;
constexpr size_t kArrivalsKept = 16384;

}  // namespace

struct RelayDecoder {
    RelayDecoderOptions options;
    UniqueFD send_fd;
    sockaddr_in dest{};
    MemoryText sdp;
    AvioPtr sdp_io;
    InputPtr input;
    std::thread thread;

    std::atomic<bool> input_closed{false};
    std::atomic<bool> hard_stop{false};
    std::atomic<bool> done{false};
    std::atomic<int64_t> last_progress_ns{0};

    std::mutex lock;  // guards what follows, shared with relay_decoder_feed
    bool have_base = false;
    uint32_t base_timestamp = 0;
    std::unordered_map<uint32_t, int64_t> arrivals;  // RTP timestamp -> arrival of its last datagram
    std::deque<uint32_t> arrival_order;

    // Only the session's thread touches these until it has finished.
    RelayDecoderResult result{};
    OutputPtr output;
    int64_t last_dts = AV_NOPTS_VALUE;
    bool output_failed = false;
    uint32_t timestamp_of_frame = 0;  // of the frame being handled

    void run();
    void record(const AVPacket *pkt, const AVStream *in);
    void handle_frame(const AVFrame *frame, const AVStream *in);
    // Arrival (CLOCK_REALTIME ns) of the frame's last datagram, 0 when unknown;
    // sets *timestamp to the frame's RTP timestamp.
    int64_t arrival_of(const AVFrame *frame, const AVStream *in, uint32_t *timestamp);
    void measure_source(const AVFrame *frame, int64_t index, bool eight_bit, int64_t arrival_ns);
    void save_snapshot(const AVFrame *frame);
};

static int interrupt_cb(void *opaque)
{
    auto *d = static_cast<RelayDecoder *>(opaque);
    if (d->hard_stop.load())
        return 1;
    return d->input_closed.load() && monotonic_ns() - d->last_progress_ns.load() > kDrainIdleNs;
}

int relay_decoder_create(RelayDecoder **out, const RelayDecoderOptions *options, std::string *error)
{
    auto d = std::make_unique<RelayDecoder>();
    d->options = *options;
    d->last_progress_ns = monotonic_ns();

    int port = pick_port_pair();
    if (port < 0) {
        *error = "no free UDP port pair on 127.0.0.1";
        return -1;
    }
    d->send_fd.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!d->send_fd) {
        *error = std::string("socket: ") + strerror(errno);
        return -1;
    }
    int sndbuf = 4 << 20;
    setsockopt(d->send_fd.get(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
    d->dest.sin_family = AF_INET;
    d->dest.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    d->dest.sin_port = htons(uint16_t(port));

    d->sdp.text = relay_sdp_text(options->codec, options->payload_type, port);
    constexpr int kIoSize = 4096;
    auto *io_buf = static_cast<uint8_t *>(av_malloc(kIoSize));
    if (!io_buf) {
        *error = "out of memory";
        return -1;
    }
    AVIOContext *io = avio_alloc_context(io_buf, kIoSize, 0, &d->sdp, read_memory, nullptr, nullptr);
    if (!io) {
        av_free(io_buf);
        *error = "out of memory";
        return -1;
    }
    d->sdp_io.reset(io);

    AVFormatContext *ic = avformat_alloc_context();
    if (!ic) {
        *error = "out of memory";
        return -1;
    }
    ic->pb = d->sdp_io.get();
    ic->interrupt_callback.callback = interrupt_cb;
    ic->interrupt_callback.opaque = d.get();
    ic->max_analyze_duration = AV_TIME_BASE;
    AVDictionary *opts = nullptr;
    av_dict_set(&opts, "protocol_whitelist", "udp,rtp", 0);
    av_dict_set(&opts, "buffer_size", "4194304", 0);
    // On loopback nothing is reordered; a lost packet should not hold the
    // frames after it for long.
    av_dict_set(&opts, "max_delay", "100000", 0);
    int ret = avformat_open_input(&ic, nullptr, av_find_input_format("sdp"), &opts);
    av_dict_free(&opts);
    if (ret < 0) {  // ic is freed by avformat_open_input on failure
        *error = "cannot open the RTP demuxer: " + av_error_text(ret);
        return -1;
    }
    d->input.reset(ic);
    d->thread = std::thread([p = d.get()] { p->run(); });
    *out = d.release();
    return 0;
}

int relay_decoder_feed(RelayDecoder *d, const uint8_t *data, size_t size, uint32_t timestamp, int64_t arrival_ns)
{
    {
        std::lock_guard<std::mutex> guard(d->lock);
        if (!d->have_base) {
            d->have_base = true;
            d->base_timestamp = timestamp;
        }
        auto [it, inserted] = d->arrivals.insert_or_assign(timestamp, arrival_ns);
        (void)it;
        if (inserted) {
            d->arrival_order.push_back(timestamp);
            if (d->arrival_order.size() > kArrivalsKept) {
                d->arrivals.erase(d->arrival_order.front());
                d->arrival_order.pop_front();
            }
        }
    }
    d->last_progress_ns = monotonic_ns();
    ssize_t n = sendto(d->send_fd.get(), data, size, 0, reinterpret_cast<const sockaddr *>(&d->dest), sizeof(d->dest));
    return n == ssize_t(size) ? 0 : -1;
}

void relay_decoder_close_input(RelayDecoder *d)
{
    d->last_progress_ns = monotonic_ns();
    d->input_closed = true;
}

bool relay_decoder_done(RelayDecoder *d)
{
    return d->done.load();
}

void relay_decoder_destroy(RelayDecoder *d, int wait_ms, RelayDecoderResult *result)
{
    if (!d)
        return;
    relay_decoder_close_input(d);
    int64_t deadline = monotonic_ns() + int64_t(wait_ms) * 1000000;
    while (!d->done.load() && monotonic_ns() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    d->hard_stop = true;
    if (d->thread.joinable())
        d->thread.join();
    if (result)
        *result = std::move(d->result);
    delete d;
}

void RelayDecoder::run()
{
    AVFormatContext *ic = input.get();
    int ret = avformat_find_stream_info(ic, nullptr);
    if (ret < 0 && ic->nb_streams == 0) {
        result.error = "no stream found: " + av_error_text(ret);
        done = true;
        return;
    }
    AVStream *in = ic->streams[0];
    result.codec_name = avcodec_get_name(in->codecpar->codec_id);

    CodecPtr dec;
    if (const AVCodec *codec = avcodec_find_decoder(in->codecpar->codec_id)) {
        dec.reset(avcodec_alloc_context3(codec));
        if (dec && (avcodec_parameters_to_context(dec.get(), in->codecpar) < 0 ||
                    avcodec_open2(dec.get(), codec, nullptr) < 0))
            dec.reset();
    }
    if (!dec)
        result.error = "no decoder for " + result.codec_name;

    PacketPtr pkt(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!pkt || !frame) {
        result.error = "out of memory";
        done = true;
        return;
    }
    auto drain = [&] {
        while (avcodec_receive_frame(dec.get(), frame.get()) == 0) {
            handle_frame(frame.get(), in);
            av_frame_unref(frame.get());
        }
    };
    for (;;) {
        ret = av_read_frame(ic, pkt.get());
        if (ret == AVERROR(EAGAIN))
            continue;
        if (ret < 0)
            break;
        last_progress_ns = monotonic_ns();
        if (pkt->stream_index == 0) {
            // The frame parser loses the time of the stream's very first
            // frame; it is the first datagram's, which is the base.
            if (pkt->pts == AV_NOPTS_VALUE && result.demuxed_packets == 0)
                pkt->pts = 0;
            if (pkt->dts == AV_NOPTS_VALUE)
                pkt->dts = pkt->pts;
            if (!(pkt->flags & AV_PKT_FLAG_KEY) && is_key_frame(in->codecpar->codec_id, pkt.get()))
                pkt->flags |= AV_PKT_FLAG_KEY;
            result.demuxed_packets++;
            record(pkt.get(), in);
            if (dec) {
                if (avcodec_send_packet(dec.get(), pkt.get()) < 0)
                    result.decode_errors++;
                drain();
            }
        }
        av_packet_unref(pkt.get());
    }
    if (dec) {
        avcodec_send_packet(dec.get(), nullptr);
        drain();
    }
    if (output) {
        av_write_trailer(output.get());
        output.reset();
    }
    done = true;
}

void RelayDecoder::record(const AVPacket *pkt, const AVStream *in)
{
    if (options.record_path.empty() || output_failed)
        return;
    if (!output) {
        // A recording starts at a key frame so that it plays from its start.
        if (!(pkt->flags & AV_PKT_FLAG_KEY))
            return;
        AVFormatContext *oc = nullptr;
        if (avformat_alloc_output_context2(&oc, nullptr, nullptr, options.record_path.c_str()) < 0 || !oc)
            avformat_alloc_output_context2(&oc, nullptr, "matroska", options.record_path.c_str());
        if (!oc) {
            output_failed = true;
            result.error = "cannot create a recording muxer for " + options.record_path;
            return;
        }
        OutputPtr guard(oc);
        AVStream *st = avformat_new_stream(oc, nullptr);
        int ret = st ? avcodec_parameters_copy(st->codecpar, in->codecpar) : AVERROR(ENOMEM);
        if (ret >= 0) {
            st->codecpar->codec_tag = 0;
            st->time_base = in->time_base;
            ret = avio_open(&oc->pb, options.record_path.c_str(), AVIO_FLAG_WRITE);
        }
        if (ret >= 0)
            ret = avformat_write_header(oc, nullptr);
        if (ret < 0) {
            output_failed = true;
            result.error = "cannot record to " + options.record_path + ": " + av_error_text(ret);
            return;
        }
        output = std::move(guard);
    }
    if (pkt->dts == AV_NOPTS_VALUE)
        return;  // a packet of unknown time cannot be placed in the file
    AVPacket *copy = av_packet_clone(pkt);
    if (!copy)
        return;
    PacketPtr owned(copy);
    if (last_dts != AV_NOPTS_VALUE && copy->dts != AV_NOPTS_VALUE && copy->dts <= last_dts)
        copy->dts = last_dts + 1;
    if (copy->pts != AV_NOPTS_VALUE && copy->pts < copy->dts)
        copy->pts = copy->dts;
    last_dts = copy->dts;
    AVStream *st = output->streams[0];
    av_packet_rescale_ts(copy, in->time_base, st->time_base);
    copy->stream_index = 0;
    copy->pos = -1;
    if (av_interleaved_write_frame(output.get(), copy) == 0)
        result.recorded_packets++;
}

void RelayDecoder::handle_frame(const AVFrame *frame, const AVStream *in)
{
    int64_t index = result.decoded_frames++;
    result.width = frame->width;
    result.height = frame->height;
    if (!options.snapshot_path.empty() && !result.snapshot_written && index >= options.snapshot_frame)
        save_snapshot(frame);
    if (!options.latency && !options.source_stamp)
        return;

    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    bool eight_bit = desc && !(desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) && desc->comp[0].depth == 8 &&
                     desc->comp[0].step == 1;
    timestamp_of_frame = 0;
    const int64_t arrival_ns = arrival_of(frame, in, &timestamp_of_frame);
    if (options.source_stamp)
        measure_source(frame, index, eight_bit, arrival_ns);
    if (!options.latency)
        return;
    uint64_t watermark = 0;
    bool read = false;
    if (eight_bit && options.bitmap_digits)
        read = watermark_read_digits(frame->data[0], frame->width, frame->height, frame->linesize[0],
                                     RELAY_WATERMARK_DIGITS, &watermark) == 0;
    else if (eight_bit)
        read = relay_watermark_read(frame->data[0], frame->width, frame->height, frame->linesize[0], &watermark) ==
               RELAY_WATERMARK_OK;
    if (!read || arrival_ns == 0) {
        result.watermark_unreadable++;
        return;
    }
    const uint32_t timestamp = timestamp_of_frame;
    double latency = double(arrival_ns) / 1e6 - double(watermark);
    result.latency_ms.push_back(latency);
    if (options.per_frame)
        std::printf("frame_latency frame=%lld rtp_timestamp=%u watermark_ms=%llu latency_ms=%.3f\n",
                    static_cast<long long>(index), timestamp, static_cast<unsigned long long>(watermark), latency);
}

int64_t RelayDecoder::arrival_of(const AVFrame *frame, const AVStream *in, uint32_t *timestamp)
{
    int64_t pts = frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
    if (pts == AV_NOPTS_VALUE)
        return 0;
    int64_t ticks = av_rescale_q(pts, in->time_base, AVRational{1, 90000});
    std::lock_guard<std::mutex> guard(lock);
    *timestamp = uint32_t(base_timestamp + uint64_t(ticks));
    auto it = arrivals.find(*timestamp);
    return it != arrivals.end() ? it->second : 0;
}

void RelayDecoder::measure_source(const AVFrame *frame, int64_t index, bool eight_bit, int64_t arrival_ns)
{
    RelaySourceStamp stamp{};
    if (!eight_bit || arrival_ns == 0 ||
        relay_source_stamp_read(frame->data[0], frame->width, frame->height, frame->linesize[0], &stamp) !=
            RELAY_WATERMARK_OK) {
        result.source_unreadable++;
        return;
    }
    double latency = double(arrival_ns) / 1e6 - double(stamp.wall_ms);
    result.source_latency_ms.push_back(latency);
    if (options.per_frame)
        std::printf("frame_source_latency frame=%lld rtp_timestamp=%u blank=%llu source_ms=%llu latency_ms=%.3f\n",
                    static_cast<long long>(index), timestamp_of_frame, static_cast<unsigned long long>(stamp.blank),
                    static_cast<unsigned long long>(stamp.wall_ms), latency);
}

void RelayDecoder::save_snapshot(const AVFrame *frame)
{
    const AVCodec *png = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!png)
        return;
    CodecPtr enc(avcodec_alloc_context3(png));
    FramePtr rgb(av_frame_alloc());
    PacketPtr out(av_packet_alloc());
    if (!enc || !rgb || !out)
        return;
    enc->width = frame->width;
    enc->height = frame->height;
    enc->pix_fmt = AV_PIX_FMT_RGB24;
    enc->time_base = AVRational{1, 25};
    if (avcodec_open2(enc.get(), png, nullptr) < 0)
        return;
    rgb->format = AV_PIX_FMT_RGB24;
    rgb->width = frame->width;
    rgb->height = frame->height;
    if (av_frame_get_buffer(rgb.get(), 0) < 0)
        return;
    SwsContextPtr sws(sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format), frame->width,
                                     frame->height, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!sws)
        return;
    sws_scale(sws.get(), frame->data, frame->linesize, 0, frame->height, rgb->data, rgb->linesize);
    if (avcodec_send_frame(enc.get(), rgb.get()) < 0 || avcodec_send_frame(enc.get(), nullptr) < 0 ||
        avcodec_receive_packet(enc.get(), out.get()) < 0)
        return;
    std::string bytes(reinterpret_cast<const char *>(out->data), size_t(out->size));
    if (relay_write_file(options.snapshot_path, bytes) == 0)
        result.snapshot_written = true;
    else
        result.error = "cannot write " + options.snapshot_path + ": " + strerror(errno);
}

double relay_percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    double rank = std::ceil(p / 100.0 * double(values.size()));
    size_t index = rank < 1 ? 0 : size_t(rank) - 1;
    return values[std::min(index, values.size() - 1)];
}
