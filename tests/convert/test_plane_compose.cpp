#include "apps/capture/convert/plane_compose.h"
#include "apps/capture/convert/plane_compose_internal.h"
#include "tests/convert/deep_pixels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

// A buffer of any format, filled by a function of the pixel, with rows
// longer than the picture so that a stride mistake shows.
struct Buffer {
    PlaneRecord plane{};
    std::vector<uint8_t> bytes[2];
    uint32_t stride[2] = {0, 0};

    ComposeLayer layer() const
    {
        ComposeLayer l{};
        l.plane = plane;
        l.data[0] = bytes[0].data();
        l.data[1] = bytes[1].empty() ? nullptr : bytes[1].data();
        l.stride[0] = stride[0];
        l.stride[1] = stride[1];
        return l;
    }
};

uint32_t argb(uint32_t a, uint32_t r, uint32_t g, uint32_t b)
{
    return a << 24 | r << 16 | g << 8 | b;
}

// A packed buffer; px gives A R G B, stored in the format's byte order.
Buffer packed(uint32_t fourcc, uint32_t w, uint32_t h, const std::function<uint32_t(uint32_t, uint32_t)> &px)
{
    Buffer b;
    b.plane.buffer_id = 1;
    b.plane.format = fourcc;
    b.plane.width = w;
    b.plane.height = h;
    b.stride[0] = w * 4 + 12;
    // The last row ends with its last pixel, so that reading past it shows (under a sanitizer).
    b.bytes[0].assign(size_t(b.stride[0]) * (h - 1) + 4 * w, 0x5a);
    const bool red_first = fourcc == PLANE_COMPOSE_XB24 || fourcc == PLANE_COMPOSE_AB24;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t v = px(x, y);
            uint8_t *p = &b.bytes[0][size_t(y) * b.stride[0] + 4 * x];
            p[0] = uint8_t(red_first ? v >> 16 : v);
            p[1] = uint8_t(v >> 8);
            p[2] = uint8_t(red_first ? v : v >> 16);
            p[3] = uint8_t(v >> 24);
        }
    return b;
}

struct Ycc {
    uint8_t y, cb, cr;
};

// An NV12 buffer; px gives the pixel's Y and the CbCr of its 2x2 block's top-left pixel.
Buffer nv12(uint32_t w, uint32_t h, const std::function<Ycc(uint32_t, uint32_t)> &px)
{
    Buffer b;
    b.plane.buffer_id = 1;
    b.plane.format = PLANE_COMPOSE_NV12;
    b.plane.width = w;
    b.plane.height = h;
    b.stride[0] = w + 8;
    b.stride[1] = w + 8;
    b.bytes[0].assign(size_t(b.stride[0]) * (h - 1) + w, 0);
    b.bytes[1].assign(size_t(b.stride[1]) * ((h + 1) / 2 - 1) + 2 * ((w + 1) / 2), 0);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const Ycc c = px(x, y);
            b.bytes[0][size_t(y) * b.stride[0] + x] = c.y;
            if (x % 2 == 0 && y % 2 == 0) {
                b.bytes[1][size_t(y / 2) * b.stride[1] + x] = c.cb;
                b.bytes[1][size_t(y / 2) * b.stride[1] + x + 1] = c.cr;
            }
        }
    return b;
}

// Where the buffer shows: the whole buffer unless src is given (pixels).
void place(Buffer &b, int32_t x, int32_t y, uint32_t w, uint32_t h, uint32_t rotation = UDS_ROTATE_0,
           uint32_t alpha = 0xffff, uint32_t blend = UDS_BLEND_PREMULTI, std::vector<double> src = {})
{
    if (src.empty())
        src = {0, 0, double(b.plane.width), double(b.plane.height)};
    PlaneRecord &p = b.plane;
    p.crtc_x = x;
    p.crtc_y = y;
    p.crtc_w = w;
    p.crtc_h = h;
    p.src_x = uint32_t(std::lround(src[0] * 65536));
    p.src_y = uint32_t(std::lround(src[1] * 65536));
    p.src_w = uint32_t(std::lround(src[2] * 65536));
    p.src_h = uint32_t(std::lround(src[3] * 65536));
    p.rotation = rotation;
    p.alpha = alpha;
    p.blend = blend;
}

struct Picture {
    uint32_t width = 0, height = 0, stride = 0;
    std::vector<uint8_t> bytes;
    uint32_t at(uint32_t x, uint32_t y) const
    {
        uint32_t v;
        std::memcpy(&v, &bytes[size_t(y) * stride + 4 * x], 4);
        return v;
    }
};

int compose(const std::vector<const Buffer *> &buffers, uint32_t crtc_w, uint32_t crtc_h, uint32_t turns, Picture *out)
{
    plane_stream_size(crtc_w, crtc_h, turns, &out->width, &out->height);
    out->stride = out->width * 4 + 20;
    out->bytes.assign(size_t(out->stride) * out->height, 0x33);
    std::vector<ComposeLayer> layers;
    for (const Buffer *b : buffers)
        layers.push_back(b->layer());
    return plane_compose_xrgb(layers.data(), uint32_t(layers.size()), crtc_w, crtc_h, turns, out->bytes.data(),
                              out->stride);
}

