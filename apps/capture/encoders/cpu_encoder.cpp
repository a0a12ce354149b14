#include "apps/capture/encoders/cpu_encoder.h"

#include <cstdio>
#include <memory>
#include <new>
#include <string>

extern "C" {
#include <libavutil/opt.h>
}

#include "apps/capture/encoders/hdr_encoding.h"
#include "libs/common/ffmpeg_ptr.h"

namespace {

// Sets the encoder's private options, given as "key=value" pairs joined by
// ':', in that order. An option the encoder does not know is skipped.
void set_options(AVCodecContext *c, const std::string &options)
{
    size_t at = 0;
    while (at < options.size()) {
        size_t end = options.find(':', at);
        if (end == std::string::npos)
            end = options.size();
        const std::string pair = options.substr(at, end - at);
        const size_t equals = pair.find('=');
        av_opt_set(c->priv_data, pair.substr(0, equals).c_str(), pair.substr(equals + 1).c_str(), 0);
        at = end + 1;
    }
}

// The line a configured row logs: its settings, then its group of pictures
// and bit rate.
void log_settings(const AVCodecContext *c, const char *settings)
{
    std::fprintf(stderr, "%s, GOP=%d, %ld bps\n", settings, c->gop_size, static_cast<long>(c->bit_rate));
}

}  // namespace

const CpuEncoderInfo cpu_encoders[5] = {
    {CODEC_TYPE_H264, "libx264", configure_h264_libx264}, {CODEC_TYPE_VP8, "libvpx", configure_vp8_libvpx},
    {CODEC_TYPE_VP9, "libvpx-vp9", configure_vp9_libvpx}, {CODEC_TYPE_AV1, "libaom-av1", configure_av1_libaom},
    {CODEC_TYPE_H265, "libx265", configure_h265_libx265},
};

int configure_h264_libx264(AVCodecContext *c, int, int, int)
{
    encoder_set_rates(c, 0, 25000000, 60);
    c->rc_buffer_size = 25000000;
    c->refs = 1;
    set_options(c, "qp=28:preset=ultrafast:tune=zerolatency:threads=4:sliced_threads=1");
    return 0;
}

int configure_vp8_libvpx(AVCodecContext *c, int, int, int)
{
    encoder_set_rates(c, 15000000, 30000000, 60);
    set_options(c, "cpu-used=8:deadline=1:lag-in-frames=0:token-partitions=3:static-thresh=1000");
    log_settings(c, "[CPU VP8] realtime, cpu-used=8");
    return 0;
}

int configure_vp9_libvpx(AVCodecContext *c, int, int, int)
{
    encoder_set_rates(c, 10000000, 20000000, 60);
    set_options(c, "cpu-used=8:deadline=1:lag-in-frames=0:row-mt=1:tile-columns=2:tile-rows=1:frame-parallel=1");
    log_settings(c, "[CPU VP9] realtime, cpu-used=8, row-mt");
    return 0;
}

int configure_av1_libaom(AVCodecContext *c, int, int, int fps)
{
    encoder_set_rates(c, 8000000, 16000000, fps);
    set_options(c, "cpu-used=8:usage=realtime:lag-in-frames=0:row-mt=1:tile-columns=2:tile-rows=1");
    log_settings(c, "[CPU AV1] realtime, cpu-used=8");
    return 0;
}

int configure_h265_libx265(AVCodecContext *c, int, int, int fps)
{
    encoder_set_rates(c, 10000000, 20000000, fps);
    set_options(c, "preset=ultrafast:tune=zerolatency:bframes=0");
    log_settings(c, "[CPU H265] ultrafast+zerolatency");
    return 0;
}

const CpuEncoderInfo *cpu_find_encoder(int32_t type)
{
    for (const CpuEncoderInfo &row : cpu_encoders)
        if (row.type == type)
            return &row;
    std::fprintf(stderr, "[CPU Encoder] Not found for type: %s\n", codec_type_to_string(type));
    return nullptr;
}

void cpu_encoder_list_available()
{
    std::fprintf(stderr, "[CPU Encoder] Available encoders:\n");
    for (const CpuEncoderInfo &row : cpu_encoders) {
        const bool present = avcodec_find_encoder_by_name(row.name) != nullptr;
        std::fprintf(stderr, "  - %-6s (%s) [%s]\n", codec_type_to_string(row.type), row.name,
                     present ? "available" : "not installed");
    }
}

