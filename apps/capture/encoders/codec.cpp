#include "apps/capture/encoders/codec.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "apps/capture/encoders/hdr_encoding.h"
#include "libs/common/ffmpeg_ptr.h"

namespace {

AVCodecID codec_id_for(int32_t type)
{
    switch (type) {
    case CODEC_TYPE_H265: return AV_CODEC_ID_HEVC;
    case CODEC_TYPE_VP8: return AV_CODEC_ID_VP8;
    case CODEC_TYPE_VP9: return AV_CODEC_ID_VP9;
    case CODEC_TYPE_AV1: return AV_CODEC_ID_AV1;
    default: return AV_CODEC_ID_H264;
    }
}

// Opens the codec's default encoder; with a signal, for the 10-bit stream it
// describes.
int init_encoder(CodecContext **out, const CodecEncoderConfig *config, const HdrSignal *signal)
{
    if (!out || !config)
        return -1;
    *out = nullptr;
    std::printf("[CODEC] Initializing %s encoder\n", codec_type_to_string(config->codec_type));

    std::unique_ptr<CodecContext> codec(new (std::nothrow) CodecContext{});
    if (!codec)
        return -1;
    codec->config = *config;
    codec->is_encoder = true;
    codec->ready = true;

    const AVCodecID id = codec_id_for(config->codec_type);
    const AVCodec *encoder = avcodec_find_encoder(id);
    if (!encoder) {
        std::printf("[CODEC] Cannot find encoder for type %d\n", config->codec_type);
        return -1;
    }
    if (config->width <= 0 || config->height <= 0 || config->fps <= 0 || (config->width | config->height) & 1) {
        std::printf("[CODEC] Failed to open codec\n");
        return -1;
    }

    AvCodecContextPtr context(avcodec_alloc_context3(encoder));
    if (!context)
        return -1;
    context->width = config->width;
    context->height = config->height;
    context->time_base = AVRational{1, config->fps};
    context->framerate = AVRational{config->fps, 1};
    context->gop_size = config->gop_size;
    context->max_b_frames = 0;
    context->refs = 2;
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    const int64_t b = static_cast<int64_t>(config->bitrate_kbps) * 1000;
    context->bit_rate = b;
    context->rc_max_rate = b;
    context->rc_buffer_size = static_cast<int>(2 * b);
    context->rc_initial_buffer_occupancy = static_cast<int>(0.9 * 2 * static_cast<double>(b));
    context->qmin = 20;
    context->qmax = 36;
    if (signal && hdr_encoding_configure(context.get(), encoder->name, *signal) < 0) {
        std::printf("[CODEC] Failed to open codec\n");
        return -1;
    }
    if (signal) {
        codec->ten_bit = true;
        codec->signal = *signal;
    }

    AVDictionary *raw = nullptr;
    if (id == AV_CODEC_ID_H264) {
        av_dict_set(&raw, "preset", "ultrafast", 0);
        av_dict_set(&raw, "tune", "zerolatency", 0);
        av_dict_set(&raw, "profile", "high", 0);
        av_dict_set(&raw, "level", "5.1", 0);
        av_dict_set(&raw, "ipratio", "1.2", 0);
        av_dict_set(&raw, "pbratio", "1.2", 0);
        av_dict_set(&raw, "aq-mode", "2", 0);
    } else if (id == AV_CODEC_ID_HEVC && std::strcmp(encoder->name, "libx265") == 0) {
        // A live stream: no look-ahead holding pictures back, and a speed
        // that keeps up on the processor.
        av_dict_set(&raw, "preset", "ultrafast", 0);
        av_dict_set(&raw, "tune", "zerolatency", 0);
    }
    const int opened = avcodec_open2(context.get(), encoder, &raw);
    AvDictionaryPtr leftover(raw);
    if (opened < 0) {
        std::printf("[CODEC] Failed to open codec\n");
        return -1;
    }

    AvFramePtr frame(av_frame_alloc());
    AvPacketPtr packet(av_packet_alloc());
    if (frame) {
        frame->format = context->pix_fmt;
        frame->width = context->width;
        frame->height = context->height;
    }
    if (!frame || !packet || av_frame_get_buffer(frame.get(), 32) < 0)
        return -1;
    codec->context = context.release();
    codec->frame = frame.release();
    codec->packet = packet.release();
    codec->frame_counter = 0;
    std::printf("[CODEC] Encoder initialized: %dx%d @ %dfps, %dkbps\n", config->width, config->height, config->fps,
                config->bitrate_kbps);
    *out = codec.release();
    return 0;
}

}  // namespace

