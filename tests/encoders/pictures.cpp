#include "tests/encoders/pictures.h"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

std::vector<uint8_t> make_picture(int w, int h, int n)
{
    std::vector<uint8_t> p(size_t(w) * h * 3 / 2);
    uint8_t *y = p.data(), *u = y + size_t(w) * h, *v = u + size_t(w / 2) * (h / 2);
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) {
            int val = 40 + (c * 120) / w + (r * 60) / h;
            if (((c + 3 * n) / 24) % 2)
                val += 30;
            const int sx = (n * 5) % w, sy = (n * 3) % h;
            if (c >= sx && c < sx + w / 6 && r >= sy && r < sy + h / 6)
                val = 220;
            y[size_t(r) * w + c] = uint8_t(val);
        }
    for (int r = 0; r < h / 2; ++r)
        for (int c = 0; c < w / 2; ++c) {
            u[size_t(r) * (w / 2) + c] = uint8_t(100 + (c * 50) / w + n % 20);
            v[size_t(r) * (w / 2) + c] = uint8_t(150 - (r * 50) / h);
        }
    return p;
}

TestDecoder::TestDecoder(int codec_id, int width, int height) : width_(width), height_(height)
{
    const AVCodec *codec = avcodec_find_decoder(AVCodecID(codec_id));
    if (!codec)
        return;
    context_ = avcodec_alloc_context3(codec);
    frame_ = av_frame_alloc();
    if (context_ && avcodec_open2(context_, codec, nullptr) < 0)
        avcodec_free_context(&context_);
}

TestDecoder::~TestDecoder()
{
    avcodec_free_context(&context_);
    av_frame_free(&frame_);
}

void TestDecoder::decode(const AVPacket *packet)
{
    if (!context_)
        return;
    if (avcodec_send_packet(context_, packet) < 0)
        return;
    drain();
}

void TestDecoder::drain()
{
    while (avcodec_receive_frame(context_, frame_) == 0) {
        if (frame_->width == width_ && frame_->height == height_) {
            std::vector<uint8_t> pic(size_t(width_) * height_ * 3 / 2);
            uint8_t *dst = pic.data();
            for (int plane = 0; plane < 3; ++plane) {
                const int pw = plane ? width_ / 2 : width_, ph = plane ? height_ / 2 : height_;
                for (int r = 0; r < ph; ++r, dst += pw)
                    std::memcpy(dst, frame_->data[plane] + size_t(r) * frame_->linesize[plane], pw);
            }
            pictures[frame_->pts] = std::move(pic);
            intra[frame_->pts] = frame_->pict_type == AV_PICTURE_TYPE_I || frame_->key_frame;
        }
        av_frame_unref(frame_);
    }
}

namespace {

double plane_psnr(const uint8_t *a, const uint8_t *b, size_t size)
{
    double se = 0;
    for (size_t i = 0; i < size; ++i) {
        const double d = double(a[i]) - double(b[i]);
        se += d * d;
    }
    if (se == 0)
        return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 / (se / double(size)));
}

}  // namespace

double picture_psnr(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b, int w, int h)
{
    const size_t luma = size_t(w) * h, chroma = size_t(w / 2) * (h / 2);
    if (a.size() < luma + 2 * chroma || b.size() < luma + 2 * chroma)
        return 0.0;
    double worst = plane_psnr(a.data(), b.data(), luma);
    for (size_t off : {luma, luma + chroma})
        worst = std::min(worst, plane_psnr(a.data() + off, b.data() + off, chroma));
    return worst;
}
