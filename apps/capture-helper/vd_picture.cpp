#include "apps/capture-helper/vd_picture.h"

#include <drm_fourcc.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "libs/watermark/watermark_digits.h"

namespace {

const uint8_t kBars[8][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                             {235, 16, 235},  {235, 16, 16},  {16, 16, 235},  {128, 128, 128}};
// Seven-segment digits, white on a black backdrop, in the bottom-left
// corner where no watermark of the capture side lands: the blank number
// (kCounterDigits) with its first cell's top-left at (16, H-96), and above
// it the blank's wall-clock milliseconds (kStampDigits) at (16, H-192).
constexpr int kDigitW = 48, kDigitH = 80, kDigitT = 10, kDigitGap = 14, kDigitX = 16, kCounterDigits = 6,
              kCounterRise = 96, kStampDigits = 13, kStampRise = 192, kBackdropMargin = 8;
// The square keeps above this many rows from the bottom (the digits' band).
constexpr int kDigitBand = 200;
// The cursor image's square and the band around it.
constexpr int kCursorSquare = 16, kCursorBorder = 4;
// The ramp band of the deep formats: the picture's bottom rows, below the
// digits' backdrop (which ends kBackdropMargin rows above the bottom).
constexpr int kRampRows = 8;

// The picture's size: the buffer's, its sides swapped for odd turns.
int picture_w(const VdBuffer &fb)
{
    return int(fb.turn % 2 ? fb.desc.height : fb.desc.width);
}
int picture_h(const VdBuffer &fb)
{
    return int(fb.turn % 2 ? fb.desc.width : fb.desc.height);
}

// A rectangle of the picture in the buffer's coordinates (the picture
// turned counter-clockwise by fb.turn quarter turns).
VdRect to_buffer(const VdBuffer &fb, VdRect r)
{
    const int pw = picture_w(fb), ph = picture_h(fb);
    switch (fb.turn) {
    case 1:
        return VdRect{r.y, pw - r.x - r.w, r.h, r.w};
    case 2:
        return VdRect{pw - r.x - r.w, ph - r.y - r.h, r.w, r.h};
    case 3:
        return VdRect{ph - r.y - r.h, r.x, r.h, r.w};
    default:
        return r;
    }
}

// The picture's pixel that the buffer's pixel (x, y) shows.
void to_picture(const VdBuffer &fb, int x, int y, int *px, int *py)
{
    const int pw = picture_w(fb), ph = picture_h(fb);
    switch (fb.turn) {
    case 1:
        *px = pw - 1 - y, *py = x;
        return;
    case 2:
        *px = pw - 1 - x, *py = ph - 1 - y;
        return;
    case 3:
        *px = y, *py = ph - 1 - x;
        return;
    default:
        *px = x, *py = y;
    }
}

// Clips a rectangle of the picture to the picture.
bool clip(const VdBuffer &fb, VdRect *r)
{
    int x1 = std::min<int>(r->x + r->w, picture_w(fb)), y1 = std::min<int>(r->y + r->h, picture_h(fb));
    r->x = std::max(r->x, 0);
    r->y = std::max(r->y, 0);
    r->w = x1 - r->x;
    r->h = y1 - r->y;
    return r->w > 0 && r->h > 0;
}

bool has_alpha(const VdBuffer &fb)
{
    switch (fb.desc.format) {
    case DRM_FORMAT_ARGB8888:
    case DRM_FORMAT_ABGR8888:
    case DRM_FORMAT_ARGB2101010:
    case DRM_FORMAT_ABGR2101010:
    case DRM_FORMAT_ARGB16161616:
    case DRM_FORMAT_ABGR16161616:
    case DRM_FORMAT_ARGB16161616F:
    case DRM_FORMAT_ABGR16161616F:
        return true;
    default:
        return false;
    }
}

bool is_yuv(const VdBuffer &fb)
{
    return fb.desc.format == DRM_FORMAT_NV12 || fb.desc.format == DRM_FORMAT_P010;
}

// The formats deeper than 8 bits (and RGB565) carry the ramp band.
bool has_ramp(const VdBuffer &fb)
{
    switch (fb.desc.format) {
    case DRM_FORMAT_XRGB8888:
    case DRM_FORMAT_ARGB8888:
    case DRM_FORMAT_XBGR8888:
    case DRM_FORMAT_ABGR8888:
    case DRM_FORMAT_NV12:
        return false;
    default:
        return true;
    }
}

// A colour of the picture, each channel (alpha too) a fraction in units of
// 1/65535; an 8-bit value c is c * 257.
struct Rgb16 {
    uint32_t r, g, b, a;
};

// v/65535 at `max` steps, rounded to nearest.
uint32_t scale(uint32_t v, uint32_t max)
{
    return uint32_t((uint64_t(v) * max + 32767) / 65535);
}

// The half float nearest to v (v >= 0), ties to even.
uint16_t half_of(double v)
{
    if (!(v > 0))
        return 0;
    if (v >= 65504)
        return 0x7bff;
    int e = 0;
    const double m = std::frexp(v, &e);  // v = m * 2^e, m in [0.5, 1)
    if (e < -13)
        return uint16_t(std::nearbyint(v * 16777216.0));  // subnormal: units of 2^-24
    uint32_t mant = uint32_t(std::nearbyint(m * 2048.0));
    int exp = e - 1 + 15;
    if (mant == 2048)
        mant = 1024, exp++;
    return uint16_t(uint32_t(exp) << 10 | (mant - 1024));
}

// The half float of v/65535; the picture's 8-bit colours (c * 257) from a
// table made once.
uint16_t half_of16(uint32_t v)
{
    static const auto table = [] {
        std::array<uint16_t, 256> t{};
        for (uint32_t c = 0; c < 256; c++)
            t[c] = half_of(c / 255.0);
        return t;
    }();
    return v % 257 == 0 ? table[v / 257] : half_of(v / 65535.0);
}

void put16(uint8_t *p, uint16_t a, uint16_t b, uint16_t c, uint16_t d)
{
    const uint16_t v[4] = {a, b, c, d};
    memcpy(p, v, sizeof(v));
}

// One pixel of an RGB format at p. Formats without alpha keep their
// padding bits 0.
void store(const VdBuffer &fb, uint8_t *p, Rgb16 c)
{
    const uint32_t a = has_alpha(fb) ? c.a : 0;
    switch (fb.desc.format) {
    case DRM_FORMAT_XBGR8888:
    case DRM_FORMAT_ABGR8888:
        std::swap(c.r, c.b);
        [[fallthrough]];
    case DRM_FORMAT_XRGB8888:
    case DRM_FORMAT_ARGB8888:
        p[0] = uint8_t(scale(c.b, 255)), p[1] = uint8_t(scale(c.g, 255)), p[2] = uint8_t(scale(c.r, 255));
        p[3] = uint8_t(scale(a, 255));
        return;
    case DRM_FORMAT_XBGR2101010:
    case DRM_FORMAT_ABGR2101010:
        std::swap(c.r, c.b);
        [[fallthrough]];
    case DRM_FORMAT_XRGB2101010:
    case DRM_FORMAT_ARGB2101010: {
        const uint32_t word =
            scale(a, 3) << 30 | scale(c.r, 1023) << 20 | scale(c.g, 1023) << 10 | scale(c.b, 1023);
        memcpy(p, &word, 4);
        return;
    }
    case DRM_FORMAT_XBGR16161616:
    case DRM_FORMAT_ABGR16161616:
        std::swap(c.r, c.b);
        [[fallthrough]];
    case DRM_FORMAT_XRGB16161616:
    case DRM_FORMAT_ARGB16161616:
        put16(p, uint16_t(c.b), uint16_t(c.g), uint16_t(c.r), uint16_t(a));
        return;
    case DRM_FORMAT_XBGR16161616F:
    case DRM_FORMAT_ABGR16161616F:
        std::swap(c.r, c.b);
        [[fallthrough]];
    case DRM_FORMAT_XRGB16161616F:
    case DRM_FORMAT_ARGB16161616F:
        put16(p, half_of16(c.b), half_of16(c.g), half_of16(c.r), half_of16(a));
        return;
    case DRM_FORMAT_RGB565: {
        const uint16_t v = uint16_t(scale(c.r, 31) << 11 | scale(c.g, 63) << 5 | scale(c.b, 31));
        memcpy(p, &v, 2);
        return;
    }
    default:
        return;
    }
}

// A grey of the ramp band at picture column x of w, written in the format's
// own codes so that it keeps their precision: 10-bit code x*1024/w, 16-bit
// value x*65536/w, half float (x*1024/w)/1024, RGB565 red and blue
// x*32/w and green x*64/w (quotients rounded down); opaque.
void store_ramp(const VdBuffer &fb, uint8_t *p, uint32_t x, uint32_t w)
{
    const uint32_t k10 = uint32_t(uint64_t(x) * 1024 / w);
    switch (fb.desc.format) {
    case DRM_FORMAT_XRGB2101010:
    case DRM_FORMAT_XBGR2101010:
    case DRM_FORMAT_ARGB2101010:
    case DRM_FORMAT_ABGR2101010: {
        const uint32_t word = (has_alpha(fb) ? 3u << 30 : 0) | k10 << 20 | k10 << 10 | k10;
        memcpy(p, &word, 4);
        return;
    }
    case DRM_FORMAT_XRGB16161616:
    case DRM_FORMAT_XBGR16161616:
    case DRM_FORMAT_ARGB16161616:
    case DRM_FORMAT_ABGR16161616: {
        const uint16_t v = uint16_t(uint64_t(x) * 65536 / w);
        put16(p, v, v, v, has_alpha(fb) ? 0xffff : 0);
        return;
    }
    case DRM_FORMAT_XRGB16161616F:
    case DRM_FORMAT_XBGR16161616F:
    case DRM_FORMAT_ARGB16161616F:
    case DRM_FORMAT_ABGR16161616F: {
        const uint16_t v = half_of(k10 / 1024.0);
        put16(p, v, v, v, has_alpha(fb) ? 0x3c00 : 0);
        return;
    }
    case DRM_FORMAT_RGB565: {
        const uint32_t rb = uint32_t(uint64_t(x) * 32 / w), g = uint32_t(uint64_t(x) * 64 / w);
        const uint16_t v = uint16_t(rb << 11 | g << 5 | rb);
        memcpy(p, &v, 2);
        return;
    }
    default:
        return;
    }
}

// The picture's bottom kRampRows rows, below the digits' backdrop, where
// the square never goes on a picture at least kDigitBand + square tall.
bool in_ramp(const VdBuffer &fb, int py)
{
    return has_ramp(fb) && py >= picture_h(fb) - kRampRows;
}

// A luma sample: NV12 holds the 8-bit value, P010 the 10-bit value four
// times it in the top bits of a 16-bit word.
void store_luma(const VdBuffer &fb, uint8_t *row, int x, uint32_t y8)
{
    if (fb.desc.format == DRM_FORMAT_NV12) {
        row[x] = uint8_t(y8);
        return;
    }
    const uint16_t v = uint16_t(y8 << 8);
    memcpy(row + size_t(x) * 2, &v, 2);
}

// n pixels of `bytes` bytes (2, 4 or 8) from row on, each a copy of pixel.
void fill_row(uint8_t *row, const uint8_t *pixel, size_t bytes, size_t n)
{
    auto fill = [&](auto word) {
        memcpy(&word, pixel, sizeof word);
        for (size_t i = 0; i < n; i++)
            memcpy(row + i * sizeof word, &word, sizeof word);
    };
    if (bytes == 2)
        fill(uint16_t());
    else if (bytes == 4)
        fill(uint32_t());
    else
        fill(uint64_t());
}

// Paints a rectangle of the picture with the fixed pattern (solid =
// nullptr) or a solid colour (r, g, b; for NV12 and P010 only the luma of
// solid[0] is written).
void paint(VdBuffer &fb, VdRect picture_rect, const uint8_t *solid)
{
    if (!clip(fb, &picture_rect))
        return;
    const VdRect r = to_buffer(fb, picture_rect);
    const uint32_t w = uint32_t(picture_w(fb)), h = uint32_t(picture_h(fb)), pitch = fb.desc.pitches[0];
    if (is_yuv(fb)) {
        for (int y = r.y; y < r.y + r.h; y++) {
            uint8_t *row = fb.map + size_t(y) * pitch;
            for (int x = r.x; x < r.x + r.w; x++) {
                int px = 0, py = 0;
                to_picture(fb, x, y, &px, &py);
                if (!solid && in_ramp(fb, py)) {
                    const uint16_t v = uint16_t((64 + uint64_t(px) * 877 / w) << 6);
                    memcpy(row + size_t(x) * 2, &v, 2);
                    continue;
                }
                store_luma(fb, row, x,
                           solid ? solid[0] : 16 + ((uint32_t(px) * 219u / w) * 3 + (uint32_t(py) * 219u / h)) / 4);
            }
        }
        return;
    }
    const size_t bytes = size_t(scenario_format(fb.desc.format)->bytes_per_pixel);
    if (solid) {
        // One pixel in the format's codes, copied over the rectangle.
        uint8_t pixel[8];
        store(fb, pixel, Rgb16{solid[0] * 257u, solid[1] * 257u, solid[2] * 257u, 65535});
        for (int y = r.y; y < r.y + r.h; y++)
            fill_row(fb.map + size_t(y) * pitch + size_t(r.x) * bytes, pixel, bytes, size_t(r.w));
        return;
    }
    for (int y = r.y; y < r.y + r.h; y++) {
        uint8_t *row = fb.map + size_t(y) * pitch;
        for (int x = r.x; x < r.x + r.w; x++) {
            uint8_t *p = row + size_t(x) * bytes;
            Rgb16 c{0, 0, 0, 65535};
            {
                int px = 0, py = 0;
                to_picture(fb, x, y, &px, &py);
                if (in_ramp(fb, py)) {
                    store_ramp(fb, p, uint32_t(px), w);
                    continue;
                }
                const uint32_t shade = 255 - (uint32_t(py) * 128 / h);
                const uint8_t *bar = kBars[size_t(px) * 8 / w];
                c.r = bar[0] * shade / 255 * 257u, c.g = bar[1] * shade / 255 * 257u, c.b = bar[2] * shade / 255 * 257u;
            }
            store(fb, p, c);
        }
    }
}

// The chroma plane: each bar's own pair (neutral under the ramp band). A
// P010 sample is the NV12 value four times over, in the top bits.
void paint_chroma(VdBuffer &fb)
{
    uint8_t *plane = fb.map + fb.desc.offsets[1];
    const bool p010 = fb.desc.format == DRM_FORMAT_P010;
    for (uint32_t y = 0; y < fb.desc.height / 2; y++)
        for (uint32_t x = 0; x < fb.desc.width / 2; x++) {
            int px = 0, py = 0;
            to_picture(fb, int(2 * x), int(2 * y), &px, &py);
            uint32_t bar = uint32_t(px) * 8 / uint32_t(picture_w(fb));
            uint32_t u = 64 + bar * 16, v = 192 - bar * 16;
            uint8_t *p = plane + size_t(y) * fb.desc.pitches[1];
            if (!p010) {
                p[2 * x] = uint8_t(u), p[2 * x + 1] = uint8_t(v);
                continue;
            }
            // The band's chroma samples cover picture rows of the band only
            // (its rows are even in number and start on an even row).
            if (in_ramp(fb, py))
                u = v = 128;
            const uint16_t uv[2] = {uint16_t(u << 8), uint16_t(v << 8)};
            memcpy(p + size_t(x) * 4, uv, 4);
        }
}

// `digits` decimal digits of value (the lowest ones), the first cell's
// top-left at (kDigitX, y), on a black box reaching kBackdropMargin around
// the cells.
void paint_digits(VdBuffer &fb, uint64_t value, int digits, int y)
{
    static const uint8_t white[3] = {255, 255, 255}, black[3] = {0, 0, 0};
    const int pitch = kDigitW + kDigitGap;
    paint(fb,
          VdRect{kDigitX - kBackdropMargin, y - kBackdropMargin, digits * pitch - kDigitGap + 2 * kBackdropMargin,
                 kDigitH + 2 * kBackdropMargin},
          black);
    for (int d = digits - 1; d >= 0; d--, value /= 10) {
        int x = kDigitX + d * pitch;
        uint8_t s = WATERMARK_SEGMENT_PATTERNS[value % 10];
        const VdRect seg[7] = {{x, y, kDigitW, kDigitT},
                               {x + kDigitW - kDigitT, y, kDigitT, kDigitH / 2},
                               {x + kDigitW - kDigitT, y + kDigitH / 2, kDigitT, kDigitH / 2},
                               {x, y + kDigitH - kDigitT, kDigitW, kDigitT},
                               {x, y + kDigitH / 2, kDigitT, kDigitH / 2},
                               {x, y, kDigitT, kDigitH / 2},
                               {x, y + kDigitH / 2 - kDigitT / 2, kDigitW, kDigitT}};
        for (int i = 0; i < 7; i++)
            if (s & (1 << i))
                paint(fb, seg[i], white);
    }
}

// Position v on a path bouncing between 0 and range.
int bounce(uint64_t v, int range)
{
    if (range <= 0)
        return 0;
    const uint64_t period = 2 * uint64_t(range), m = v % period;
    return int(m <= uint64_t(range) ? m : period - m);
}

// The square at blank t: it moves 7 pixels right and 5 down a blank and
// bounces off the edges and the digits' band, so every buffer of a CRTC
// shows it where that blank puts it. A buffer too low for the band lets it
// use the whole height.
VdRect square_at(const VdBuffer &fb, uint64_t t)
{
    const int w = picture_w(fb), h = picture_h(fb), size = fb.sq_size;
    const int range_x = std::max(w - size, 0);
    const int range_y = h - kDigitBand - size >= 0 ? h - kDigitBand - size : std::max(h - size, 0);
    return VdRect{bounce(uint64_t(w / 2) + 7 * t, range_x), bounce(uint64_t(std::min(h / 2, range_y)) + 5 * t, range_y),
                  size, size};
}

}  // namespace