namespace {

// Opens the row's encoder; with a signal, for the 10-bit stream it describes.
int create_encoder(CpuEncoder **out, int32_t type, int width, int height, int fps, const HdrSignal *signal)
{
    if (!out)
        return -1;
    *out = nullptr;
    const CpuEncoderInfo *row = nullptr;
    for (const CpuEncoderInfo &r : cpu_encoders)
        if (r.type == type)
            row = &r;
    if (!row) {
        std::fprintf(stderr, "[CPU Encoder] Not found for type: %s\n", codec_type_to_string(type));
        cpu_encoder_list_available();
        return -1;
    }
    const AVCodec *codec = avcodec_find_encoder_by_name(row->name);
    if (!codec) {
        std::fprintf(stderr, "[CPU Encoder] %s not found in FFmpeg\n", row->name);
        return -1;
    }
    if (width <= 0 || height <= 0 || fps <= 0) {
        std::fprintf(stderr, "[CPU Encoder] Failed to open %s\n", row->name);
        return -1;
    }

    std::unique_ptr<CpuEncoder> encoder(new (std::nothrow) CpuEncoder{});
    if (!encoder)
        return -1;
    encoder->type = static_cast<CodecType>(type);
    encoder->row = row;
    encoder->next_pts = 0;

    AvCodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context)
        return -1;
    context->width = width;
    context->height = height;
    context->time_base = AVRational{1, fps};
    context->framerate = AVRational{fps, 1};
    context->pix_fmt = AV_PIX_FMT_YUV420P;

    if (row->configure(context.get(), width, height, fps) < 0 ||
        (signal && hdr_encoding_configure(context.get(), row->name, *signal) < 0)) {
        std::fprintf(stderr, "[CPU Encoder] Configure failed for %s\n", row->name);
        return -1;
    }
    if (signal) {
        encoder->ten_bit = true;
        encoder->signal = *signal;
    }
    if (avcodec_open2(context.get(), codec, nullptr) < 0) {
        std::fprintf(stderr, "[CPU Encoder] Failed to open %s\n", row->name);
        return -1;
    }

    AvFramePtr frame(av_frame_alloc());
    AvPacketPtr packet(av_packet_alloc());
    if (!frame || !packet)
        return -1;
    frame->format = context->pix_fmt;
    frame->width = context->width;
    frame->height = context->height;

    encoder->context = context.release();
    encoder->frame = frame.release();
    encoder->packet = packet.release();
    std::fprintf(stderr, "[CPU Encoder] Created %s: %dx%d @ %dfps\n", row->name, width, height, fps);
    *out = encoder.release();
    return 0;
}

}  // namespace

int cpu_encoder_create(CpuEncoder **out, int32_t type, int width, int height, int fps)
{
    return create_encoder(out, type, width, height, fps, nullptr);
}

int cpu_encoder_create_hdr(CpuEncoder **out, int32_t type, int width, int height, int fps, const HdrSignal &signal)
{
    if (out)
        *out = nullptr;
    if (!hdr_encoding_codec_supported(type)) {
        std::fprintf(stderr, "[CPU Encoder] %s has no 10-bit encoder here\n", codec_type_to_string(type));
        return -1;
    }
    return create_encoder(out, type, width, height, fps, &signal);
}

int cpu_encoder_encode_planes(CpuEncoder *encoder, const uint8_t *y, int y_stride, const uint8_t *u, int u_stride,
                              const uint8_t *v, int v_stride, AVPacket **out_packet)
{
    if (out_packet)
        *out_packet = nullptr;
    if (!encoder || !encoder->context || !encoder->frame || !encoder->packet)
        return -1;
    // FFmpeg would read the missing plane while taking its copy of the frame.
    if (!y || !u || !v)
        return AVERROR(EINVAL);
    AVCodecContext *c = encoder->context;

    AVFrame *frame = encoder->frame;
    frame->data[0] = const_cast<uint8_t *>(y);
    frame->data[1] = const_cast<uint8_t *>(u);
    frame->data[2] = const_cast<uint8_t *>(v);
    frame->linesize[0] = y_stride;
    frame->linesize[1] = u_stride;
    frame->linesize[2] = v_stride;
    frame->pts = encoder->next_pts++;
    // What the control thread asked for takes effect with this frame.
    encoder_take_requests(&encoder->requests, c, frame);

    int ret = avcodec_send_frame(c, frame);
    // The encoder copied or referenced what it keeps; drop the borrowed planes.
    frame->data[0] = frame->data[1] = frame->data[2] = nullptr;
    if (ret < 0)
        return ret;

    av_packet_unref(encoder->packet);
    ret = avcodec_receive_packet(c, encoder->packet);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
        return 0;
    if (ret < 0)
        return ret;
    // Short of memory the key frame still goes out, without its metadata.
    if (encoder->ten_bit)
        hdr_encoding_amend_packet(encoder->packet, encoder->row->name, encoder->signal);
    if (out_packet)
        *out_packet = encoder->packet;
    return 0;
}

int cpu_encoder_force_keyframe(CpuEncoder *encoder)
{
    return encoder_request_keyframe(encoder);
}

int cpu_encoder_set_bitrate(CpuEncoder *encoder, int bitrate)
{
    if (!encoder || !encoder->context)
        return -1;
    encoder->requests.pending_bitrate.store(bitrate);
    std::fprintf(stderr, "[CPU Encoder] Bitrate set to %d bps\n", bitrate);
    return 0;
}

void cpu_encoder_destroy(CpuEncoder *encoder)
{
    if (!encoder)
        return;
    std::fprintf(stderr, "[CPU Encoder] Destroying %s\n", encoder->row ? encoder->row->name : "unknown");
    avcodec_free_context(&encoder->context);
    av_frame_free(&encoder->frame);
    av_packet_free(&encoder->packet);
    delete encoder;
}