// The composition in double precision, straight from its definition: B G R
// of every stream pixel, unrounded.
struct Rgb {
    double c[3] = {0, 0, 0};
};

double clamp_sample(double s, double lo, double hi, uint32_t limit)
{
    double smin = lo, smax = hi - 1.0;
    if (smax < smin)
        smin = smax = (lo + hi) / 2 - 0.5;
    return std::clamp(std::clamp(s, smin, smax), 0.0, double(limit) - 1.0);
}

// Bilinear sample of channel fn(x, y) at (sx, sy) (buffer pixel index coordinates).
double bilinear(double sx, double sy, uint32_t w, uint32_t h, const std::function<double(uint32_t, uint32_t)> &fn)
{
    const uint32_t x0 = uint32_t(std::floor(sx)), y0 = uint32_t(std::floor(sy));
    const uint32_t x1 = std::min(x0 + 1, w - 1), y1 = std::min(y0 + 1, h - 1);
    const double fx = sx - x0, fy = sy - y0;
    return (fn(x0, y0) * (1 - fx) + fn(x1, y0) * fx) * (1 - fy) + (fn(x0, y1) * (1 - fx) + fn(x1, y1) * fx) * fy;
}

void yuv_to_rgb(double y, double cb, double cr, uint32_t encoding, uint32_t range, double *bgr)
{
    double kr = 0.299, kb = 0.114;
    if (encoding == UDS_ENCODING_BT709)
        kr = 0.2126, kb = 0.0722;
    if (encoding == UDS_ENCODING_BT2020)
        kr = 0.2627, kb = 0.0593;
    const double kg = 1 - kr - kb;
    const bool full = range == UDS_RANGE_FULL;
    const double l = full ? y / 255 : (y - 16) / 219, u = full ? (cb - 128) / 255 : (cb - 128) / 224,
                 v = full ? (cr - 128) / 255 : (cr - 128) / 224;
    const double r = l + 2 * (1 - kr) * v, b = l + 2 * (1 - kb) * u, g = (l - kr * r - kb * b) / kg;
    bgr[0] = std::clamp(b * 255, 0.0, 255.0);
    bgr[1] = std::clamp(g * 255, 0.0, 255.0);
    bgr[2] = std::clamp(r * 255, 0.0, 255.0);
}

std::vector<Rgb> reference(const std::vector<const Buffer *> &buffers, uint32_t crtc_w, uint32_t crtc_h, uint32_t turns)
{
    uint32_t sw, sh;
    plane_stream_size(crtc_w, crtc_h, turns, &sw, &sh);
    std::vector<Rgb> pic(size_t(sw) * sh);
    for (const Buffer *b : buffers) {
        const PlaneRecord &p = b->plane;
        LayerMapping m;
        if (!plane_layer_mapping(p, crtc_w, crtc_h, turns, &m))
            continue;
        const bool nv = p.format == PLANE_COMPOSE_NV12;
        const bool red_first = p.format == PLANE_COMPOSE_XB24 || p.format == PLANE_COMPOSE_AB24;
        const bool has_alpha =
            (p.format == PLANE_COMPOSE_AR24 || p.format == PLANE_COMPOSE_AB24) && p.blend != UDS_BLEND_NONE;
        const double pa = p.alpha / 65535.0;
        for (int32_t y = m.y0; y < m.y1; ++y)
            for (int32_t x = m.x0; x < m.x1; ++x) {
                const double bx = m.m[0] * (x + 0.5) + m.m[1] * (y + 0.5) + m.m[2];
                const double by = m.m[3] * (x + 0.5) + m.m[4] * (y + 0.5) + m.m[5];
                double src[3], a = 1;
                if (nv) {
                    const double lx = clamp_sample(bx - 0.5, m.src_x0, m.src_x1, p.width);
                    const double ly = clamp_sample(by - 0.5, m.src_y0, m.src_y1, p.height);
                    const uint32_t cw = (p.width + 1) / 2, ch = (p.height + 1) / 2;
                    const double cx = clamp_sample(bx / 2 - 0.5, m.src_x0 / 2, m.src_x1 / 2, cw);
                    const double cy = clamp_sample(by / 2 - 0.5, m.src_y0 / 2, m.src_y1 / 2, ch);
                    auto plane_at = [&](int i, uint32_t off) {
                        return [&, i, off](uint32_t u, uint32_t v) {
                            return double(b->bytes[i][size_t(v) * b->stride[i] + (i ? 2 * u + off : u)]);
                        };
                    };
                    yuv_to_rgb(bilinear(lx, ly, p.width, p.height, plane_at(0, 0)),
                               bilinear(cx, cy, cw, ch, plane_at(1, 0)), bilinear(cx, cy, cw, ch, plane_at(1, 1)),
                               p.color_encoding, p.color_range, src);
                } else {
                    const double sx = clamp_sample(bx - 0.5, m.src_x0, m.src_x1, p.width);
                    const double sy = clamp_sample(by - 0.5, m.src_y0, m.src_y1, p.height);
                    auto channel = [&](uint32_t byte) {
                        return [&, byte](uint32_t u, uint32_t v) {
                            return double(b->bytes[0][size_t(v) * b->stride[0] + 4 * u + byte]);
                        };
                    };
                    src[0] = bilinear(sx, sy, p.width, p.height, channel(red_first ? 2 : 0));
                    src[1] = bilinear(sx, sy, p.width, p.height, channel(1));
                    src[2] = bilinear(sx, sy, p.width, p.height, channel(red_first ? 0 : 2));
                    if (has_alpha)
                        a = bilinear(sx, sy, p.width, p.height, channel(3)) / 255;
                }
                Rgb &d = pic[size_t(y) * sw + x];
                for (int c = 0; c < 3; ++c) {
                    double v;
                    if (p.blend == UDS_BLEND_COVERAGE)
                        v = src[c] * a * pa + (1 - a * pa) * d.c[c];
                    else if (p.blend == UDS_BLEND_NONE || !has_alpha)
                        v = src[c] * pa + (1 - pa) * d.c[c];
                    else
                        v = src[c] * pa + (1 - a * pa) * d.c[c];
                    d.c[c] = std::min(v, 255.0);
                }
            }
    }
    return pic;
}