VdBuffer::~VdBuffer()
{
    if (map)
        munmap(map, desc.size);
}

void vd_picture_draw_frame(VdBuffer &fb, uint64_t counter, uint64_t wall_ms)
{
    static const uint8_t square[3] = {255, 64, 192};
    if (fb.desc.filled || fb.desc.chart)
        return;
    paint(fb, fb.square, nullptr);
    const int h = picture_h(fb);
    paint_digits(fb, wall_ms, kStampDigits, h - kStampRise);
    paint_digits(fb, counter, kCounterDigits, h - kCounterRise);
    // The square goes last so that it stays visible over the digits on
    // small buffers.
    fb.square = square_at(fb, counter);
    paint(fb, fb.square, square);
}

void vd_picture_paint_cursor(VdBuffer &fb, uint32_t square)
{
    for (uint32_t y = 0; y < fb.desc.height; y++) {
        uint32_t *row = reinterpret_cast<uint32_t *>(fb.map + size_t(y) * fb.desc.pitches[0]);
        for (uint32_t x = 0; x < fb.desc.width; x++) {
            uint32_t pixel = 0;
            if (x < uint32_t(kCursorSquare) && y < uint32_t(kCursorSquare))
                pixel = square;
            else if (x < uint32_t(kCursorSquare + kCursorBorder) && y < uint32_t(kCursorSquare + kCursorBorder))
                pixel = 0x80808080u;
            row[x] = pixel;
        }
    }
}
namespace {

// The whole buffer in the fill colour 0xAARRGGBB: premultiplied where the
// format has alpha, BT.601 limited range for NV12.
void paint_fill(VdBuffer &fb)
{
    const uint32_t a = fb.desc.fill >> 24;
    uint32_t r = (fb.desc.fill >> 16) & 0xff, g = (fb.desc.fill >> 8) & 0xff, b = fb.desc.fill & 0xff;
    if (is_yuv(fb)) {
        const uint8_t y = uint8_t(16 + (66 * r + 129 * g + 25 * b + 128) / 256);
        const uint8_t u = uint8_t(128 + (-38 * int(r) - 74 * int(g) + 112 * int(b) + 128) / 256);
        const uint8_t v = uint8_t(128 + (112 * int(r) - 94 * int(g) - 18 * int(b) + 128) / 256);
        const bool p010 = fb.desc.format == DRM_FORMAT_P010;
        for (uint32_t row = 0; row < fb.desc.height; row++)
            for (uint32_t x = 0; x < fb.desc.width; x++)
                store_luma(fb, fb.map + size_t(row) * fb.desc.pitches[0], int(x), y);
        for (uint32_t row = 0; row < fb.desc.height / 2; row++) {
            uint8_t *p = fb.map + fb.desc.offsets[1] + size_t(row) * fb.desc.pitches[1];
            for (uint32_t x = 0; x < fb.desc.width / 2; x++) {
                if (!p010) {
                    p[2 * x] = u, p[2 * x + 1] = v;
                    continue;
                }
                const uint16_t uv[2] = {uint16_t(u << 8), uint16_t(v << 8)};
                memcpy(p + size_t(x) * 4, uv, 4);
            }
        }
        return;
    }
    if (has_alpha(fb))
        r = (r * a + 127) / 255, g = (g * a + 127) / 255, b = (b * a + 127) / 255;
    const Rgb16 c{r * 257, g * 257, b * 257, a * 257};
    const size_t bytes = size_t(scenario_format(fb.desc.format)->bytes_per_pixel);
    // One pixel stored, copied along the first row, that row copied down.
    uint8_t *first = fb.map;
    store(fb, first, c);
    for (uint32_t x = 1; x < fb.desc.width; x++)
        memcpy(first + x * bytes, first, bytes);
    for (uint32_t row = 1; row < fb.desc.height; row++)
        memcpy(fb.map + size_t(row) * fb.desc.pitches[0], first, fb.desc.width * bytes);
}

// The chart's patches in units of 1/65535: greys from black to white (the
// fourth the PQ code of 100 cd/m2, the brighter ones HDR highlights up to
// the PQ code of about 1000 cd/m2 and beyond), then colours.
constexpr Rgb16 kChart[VD_CHART_PATCHES] = {
    {0, 0, 0, 65535},           {6554, 6554, 6554, 65535},    {16384, 16384, 16384, 65535},
    {33297, 33297, 33297, 65535}, {39321, 39321, 39321, 65535}, {42598, 42598, 42598, 65535},
    {45875, 45875, 45875, 65535}, {49151, 49151, 49151, 65535}, {58982, 58982, 58982, 65535},
    {65535, 65535, 65535, 65535}, {52428, 6554, 6554, 65535},   {6554, 45875, 13107, 65535},
    {9830, 13107, 55705, 65535},  {58982, 49151, 19661, 65535}, {19661, 36045, 39321, 65535},
    {36045, 22938, 45875, 65535},
};

// BT.601 limited-range Y'CbCr at 10 bits of a chart colour.
void chart_ycbcr10(const Rgb16 &c, uint16_t *y, uint16_t *cb, uint16_t *cr)
{
    const double r = c.r / 65535.0, g = c.g / 65535.0, b = c.b / 65535.0;
    const double luma = 0.299 * r + 0.587 * g + 0.114 * b;
    *y = uint16_t(std::lround(64 + 876 * luma));
    *cb = uint16_t(std::lround(512 + 896 * (b - luma) / 1.772));
    *cr = uint16_t(std::lround(512 + 896 * (r - luma) / 1.402));
}

void paint_chart(VdBuffer &fb)
{
    const uint32_t w = fb.desc.width, h = fb.desc.height;
    std::memset(fb.map, 0, fb.desc.size);
    if (is_yuv(fb)) {
        const bool p010 = fb.desc.format == DRM_FORMAT_P010;
        // Black in Y'CbCr.
        for (uint32_t y = 0; y < h; y++)
            for (uint32_t x = 0; x < w; x++)
                store_luma(fb, fb.map + size_t(y) * fb.desc.pitches[0], int(x), 16);
        for (uint32_t y = 0; y < h / 2; y++)
            for (uint32_t x = 0; x < w / 2; x++) {
                uint8_t *p = fb.map + fb.desc.offsets[1] + size_t(y) * fb.desc.pitches[1];
                if (!p010) {
                    p[2 * x] = p[2 * x + 1] = 128;
                    continue;
                }
                const uint16_t uv[2] = {512 << 6, 512 << 6};
                memcpy(p + size_t(x) * 4, uv, 4);
            }
        for (int i = 0; i < VD_CHART_PATCHES; i++) {
            const VdRect r = vd_picture_chart_patch(w, h, i);
            uint16_t y10 = 0, cb = 0, cr = 0;
            chart_ycbcr10(kChart[i], &y10, &cb, &cr);
            for (int y = r.y; y < r.y + r.h; y++) {
                uint8_t *row = fb.map + size_t(y) * fb.desc.pitches[0];
                for (int x = r.x; x < r.x + r.w; x++) {
                    if (p010) {
                        const uint16_t v = uint16_t(y10 << 6);
                        memcpy(row + size_t(x) * 2, &v, 2);
                    } else {
                        row[x] = uint8_t((y10 + 2) / 4);
                    }
                }
            }
            for (int y = r.y / 2; y < (r.y + r.h) / 2; y++) {
                uint8_t *p = fb.map + fb.desc.offsets[1] + size_t(y) * fb.desc.pitches[1];
                for (int x = r.x / 2; x < (r.x + r.w) / 2; x++) {
                    if (p010) {
                        const uint16_t uv[2] = {uint16_t(cb << 6), uint16_t(cr << 6)};
                        memcpy(p + size_t(x) * 4, uv, 4);
                    } else {
                        p[2 * x] = uint8_t((cb + 2) / 4), p[2 * x + 1] = uint8_t((cr + 2) / 4);
                    }
                }
            }
        }
        return;
    }
    const size_t bytes = size_t(scenario_format(fb.desc.format)->bytes_per_pixel);
    uint8_t black[8];
    store(fb, black, Rgb16{0, 0, 0, 65535});
    for (uint32_t y = 0; y < h; y++)
        fill_row(fb.map + size_t(y) * fb.desc.pitches[0], black, bytes, w);
    for (int i = 0; i < VD_CHART_PATCHES; i++) {
        const VdRect r = vd_picture_chart_patch(w, h, i);
        uint8_t pixel[8];
        store(fb, pixel, kChart[i]);
        for (int y = r.y; y < r.y + r.h; y++)
            fill_row(fb.map + size_t(y) * fb.desc.pitches[0] + size_t(r.x) * bytes, pixel, bytes, size_t(r.w));
    }
}

// A half float's value.
double half_value(uint16_t h)
{
    const int e = (h >> 10) & 31, m = h & 1023;
    const double v = e == 0 ? std::ldexp(m, -24) : std::ldexp(1024 + m, e - 25);
    return h & 0x8000 ? -v : v;
}

}  // namespace

