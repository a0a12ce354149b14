// Whether a VA-API encoder of a codec opens on a render node: the same steps
// as a fast run's encoder set-up, at a small size.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
}

#include <memory>

#include "apps/capture/encoders/vaapi_encoders.h"

namespace {

struct BufferUnref {
    void operator()(AVBufferRef *b) const { av_buffer_unref(&b); }
};
struct ContextFree {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
using Buffer = std::unique_ptr<AVBufferRef, BufferUnref>;

constexpr int kProbeWidth = 256, kProbeHeight = 144;

}  // namespace

VaapiProbeResult vaapi_probe_encoder(int32_t type, const char *render_node)
{
    AVBufferRef *opened = nullptr;
    if (av_hwdevice_ctx_create(&opened, AV_HWDEVICE_TYPE_VAAPI, render_node, nullptr, 0) < 0)
        return VAAPI_PROBE_NO_DEVICE;
    const Buffer device(opened);

    const VaapiEncoderInfo *row = nullptr;
    for (const VaapiEncoderInfo &r : vaapi_encoders)
        if (r.type == type)
            row = &r;
    const AVCodec *codec = row && row->configure ? avcodec_find_encoder_by_name(row->name) : nullptr;
    if (!codec)
        return VAAPI_PROBE_NO_ENCODER;
    std::unique_ptr<AVCodecContext, ContextFree> context(avcodec_alloc_context3(codec));
    const Buffer frames(av_hwframe_ctx_alloc(device.get()));
    if (!context || !frames)
        return VAAPI_PROBE_NO_ENCODER;
    auto *pool = reinterpret_cast<AVHWFramesContext *>(frames->data);
    pool->format = AV_PIX_FMT_VAAPI;
    pool->sw_format = AV_PIX_FMT_NV12;
    pool->width = kProbeWidth;
    pool->height = kProbeHeight;
    pool->initial_pool_size = 2;
    if (av_hwframe_ctx_init(frames.get()) < 0)
        return VAAPI_PROBE_NO_ENCODER;
    context->pix_fmt = AV_PIX_FMT_VAAPI;
    context->width = kProbeWidth;
    context->height = kProbeHeight;
    context->time_base = AVRational{1, 60};
    context->framerate = AVRational{60, 1};
    context->hw_device_ctx = av_buffer_ref(device.get());
    context->hw_frames_ctx = av_buffer_ref(frames.get());
    if (!context->hw_device_ctx || !context->hw_frames_ctx)
        return VAAPI_PROBE_NO_ENCODER;
    row->configure(context.get(), kProbeWidth, kProbeHeight);
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return VAAPI_PROBE_NO_ENCODER;
    return VAAPI_PROBE_ENCODES;
}