// The largest difference of any channel from the reference; X must be 0xff.
double worst_difference(const Picture &got, const std::vector<Rgb> &want, std::string *where)
{
    double worst = 0;
    for (uint32_t y = 0; y < got.height; ++y)
        for (uint32_t x = 0; x < got.width; ++x) {
            const uint32_t v = got.at(x, y);
            if ((v >> 24) != 0xff) {
                *where = "X byte at " + std::to_string(x) + "," + std::to_string(y);
                return 1e9;
            }
            for (int c = 0; c < 3; ++c) {
                const double d = std::fabs(double((v >> (8 * c)) & 0xff) - want[size_t(y) * got.width + x].c[c]);
                if (d > worst) {
                    worst = d;
                    *where = std::to_string(x) + "," + std::to_string(y) + " channel " + std::to_string(c);
                }
            }
        }
    return worst;
}

uint32_t pattern(uint32_t x, uint32_t y)
{
    return argb(0x17, (x * 13 + y * 3) & 0xff, (x * 5 + y * 11) & 0xff, (x ^ y) * 7 & 0xff);
}

Ycc video_pattern(uint32_t x, uint32_t y)
{
    return Ycc{uint8_t(16 + x * 9), uint8_t(128 + x * 4 - y * 3), uint8_t(100 + y * 8)};
}

}  // namespace

// ---- the geometry the composers share ----

TEST(PlaneGeometry, TurnsAndStreamSize)
{
    struct Case {
        uint32_t orientation;
        int32_t rotate;
        uint32_t turns;
    } cases[] = {
        {UDS_ORIENTATION_NORMAL, 0, 0},    {UDS_ORIENTATION_NORMAL, 90, 1},    {UDS_ORIENTATION_NORMAL, 270, 3},
        {UDS_ORIENTATION_LEFT_UP, 0, 1},   {UDS_ORIENTATION_RIGHT_UP, 0, 3},   {UDS_ORIENTATION_UPSIDE_DOWN, 0, 2},
        {UDS_ORIENTATION_LEFT_UP, 270, 0}, {UDS_ORIENTATION_RIGHT_UP, 180, 1}, {UDS_ORIENTATION_UPSIDE_DOWN, 180, 0},
        {UDS_ORIENTATION_NORMAL, -90, 3},
    };
    for (const Case &c : cases)
        EXPECT_EQ(plane_stream_turns(c.orientation, c.rotate), c.turns) << c.orientation << " " << c.rotate;
    for (uint32_t t = 0; t < 4; ++t) {
        uint32_t w, h;
        plane_stream_size(1920, 1080, t, &w, &h);
        EXPECT_EQ(w, t % 2 ? 1080u : 1920u);
        EXPECT_EQ(h, t % 2 ? 1920u : 1080u);
    }
}