VdRect vd_picture_chart_patch(uint32_t width, uint32_t height, int index)
{
    const int top = std::min<int>(VD_CHART_TOP_ROWS, int(height) / 2);
    const int pw = int(width) / VD_CHART_COLUMNS, ph = (int(height) - top) / VD_CHART_ROWS;
    return VdRect{(index % VD_CHART_COLUMNS) * pw, top + (index / VD_CHART_COLUMNS) * ph, pw, ph};
}

bool vd_picture_chart_value(uint32_t format, int index, double rgb[3])
{
    if (index < 0 || index >= VD_CHART_PATCHES || !scenario_format(format))
        return false;
    const Rgb16 &c = kChart[index];
    const uint32_t v[3] = {c.r, c.g, c.b};
    for (int k = 0; k < 3; k++) {
        switch (format) {
        case DRM_FORMAT_XRGB8888:
        case DRM_FORMAT_ARGB8888:
        case DRM_FORMAT_XBGR8888:
        case DRM_FORMAT_ABGR8888: rgb[k] = scale(v[k], 255) / 255.0; break;
        case DRM_FORMAT_XRGB2101010:
        case DRM_FORMAT_ARGB2101010:
        case DRM_FORMAT_XBGR2101010:
        case DRM_FORMAT_ABGR2101010: rgb[k] = scale(v[k], 1023) / 1023.0; break;
        case DRM_FORMAT_XRGB16161616F:
        case DRM_FORMAT_ARGB16161616F:
        case DRM_FORMAT_XBGR16161616F:
        case DRM_FORMAT_ABGR16161616F: rgb[k] = half_value(half_of16(v[k])); break;
        case DRM_FORMAT_RGB565: rgb[k] = k == 1 ? scale(v[k], 63) / 63.0 : scale(v[k], 31) / 31.0; break;
        default: rgb[k] = v[k] / 65535.0; break;  // 16-bit, NV12, P010: the colour itself
        }
    }
    return true;
}