int codec_encoder_init(CodecContext **out, const CodecEncoderConfig *config)
{
    return init_encoder(out, config, nullptr);
}

int codec_encoder_init_hdr(CodecContext **out, const CodecEncoderConfig *config, const HdrSignal &signal)
{
    if (out)
        *out = nullptr;
    if (!config || !hdr_encoding_codec_supported(config->codec_type)) {
        std::printf("[CODEC] %s has no 10-bit encoder here\n", codec_type_to_string(config ? config->codec_type : -1));
        return -1;
    }
    return init_encoder(out, config, &signal);
}

int codec_encode_frame(CodecContext *codec, const uint8_t *i420, AVPacket **out_packet)
{
    if (out_packet)
        *out_packet = nullptr;
    if (!codec || !codec->is_encoder || !codec->context || !codec->frame || !codec->packet || !i420)
        return -1;
    AVCodecContext *c = codec->context;
    AVFrame *frame = codec->frame;

    int ret = av_frame_make_writable(frame);
    if (ret < 0)
        return ret;

    const int w = codec->config.width;
    const int h = codec->config.height;
    const uint8_t *src = i420;
    const int sample = codec->ten_bit ? 2 : 1;  // bytes
    for (int plane = 0; plane < 3; ++plane) {
        const int pw = (plane ? w / 2 : w) * sample;
        const int ph = plane ? h / 2 : h;
        for (int row = 0; row < ph; ++row)
            std::memcpy(frame->data[plane] + static_cast<ptrdiff_t>(row) * frame->linesize[plane],
                        src + static_cast<ptrdiff_t>(row) * pw, pw);
        src += static_cast<ptrdiff_t>(pw) * ph;
    }

    frame->pts = codec->frame_counter++;
    if (encoder_take_requests(&codec->requests, c, frame))
        std::printf("[CODEC] Forcing IDR frame at pts %ld\n", static_cast<long>(frame->pts));

    ret = avcodec_send_frame(c, frame);
    if (ret < 0) {
        std::printf("[CODEC] Error sending frame to encoder: %d\n", ret);
        return ret;
    }
    ret = avcodec_receive_packet(c, codec->packet);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
        return 0;
    if (ret < 0)
        return ret;
    // Short of memory the key frame still goes out, without its metadata.
    if (codec->ten_bit)
        hdr_encoding_amend_packet(codec->packet, c->codec->name, codec->signal);
    AVPacket *fresh = av_packet_alloc();
    if (!fresh) {
        // Keep the context whole: the packet is dropped, not leaked.
        av_packet_unref(codec->packet);
        return AVERROR(ENOMEM);
    }
    if (out_packet)
        *out_packet = codec->packet;
    else
        av_packet_free(&codec->packet);
    codec->packet = fresh;
    return 0;
}

int codec_set_bitrate(CodecContext *codec, int bitrate)
{
    if (!codec || !codec->context || !codec->is_encoder)
        return -1;
    codec->requests.pending_bitrate.store(bitrate);
    std::printf("[CODEC] Dynamic bitrate set to %d bps\n", bitrate);
    return 0;
}

int codec_force_keyframe(CodecContext *codec)
{
    return encoder_request_keyframe(codec);
}

void codec_cleanup(CodecContext *codec)
{
    std::printf("[CODEC] Cleaning up codec context\n");
    if (!codec)
        return;
    avcodec_free_context(&codec->context);
    av_frame_free(&codec->frame);
    av_packet_free(&codec->packet);
    delete codec;
}