// The buffer corner each corner of the plane's place in the stream shows.
TEST(PlaneGeometry, CornersForEveryRotationAndTurn)
{
    enum Corner {
        TL,
        TR,
        BL,
        BR
    };
    struct Case {
        uint32_t rotation, turns;
        Corner seen[4];  // at the stream's TL, TR, BL, BR of the plane
    } cases[] = {
        {UDS_ROTATE_0, 0, {TL, TR, BL, BR}},
        {UDS_ROTATE_90, 0, {TR, BR, TL, BL}},
        {UDS_ROTATE_180, 0, {BR, BL, TR, TL}},
        {UDS_ROTATE_270, 0, {BL, TL, BR, TR}},
        {UDS_ROTATE_0 | UDS_REFLECT_X, 0, {TR, TL, BR, BL}},
        {UDS_ROTATE_0 | UDS_REFLECT_Y, 0, {BL, BR, TL, TR}},
        {UDS_ROTATE_90 | UDS_REFLECT_X, 0, {TL, BL, TR, BR}},
        {UDS_ROTATE_0, 1, {BL, TL, BR, TR}},
        {UDS_ROTATE_0, 2, {BR, BL, TR, TL}},
        {UDS_ROTATE_0, 3, {TR, BR, TL, BL}},
        {UDS_ROTATE_90, 3, {BR, BL, TR, TL}},
    };
    const uint32_t bw = 30, bh = 20;
    const double corner_x[4] = {0, bw - 1.0, 0, bw - 1.0}, corner_y[4] = {0, 0, bh - 1.0, bh - 1.0};
    for (const Case &c : cases) {
        Buffer b = packed(PLANE_COMPOSE_XR24, bw, bh, pattern);
        const bool quarter = c.rotation & (UDS_ROTATE_90 | UDS_ROTATE_270);
        place(b, 7, 3, quarter ? bh : bw, quarter ? bw : bh, c.rotation);
        LayerMapping m;
        ASSERT_TRUE(plane_layer_mapping(b.plane, 64, 48, c.turns, &m)) << c.rotation << " " << c.turns;
        const uint32_t shown = (quarter ? 1 : 0) ^ (c.turns & 1);
        EXPECT_EQ(uint32_t(m.x1 - m.x0), shown ? bh : bw);
        EXPECT_EQ(uint32_t(m.y1 - m.y0), shown ? bw : bh);
        const double sx[4] = {m.x0 + 0.5, m.x1 - 0.5, m.x0 + 0.5, m.x1 - 0.5};
        const double sy[4] = {m.y0 + 0.5, m.y0 + 0.5, m.y1 - 0.5, m.y1 - 0.5};
        for (int k = 0; k < 4; ++k) {
            const double bx = m.m[0] * sx[k] + m.m[1] * sy[k] + m.m[2] - 0.5;
            const double by = m.m[3] * sx[k] + m.m[4] * sy[k] + m.m[5] - 0.5;
            EXPECT_NEAR(bx, corner_x[c.seen[k]], 1e-9)
                << "rotation " << c.rotation << " turns " << c.turns << " k " << k;
            EXPECT_NEAR(by, corner_y[c.seen[k]], 1e-9)
                << "rotation " << c.rotation << " turns " << c.turns << " k " << k;
        }
    }
}

TEST(PlaneGeometry, ClippedAtTheCrtcAndUnusableRectanglesRefused)
{
    Buffer b = packed(PLANE_COMPOSE_XR24, 30, 20, pattern);
    LayerMapping m;
    // Past the left and bottom edges of a 64x48 CRTC: the buffer's left 10 columns are cut off.
    place(b, -10, 40, 30, 20);
    ASSERT_TRUE(plane_layer_mapping(b.plane, 64, 48, 0, &m));
    EXPECT_EQ(m.x0, 0);
    EXPECT_EQ(m.x1, 20);
    EXPECT_EQ(m.y0, 40);
    EXPECT_EQ(m.y1, 48);
    EXPECT_NEAR(m.m[0] * 0.5 + m.m[1] * 40.5 + m.m[2], 10.5, 1e-9);
    EXPECT_NEAR(m.m[3] * 0.5 + m.m[4] * 40.5 + m.m[5], 0.5, 1e-9);
    // The same place in a stream turned a quarter clockwise: the CRTC's bottom-left is the stream's top-left.
    ASSERT_TRUE(plane_layer_mapping(b.plane, 64, 48, 1, &m));
    EXPECT_EQ(m.x0, 0);
    EXPECT_EQ(m.x1, 8);
    EXPECT_EQ(m.y0, 0);
    EXPECT_EQ(m.y1, 20);

    const struct {
        const char *what;
        int32_t x, y;
        std::vector<double> src;
    } refused[] = {
        {"off the right edge", 64, 0, {}},
        {"off the top", 0, -20, {}},
        {"source past the buffer's right", 0, 0, {10, 0, 21, 20}},
        {"source past the buffer's bottom", 0, 0, {0, 0.5, 30, 20}},
        {"empty source", 0, 0, {0, 0, 0, 20}},
    };
    for (const auto &r : refused) {
        place(b, r.x, r.y, 30, 20, UDS_ROTATE_0, 0xffff, UDS_BLEND_PREMULTI, r.src);
        EXPECT_FALSE(plane_layer_mapping(b.plane, 64, 48, 0, &m)) << r.what;
    }
}

// ---- the composer ----