std::unique_ptr<VdBuffer> vd_picture_make_buffer(const ScenarioFramebuffer &fdesc, uint32_t handle, uint64_t wall_ns,
                                                 bool cursor, int turn)
{
    auto f = std::make_unique<VdBuffer>();
    f->desc = fdesc;
    f->handle = handle;
    f->turn = turn;
    char name[32];
    snprintf(name, sizeof(name), "vistrel-fb-%u", fdesc.id);
    f->memfd.reset(memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!f->memfd || ftruncate(f->memfd.get(), off_t(fdesc.size)) != 0)
        return nullptr;
    // A client given a writable export must not be able to shrink the
    // buffer under the clock thread's mapping.
    fcntl(f->memfd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
    void *map = mmap(nullptr, fdesc.size, PROT_READ | PROT_WRITE, MAP_SHARED, f->memfd.get(), 0);
    if (map == MAP_FAILED)
        return nullptr;
    f->map = static_cast<uint8_t *>(map);
    f->sq_size = int(std::max<uint32_t>(1, std::min({160u, fdesc.width / 4, fdesc.height / 4})));
    if (cursor) {
        vd_picture_paint_cursor(*f);
        return f;
    }
    if (fdesc.filled) {
        paint_fill(*f);
        return f;
    }
    if (fdesc.chart) {
        paint_chart(*f);
        return f;
    }
    paint(*f, VdRect{0, 0, int(fdesc.width), int(fdesc.height)}, nullptr);
    if (is_yuv(*f))
        paint_chroma(*f);
    vd_picture_draw_frame(*f, 0, wall_ns / 1000000);
    return f;
}

std::unique_ptr<VdBuffer> vd_picture_alias_buffer(const VdBuffer &shown, const ScenarioFramebuffer &desc,
                                                  uint32_t handle)
{
    auto f = std::make_unique<VdBuffer>();
    f->desc = desc;
    f->handle = handle;
    f->sq_size = shown.sq_size;
    f->memfd.reset(fcntl(shown.memfd.get(), F_DUPFD_CLOEXEC, 0));
    if (!f->memfd)
        return nullptr;
    void *map = mmap(nullptr, desc.size, PROT_READ | PROT_WRITE, MAP_SHARED, f->memfd.get(), 0);
    if (map == MAP_FAILED)
        return nullptr;
    f->map = static_cast<uint8_t *>(map);
    return f;
}
