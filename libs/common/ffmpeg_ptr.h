// unique_ptr owners of FFmpeg objects, one deleter per kind of release.
// Only the deleters a file uses pull in their library at link time.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

struct AvCodecContextFree {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct AvFrameFree {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
struct AvPacketFree {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};
struct SwsContextFree {
    void operator()(SwsContext *s) const { sws_freeContext(s); }
};
struct AvDictionaryFree {
    void operator()(AVDictionary *d) const { av_dict_free(&d); }
};
// Memory from av_malloc.
struct AvMemoryFree {
    void operator()(void *p) const { av_free(p); }
};
// A demuxer opened with avformat_open_input.
struct AvInputClose {
    void operator()(AVFormatContext *c) const { avformat_close_input(&c); }
};
// A muxer context alone; its I/O context, if any, has another owner.
struct AvFormatContextFree {
    void operator()(AVFormatContext *c) const { avformat_free_context(c); }
};
// A muxer whose I/O context was opened with avio_open: both go.
struct AvOutputClose {
    void operator()(AVFormatContext *c) const
    {
        if (c->pb)
            avio_closep(&c->pb);
        avformat_free_context(c);
    }
};
// A custom I/O context made with avio_alloc_context over an av_malloc buffer:
// the buffer (which FFmpeg may have replaced) goes with it.
struct AvIoContextFree {
    void operator()(AVIOContext *io) const
    {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};

using AvCodecContextPtr = std::unique_ptr<AVCodecContext, AvCodecContextFree>;
using AvFramePtr = std::unique_ptr<AVFrame, AvFrameFree>;
using AvPacketPtr = std::unique_ptr<AVPacket, AvPacketFree>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextFree>;
using AvDictionaryPtr = std::unique_ptr<AVDictionary, AvDictionaryFree>;
using AvInputPtr = std::unique_ptr<AVFormatContext, AvInputClose>;
using AvFormatContextPtr = std::unique_ptr<AVFormatContext, AvFormatContextFree>;
using AvOutputPtr = std::unique_ptr<AVFormatContext, AvOutputClose>;
using AvIoContextPtr = std::unique_ptr<AVIOContext, AvIoContextFree>;