TEST(PlaneCompose, OpaqueOverlayOverPatternInEveryTurn)
{
    Buffer primary = packed(PLANE_COMPOSE_XR24, 64, 48, pattern);
    place(primary, 0, 0, 64, 48);
    Buffer overlay = packed(PLANE_COMPOSE_XB24, 16, 8, [](uint32_t, uint32_t) { return argb(0x00, 200, 40, 10); });
    place(overlay, 10, 20, 16, 8);
    for (uint32_t turns = 0; turns < 4; ++turns) {
        Picture pic;
        ASSERT_EQ(compose({&primary, &overlay}, 64, 48, turns, &pic), 0);
        if (turns == 0) {
            EXPECT_EQ(pic.at(10, 20), argb(0xff, 200, 40, 10));
            EXPECT_EQ(pic.at(25, 27), argb(0xff, 200, 40, 10));
            EXPECT_EQ(pic.at(9, 20), pattern(9, 20) | 0xff000000u);
            EXPECT_EQ(pic.at(26, 27), pattern(26, 27) | 0xff000000u);
            EXPECT_EQ(pic.at(25, 28), pattern(25, 28) | 0xff000000u);
        }
        std::string where;
        EXPECT_EQ(worst_difference(pic, reference({&primary, &overlay}, 64, 48, turns), &where), 0.0)
            << "turns " << turns << " at " << where;
    }
    // Nothing under a small primary: black.
    place(primary, 8, 8, 32, 24, UDS_ROTATE_0, 0xffff, UDS_BLEND_PREMULTI, {0, 0, 32, 24});
    Picture pic;
    ASSERT_EQ(compose({&primary}, 64, 48, 0, &pic), 0);
    EXPECT_EQ(pic.at(7, 8), 0xff000000u);
    EXPECT_EQ(pic.at(8, 8), pattern(0, 0) | 0xff000000u);
    EXPECT_EQ(pic.at(40, 32), 0xff000000u);
}

// Each blend mode with plane alpha and per-pixel alpha, 1:1 and scaled,
// against the formula.
TEST(PlaneCompose, BlendModesFollowTheirFormulas)
{
    Buffer primary = packed(PLANE_COMPOSE_XR24, 64, 48, pattern);
    place(primary, 0, 0, 64, 48);
    // Premultiplied pixels stay valid (colour at most alpha); the rest are any colour.
    auto premultiplied = [](uint32_t x, uint32_t y) {
        const uint32_t a = (x * 9 + y * 31) & 0xff;
        return argb(a, a * ((x * 3) & 0xff) / 255, a * ((y * 7) & 0xff) / 255, a / 2);
    };
    auto straight = [](uint32_t x, uint32_t y) { return argb((x * 9 + y * 31) & 0xff, x * 8, 255 - y * 8, 128); };
    const struct {
        uint32_t blend, alpha, format;
        uint32_t shown;  // the overlay's width on the CRTC: 30 is 1:1 (with a row's odd end), else scaled
    } cases[] = {
        {UDS_BLEND_PREMULTI, 0xffff, PLANE_COMPOSE_AR24, 30}, {UDS_BLEND_PREMULTI, 0x8000, PLANE_COMPOSE_AB24, 30},
        {UDS_BLEND_COVERAGE, 0xffff, PLANE_COMPOSE_AB24, 30}, {UDS_BLEND_COVERAGE, 0x3000, PLANE_COMPOSE_AR24, 30},
        {UDS_BLEND_NONE, 0xffff, PLANE_COMPOSE_AR24, 30},     {UDS_BLEND_NONE, 0x6000, PLANE_COMPOSE_AR24, 30},
        {UDS_BLEND_PREMULTI, 0x9000, PLANE_COMPOSE_XR24, 30}, {UDS_BLEND_COVERAGE, 0xc000, PLANE_COMPOSE_AR24, 45},
        {UDS_BLEND_PREMULTI, 0xb000, PLANE_COMPOSE_AR24, 45}, {UDS_BLEND_NONE, 0x0000, PLANE_COMPOSE_AR24, 45},
    };
    for (const auto &c : cases)
        for (bool avx2 : {false, true}) {
            plane_compose_detail::set_avx2_allowed(avx2);
            Buffer overlay = packed(c.format, 30, 24, c.blend == UDS_BLEND_PREMULTI ? +premultiplied : +straight);
            place(overlay, 5, 7, c.shown, c.shown * 4 / 5, UDS_ROTATE_0, c.alpha, c.blend);
            Picture pic;
            ASSERT_EQ(compose({&primary, &overlay}, 64, 48, 0, &pic), 0);
            std::string where;
            EXPECT_LE(worst_difference(pic, reference({&primary, &overlay}, 64, 48, 0), &where), 1.0)
                << "blend " << c.blend << " alpha " << c.alpha << (avx2 ? " (AVX2)" : "") << " at " << where;
        }
    plane_compose_detail::set_avx2_allowed(true);
    // Spot checks by hand: a Coverage pixel of alpha 0x80 at plane alpha 1/2
    // over black, and a Pre-multiplied one.
    for (uint32_t blend : {UDS_BLEND_COVERAGE, UDS_BLEND_PREMULTI}) {
        Buffer overlay = packed(PLANE_COMPOSE_AR24, 4, 4, [](uint32_t, uint32_t) { return argb(0x80, 200, 100, 0); });
        place(overlay, 0, 0, 4, 4, UDS_ROTATE_0, 0x8000, blend);
        Picture pic;
        ASSERT_EQ(compose({&overlay}, 8, 8, 0, &pic), 0);
        // Coverage: 200 * 128/255 * 0.5 = 50.2; Pre-multiplied: 200 * 0.5 = 100.
        EXPECT_EQ(pic.at(1, 1), blend == UDS_BLEND_COVERAGE ? argb(0xff, 50, 25, 0) : argb(0xff, 100, 50, 0));
    }
}

