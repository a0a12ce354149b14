// Moving synthetic pictures and a decoder to measure what came out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

struct AVPacket;

// Packed I420 picture number n of a moving pattern (gradient, moving bars
// and a moving square).
std::vector<uint8_t> make_picture(int width, int height, int n);

// Decodes packets with FFmpeg's own decoder and keeps each picture, packed
// I420 like make_picture's, by pts, plus whether it was an intra picture.
class TestDecoder {
public:
    TestDecoder(int codec_id, int width, int height);
    ~TestDecoder();
    bool ok() const { return context_ != nullptr; }
    void decode(const AVPacket *packet);  // null flushes
    std::map<int64_t, std::vector<uint8_t>> pictures;
    std::map<int64_t, bool> intra;

private:
    void drain();
    struct AVCodecContext *context_ = nullptr;
    struct AVFrame *frame_ = nullptr;
    int width_, height_;
};

// PSNR in dB of the worst of the three planes of two packed I420 pictures,
// so that a damaged or swapped chroma plane counts as much as the luma.
double picture_psnr(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b, int width, int height);
