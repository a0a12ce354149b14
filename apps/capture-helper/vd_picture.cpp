#include "apps/capture-helper/vd_picture.h"

#include <drm_fourcc.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
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

bool clip(const VdBuffer &fb, VdRect *r)
{
    int x1 = std::min<int>(r->x + r->w, fb.desc.width), y1 = std::min<int>(r->y + r->h, fb.desc.height);
    r->x = std::max(r->x, 0);
    r->y = std::max(r->y, 0);
    r->w = x1 - r->x;
    r->h = y1 - r->y;
    return r->w > 0 && r->h > 0;
}

// Paints a rectangle with the fixed pattern (solid = nullptr) or a solid
// colour (r, g, b; for NV12 only the luma of solid[0] is written).
void paint(VdBuffer &fb, VdRect r, const uint8_t *solid)
{
    if (!clip(fb, &r))
        return;
    const uint32_t w = fb.desc.width, h = fb.desc.height, pitch = fb.desc.pitches[0];
    if (fb.desc.format == DRM_FORMAT_NV12) {
        for (int y = r.y; y < r.y + r.h; y++) {
            uint8_t *row = fb.map + size_t(y) * pitch;
            for (int x = r.x; x < r.x + r.w; x++)
                row[x] = solid ? solid[0] : uint8_t(16 + ((x * 219u / w) * 3 + (y * 219u / h)) / 4);
        }
        return;
    }
    const bool rgb_order = fb.desc.format == DRM_FORMAT_XBGR8888;
    const uint8_t alpha = fb.desc.format == DRM_FORMAT_ARGB8888 ? 255 : 0;
    for (int y = r.y; y < r.y + r.h; y++) {
        uint8_t *row = fb.map + size_t(y) * pitch;
        const uint32_t shade = 255 - (uint32_t(y) * 128 / h);
        for (int x = r.x; x < r.x + r.w; x++) {
            uint8_t c[3];
            if (solid) {
                memcpy(c, solid, 3);
            } else {
                const uint8_t *bar = kBars[size_t(x) * 8 / w];
                for (int i = 0; i < 3; i++)
                    c[i] = uint8_t(bar[i] * shade / 255);
            }
            uint8_t *p = row + size_t(x) * 4;
            p[0] = rgb_order ? c[0] : c[2];
            p[1] = c[1];
            p[2] = rgb_order ? c[2] : c[0];
            p[3] = alpha;
        }
    }
}

void paint_chroma(VdBuffer &fb)
{
    uint8_t *plane = fb.map + fb.desc.offsets[1];
    for (uint32_t y = 0; y < fb.desc.height / 2; y++)
        for (uint32_t x = 0; x < fb.desc.width / 2; x++) {
            uint32_t bar = x * 2 * 8 / fb.desc.width;
            plane[size_t(y) * fb.desc.pitches[1] + 2 * x] = uint8_t(64 + bar * 16);
            plane[size_t(y) * fb.desc.pitches[1] + 2 * x + 1] = uint8_t(192 - bar * 16);
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
    const int w = int(fb.desc.width), h = int(fb.desc.height), size = fb.sq_size;
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
    paint(fb, fb.square, nullptr);
    const int h = int(fb.desc.height);
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
std::unique_ptr<VdBuffer> vd_picture_make_buffer(const ScenarioFramebuffer &fdesc, uint32_t handle, uint64_t wall_ns,
                                                 bool cursor)
{
    auto f = std::make_unique<VdBuffer>();
    f->desc = fdesc;
    f->handle = handle;
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
    paint(*f, VdRect{0, 0, int(fdesc.width), int(fdesc.height)}, nullptr);
    if (fdesc.format == DRM_FORMAT_NV12)
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