TEST(PlaneCompose, CrossingOverlaysKeepTheirOrder)
{
    Buffer red = packed(PLANE_COMPOSE_XR24, 40, 4, [](uint32_t, uint32_t) { return argb(0, 255, 0, 0); });
    Buffer green = packed(PLANE_COMPOSE_AR24, 4, 40, [](uint32_t, uint32_t) { return argb(0xff, 0, 255, 0); });
    place(red, 0, 10, 40, 4);
    place(green, 10, 0, 4, 40);
    Picture pic;
    ASSERT_EQ(compose({&red, &green}, 48, 48, 0, &pic), 0);
    EXPECT_EQ(pic.at(11, 11), argb(0xff, 0, 255, 0));
    EXPECT_EQ(pic.at(20, 11), argb(0xff, 255, 0, 0));
    ASSERT_EQ(compose({&green, &red}, 48, 48, 0, &pic), 0);
    EXPECT_EQ(pic.at(11, 11), argb(0xff, 255, 0, 0));
    EXPECT_EQ(pic.at(11, 20), argb(0xff, 0, 255, 0));
    EXPECT_EQ(pic.at(30, 30), 0xff000000u);
}

TEST(PlaneCompose, ScaledTwiceIsBilinearAtPixelCentres)
{
    // Columns and rows step by 4 (blue, green), so each output pixel's value is known.
    Buffer b = packed(PLANE_COMPOSE_XR24, 1280, 720,
                      [](uint32_t x, uint32_t y) { return argb(0, 0, (y * 4) & 0xff, (x * 4) & 0xff); });
    place(b, 0, 0, 2560, 1440);
    Picture pic;
    ASSERT_EQ(compose({&b}, 2560, 1440, 0, &pic), 0);
    // Stream pixel 2k + 1 samples buffer k + 1/4, 2k samples k - 1/4; the
    // first and last clamp to the edge pixels.
    const struct {
        uint32_t x, y, blue, green;
    } points[] = {
        {0, 0, 0, 0},          {1, 1, 1, 1},          {2, 2, 3, 3},     {3, 5, 5, 9},
        {2559, 1439, 252, 60}, {2558, 1438, 251, 59}, {101, 0, 201, 0}, {100, 2, 199, 3},
    };
    for (const auto &p : points) {
        const uint32_t v = pic.at(p.x, p.y);
        EXPECT_EQ(v & 0xff, p.blue) << p.x << "," << p.y;
        EXPECT_EQ((v >> 8) & 0xff, p.green) << p.x << "," << p.y;
    }
    std::string where;
    EXPECT_LE(worst_difference(pic, reference({&b}, 2560, 1440, 0), &where), 1.0) << where;
}

// Turned, reflected, scaled by odd factors and cropped to fractions of a
// pixel: every path against the reference.
TEST(PlaneCompose, TurnedAndScaledLayersMatchTheReference)
{
    Buffer primary = packed(PLANE_COMPOSE_XB24, 80, 60, pattern);
    place(primary, 0, 0, 96, 64);  // scaled 1.2 x 1.07
    auto sharp = [](uint32_t x, uint32_t y) {
        return argb(((x + y) & 1) ? 0xff : 0x40, x * 9, y * 11, (x * y) & 0xff);
    };
    Buffer overlay = packed(PLANE_COMPOSE_AR24, 24, 16, sharp);
    Buffer video = nv12(22, 14, video_pattern);
    video.plane.color_encoding = UDS_ENCODING_BT709;
    const uint32_t rotations[] = {UDS_ROTATE_0,
                                  UDS_ROTATE_90,
                                  UDS_ROTATE_180,
                                  UDS_ROTATE_270,
                                  UDS_ROTATE_0 | UDS_REFLECT_X,
                                  UDS_ROTATE_90 | UDS_REFLECT_Y};
    for (uint32_t turns = 0; turns < 4; ++turns)
        for (uint32_t rotation : rotations)
            for (bool avx2 : {false, true}) {
                plane_compose_detail::set_avx2_allowed(avx2);
                const bool quarter = rotation & (UDS_ROTATE_90 | UDS_ROTATE_270);
                // 1:1 turned, then 20x13.5 of the buffer stretched onto 50x30.
                place(overlay, 60, -3, quarter ? 16 : 24, quarter ? 24 : 16, rotation, 0xd000, UDS_BLEND_COVERAGE);
                place(video, -7, 30, quarter ? 30 : 50, quarter ? 50 : 30, rotation, 0xffff, UDS_BLEND_PREMULTI,
                      {1.25, 0.5, 20, 13.5});
                Picture pic;
                ASSERT_EQ(compose({&primary, &overlay, &video}, 96, 64, turns, &pic), 0);
                std::string where;
                EXPECT_LE(worst_difference(pic, reference({&primary, &overlay, &video}, 96, 64, turns), &where), 1.0)
                    << "turns " << turns << " rotation " << rotation << (avx2 ? " (AVX2)" : "") << " at " << where;
            }
    plane_compose_detail::set_avx2_allowed(true);
}

TEST(PlaneCompose, CroppedSourceShowsOnlyItsRectangle)
{
    // Four quadrants; the source is the top-right one, shown 1:1 and stretched.
    Buffer b = packed(PLANE_COMPOSE_XR24, 40, 40, [](uint32_t x, uint32_t y) {
        return x >= 20 ? (y < 20 ? argb(0, 0, 200, 0) : argb(0, 0, 0, 200)) : argb(0, 200, 0, 0);
    });
    for (uint32_t size : {20u, 57u}) {
        place(b, 3, 3, size, size, UDS_ROTATE_0, 0xffff, UDS_BLEND_PREMULTI, {20, 0, 20, 20});
        Picture pic;
        ASSERT_EQ(compose({&b}, 64, 64, 0, &pic), 0);
        for (uint32_t y = 0; y < 64; ++y)
            for (uint32_t x = 0; x < 64; ++x) {
                const bool inside = x >= 3 && y >= 3 && x < 3 + size && y < 3 + size;
                ASSERT_EQ(pic.at(x, y), inside ? argb(0xff, 0, 200, 0) : 0xff000000u) << size << ": " << x << "," << y;
            }
    }
}

TEST(PlaneCompose, Nv12ColourEncodingsAndRanges)
{
    // RGB colours converted forward by the standards' equations.
    const struct {
        uint32_t encoding, range;
        double kr, kb;
    } encodings[] = {
        {UDS_ENCODING_BT709, UDS_RANGE_LIMITED, 0.2126, 0.0722},
        {UDS_ENCODING_BT601, UDS_RANGE_FULL, 0.299, 0.114},
        {UDS_ENCODING_BT2020, UDS_RANGE_LIMITED, 0.2627, 0.0593},
        {UDS_ENCODING_BT601, UDS_RANGE_LIMITED, 0.299, 0.114},
    };
    const uint8_t colours[][3] = {{200, 100, 50}, {20, 180, 240}, {128, 128, 128}, {250, 250, 10}, {16, 16, 16}};
    for (const auto &e : encodings)
        for (const auto &rgb : colours) {
            const double r = rgb[0] / 255.0, g = rgb[1] / 255.0, bl = rgb[2] / 255.0;
            const double y = e.kr * r + (1 - e.kr - e.kb) * g + e.kb * bl;
            const double cb = (bl - y) / (2 * (1 - e.kb)), cr = (r - y) / (2 * (1 - e.kr));
            const bool full = e.range == UDS_RANGE_FULL;
            const Ycc c{uint8_t(std::lround(full ? y * 255 : 16 + y * 219)),
                        uint8_t(std::lround(128 + cb * (full ? 255 : 224))),
                        uint8_t(std::lround(128 + cr * (full ? 255 : 224)))};
            Buffer b = nv12(8, 6, [&](uint32_t, uint32_t) { return c; });
            b.plane.color_encoding = e.encoding;
            b.plane.color_range = e.range;
            place(b, 0, 0, 8, 6);
            Picture pic;
            ASSERT_EQ(compose({&b}, 8, 6, 0, &pic), 0);
            const uint32_t v = pic.at(3, 2);
            // The 8-bit YCbCr values themselves are off by up to half a step.
            EXPECT_NEAR(double((v >> 16) & 0xff), rgb[0], 2.0) << e.encoding << "/" << e.range;
            EXPECT_NEAR(double((v >> 8) & 0xff), rgb[1], 2.0) << e.encoding << "/" << e.range;
            EXPECT_NEAR(double(v & 0xff), rgb[2], 2.0) << e.encoding << "/" << e.range;
        }
}

// Unscaled at an odd place over a pattern, opaque and translucent: luma
// pixel for pixel, chroma between its samples, against the reference.
TEST(PlaneCompose, UnscaledNv12MatchesTheReference)
{
    Buffer primary = packed(PLANE_COMPOSE_XR24, 40, 24, pattern);
    place(primary, 0, 0, 40, 24);
    Buffer video = nv12(22, 14, video_pattern);
    video.plane.color_range = UDS_RANGE_FULL;
    for (uint32_t alpha : {0xffffu, 0x8000u}) {
        place(video, 3, 5, 22, 14, UDS_ROTATE_0, alpha);
        Picture pic;
        ASSERT_EQ(compose({&primary, &video}, 40, 24, 0, &pic), 0);
        std::string where;
        EXPECT_LE(worst_difference(pic, reference({&primary, &video}, 40, 24, 0), &where), 1.0)
            << "alpha " << alpha << " at " << where;
    }
}

TEST(PlaneCompose, UnreadableLayerRefusedOthersDrawn)
{
    Buffer primary = packed(PLANE_COMPOSE_XR24, 32, 32, pattern);
    place(primary, 0, 0, 32, 32);
    Buffer nv21 = nv12(8, 8, [](uint32_t, uint32_t) { return Ycc{235, 128, 128}; });
    nv21.plane.format = plane_compose_fourcc('N', 'V', '2', '1');
    nv21.plane.plane_id = 41;
    place(nv21, 4, 4, 8, 8);
    Buffer top = packed(PLANE_COMPOSE_XR24, 4, 4, [](uint32_t, uint32_t) { return argb(0, 1, 2, 3); });
    place(top, 20, 20, 4, 4);
    Picture pic;
    testing::internal::CaptureStderr();
    EXPECT_EQ(compose({&primary, &nv21, &top}, 32, 32, 0, &pic), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("format NV21 (0x3132564e)"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(pic.at(5, 5), pattern(5, 5) | 0xff000000u);
    EXPECT_EQ(pic.at(21, 21), argb(0xff, 1, 2, 3));

    // A buffer whose rows are shorter than its width is refused too.
    top.stride[0] = 8;
    testing::internal::CaptureStderr();
    EXPECT_EQ(compose({&primary, &top}, 32, 32, 0, &pic), -1);
    EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
    EXPECT_EQ(pic.at(21, 21), pattern(21, 21) | 0xff000000u);
}

// Each deep-colour format drawn scaled and translucent (per-pixel alpha
// where it has it) over a pattern matches the same layer given in 8 bits:
// it is read in its own byte order and reduced to the composer's 8 bits at
// the sample. P010 likewise against NV12. Short rows are refused.
TEST(PlaneCompose, DeepColourLayersReadAsTheirEightBitEquals)
{
    Buffer primary = packed(PLANE_COMPOSE_XR24, 48, 40, pattern);
    place(primary, 0, 0, 48, 40);
    constexpr uint32_t w = 21, h = 13;
    auto colour = [](uint32_t x, uint32_t y) {
        return DeepPixel{x / 20.0, 1 - y / 12.0, ((x * 7 + y * 3) % 17) / 16.0, ((x + y) % 5) / 4.0};
    };
    auto as_8 = [](double v) { return uint32_t(std::lround(v * 255)); };
    for (uint32_t f : kDeepPacked) {
        SCOPED_TRACE(std::string(reinterpret_cast<const char *>(&f), 4));
        const uint32_t bytes = deep_packed_bytes(f);
        Buffer deep;
        deep.plane.buffer_id = 1;
        deep.plane.format = f;
        deep.plane.width = w;
        deep.plane.height = h;
        deep.stride[0] = bytes * w + 6;
        deep.bytes[0].assign(size_t(deep.stride[0]) * h, 0x5a);
        std::vector<DeepPixel> held(w * h);
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x)
                held[y * w + x] = deep_put(f, colour(x, y), &deep.bytes[0][size_t(y) * deep.stride[0] + bytes * x]);
        Buffer eight =
            packed(deep_has_alpha(f) ? PLANE_COMPOSE_AR24 : PLANE_COMPOSE_XR24, w, h, [&](uint32_t x, uint32_t y) {
                const DeepPixel &p = held[y * w + x];
                return argb(as_8(p.a), as_8(p.r), as_8(p.g), as_8(p.b));
            });
        for (Buffer *b : {&deep, &eight})
            place(*b, 5, 3, 37, 30, UDS_ROTATE_0, 0xc000, UDS_BLEND_COVERAGE);
        Picture got, want;
        ASSERT_EQ(compose({&primary, &deep}, 48, 40, 0, &got), 0);
        ASSERT_EQ(compose({&primary, &eight}, 48, 40, 0, &want), 0);
        int worst = 0;
        for (size_t i = 0; i < got.bytes.size(); ++i)
            worst = std::max(worst, std::abs(int(got.bytes[i]) - int(want.bytes[i])));
        EXPECT_LE(worst, 1);  // a channel's 8-bit rounding may fall either side of a near tie
        EXPECT_NE(got.at(20, 20), pattern(20, 20) | 0xff000000u);

        deep.stride[0] = bytes * w - 1;
        testing::internal::CaptureStderr();
        EXPECT_EQ(compose({&primary, &deep}, 48, 40, 0, &got), -1);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("rows too short"), std::string::npos);
    }

    Buffer nv = nv12(w + 1, h + 1, video_pattern);
    Buffer p010 = nv;
    p010.plane.format = DEEP_P010;
    for (int i = 0; i < 2; ++i) {
        p010.stride[i] = 2 * nv.stride[i] + 4;
        p010.bytes[i].assign(size_t(p010.stride[i]) * (i ? (h + 2) / 2 : h + 1), 0);
        for (size_t r = 0; r * nv.stride[i] < nv.bytes[i].size(); ++r)
            for (uint32_t x = 0; x < nv.stride[i] && r * nv.stride[i] + x < nv.bytes[i].size(); ++x) {
                // 10-bit codes that round to the NV12 byte, low bits set as noise.
                const uint16_t code =
                    uint16_t(std::clamp(nv.bytes[i][r * nv.stride[i] + x] * 4 + int(x % 3) - 1, 0, 1023));
                const uint16_t sample = uint16_t(code << 6 | 0x2a);
                std::memcpy(&p010.bytes[i][r * p010.stride[i] + 2 * x], &sample, 2);
            }
    }
    for (Buffer *b : {&nv, &p010})
        place(*b, 2, 1, 40, 30, UDS_ROTATE_90, 0xffff);
    Picture got, want;
    ASSERT_EQ(compose({&primary, &p010}, 48, 40, 0, &got), 0);
    ASSERT_EQ(compose({&primary, &nv}, 48, 40, 0, &want), 0);
    EXPECT_TRUE(got.bytes == want.bytes);
}
