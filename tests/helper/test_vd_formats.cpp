// The virtual display's deeper pixel formats: what the scenario accepts, the
// ramp band each format holds at the bottom of its picture, the fill in each
// format's own codes, and the digits still reading once cut to 8 bits.
#include <gtest/gtest.h>
#include <drm_fourcc.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "apps/capture-helper/scenario.h"
#include "apps/capture-helper/vd_picture.h"
#include "tests/helper/display_stamp.h"

namespace {

constexpr uint32_t kW = 1000, kH = 480;

ScenarioFramebuffer parse_fb(const std::string &line, std::string *error)
{
    Scenario s;
    if (scenario_parse("device /dev/dri/card0\n" + line + "\n", "w", &s, error) != 0)
        return {};
    return s.devices[0].framebuffers.at(0);
}

// `bytes` little-endian bytes at p.
uint64_t raw(const uint8_t *p, size_t bytes)
{
    uint64_t v = 0;
    memcpy(&v, p, bytes);
    return v;
}

double half_value(uint16_t h)
{
    const int e = (h >> 10) & 31, m = h & 1023;
    return e ? std::ldexp(1.0 + m / 1024.0, e - 15) : std::ldexp(m, -24);
}

// The 8-bit green (luma for P010) of the pixel at p: what a reader of the
// digits cut to 8 bits sees.
uint8_t green8(uint32_t format, const uint8_t *p)
{
    const uint64_t v = raw(p, scenario_format(format)->bytes_per_pixel);
    switch (format) {
    case DRM_FORMAT_XRGB2101010:
    case DRM_FORMAT_ABGR2101010:
        return uint8_t(((v >> 10) & 1023) >> 2);
    case DRM_FORMAT_XRGB16161616:
        return uint8_t((v >> 24) & 0xff);
    case DRM_FORMAT_XBGR16161616F:
        return uint8_t(std::lround(std::clamp(half_value(uint16_t(v >> 16)), 0.0, 1.0) * 255));
    case DRM_FORMAT_RGB565:
        return uint8_t(((v >> 5) & 63) << 2);
    case DRM_FORMAT_P010:
        return uint8_t(v >> 8);
    default:
        return 0;
    }
}

TEST(VdFormats, NamesPitchesAndErrors)
{
    struct Case {
        const char *line;
        uint32_t pitch0, offset1;  // default pitch; offset of the chroma plane (0: one plane)
    };
    const Case cases[] = {
        {"framebuffer 1 100x10 XR30", 400, 0}, {"framebuffer 1 100x10 ab30", 400, 0},
        {"framebuffer 1 100x10 XR48", 800, 0}, {"framebuffer 1 100x10 AB48", 800, 0},
        {"framebuffer 1 100x10 AR4H", 800, 0}, {"framebuffer 1 100x10 XB4H", 800, 0},
        {"framebuffer 1 100x10 RG16", 200, 0}, {"framebuffer 1 100x10 P010", 200, 2000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        std::string error;
        const ScenarioFramebuffer f = parse_fb(c.line, &error);
        ASSERT_TRUE(error.empty()) << error;
        EXPECT_EQ(f.pitches[0], c.pitch0);
        EXPECT_EQ(f.offsets[1], c.offset1);
        EXPECT_EQ(f.size, c.offset1 ? c.offset1 * 3 / 2 : uint64_t(c.pitch0) * 10);
    }
    std::string error;
    parse_fb("framebuffer 1 101x10 P010", &error);
    EXPECT_NE(error.find("P010 needs an even width and height"), std::string::npos) << error;
    parse_fb("framebuffer 1 100x10 XR48 pitch=799", &error);
    EXPECT_NE(error.find("pitch '799' is below 800"), std::string::npos) << error;
    parse_fb("framebuffer 1 100x10 XR36", &error);
    EXPECT_NE(error.find("unknown pixel format 'XR36'"), std::string::npos) << error;
}

// Every deeper format at 1000x480: the ramp band's raw pixels at a few
// columns (the band is the bottom 8 rows), and the digits of blank 0 read
// from the green channel cut to 8 bits.
TEST(VdFormats, RampBandAndDigits)
{
    struct Probe {
        uint32_t x;
        uint64_t pixel;
    };
    struct Case {
        const char *name;
        uint32_t format;
        uint32_t read_as;  // the format green8 reads it as (same channel layout)
        std::vector<Probe> probes;
    };
    const Case cases[] = {
        {"XR30", DRM_FORMAT_XRGB2101010, DRM_FORMAT_XRGB2101010, {{0, 0}, {1, 0x00100401}, {500, 0x20080200}, {999, 0x3feffbfe}}},
        {"AB30", DRM_FORMAT_ABGR2101010, DRM_FORMAT_ABGR2101010, {{0, 0xc0000000}, {500, 0xe0080200}}},
        {"XR48", DRM_FORMAT_XRGB16161616, DRM_FORMAT_XRGB16161616, {{1, 0x0000004100410041ull}, {500, 0x0000800080008000ull}, {999, 0x0000ffbeffbeffbeull}}},
        {"AR48", DRM_FORMAT_ARGB16161616, DRM_FORMAT_XRGB16161616, {{500, 0xffff800080008000ull}}},
        {"XB4H", DRM_FORMAT_XBGR16161616F, DRM_FORMAT_XBGR16161616F, {{1, 0x0000140014001400ull}, {500, 0x0000380038003800ull}, {999, 0x00003bfc3bfc3bfcull}}},
        {"AR4H", DRM_FORMAT_ARGB16161616F, DRM_FORMAT_XBGR16161616F, {{500, 0x3c00380038003800ull}}},
        {"RG16", DRM_FORMAT_RGB565, DRM_FORMAT_RGB565, {{1, 0}, {500, 0x8410}, {999, 0xffff}}},
        {"P010", DRM_FORMAT_P010, DRM_FORMAT_P010, {{0, 64 << 6}, {500, 502 << 6}, {999, 940 << 6}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        const ScenarioFramebuffer desc = parse_fb("framebuffer 3 1000x480 " + std::string(c.name), &error);
        ASSERT_EQ(desc.format, c.format) << error;
        auto fb = vd_picture_make_buffer(desc, 1, 1234567ull * 1000000);
        ASSERT_TRUE(fb);
        const size_t bytes = size_t(scenario_format(c.format)->bytes_per_pixel);
        for (uint32_t row : {kH - 8, kH - 1})
            for (const Probe &p : c.probes) {
                EXPECT_EQ(raw(fb->map + size_t(row) * desc.pitches[0] + p.x * bytes, bytes), p.pixel)
                    << "x " << p.x << " row " << row;
            }
        // The row above the band is the picture's, not the ramp's.
        EXPECT_NE(raw(fb->map + size_t(kH - 9) * desc.pitches[0] + 500 * bytes, bytes), c.probes.back().pixel);
        std::vector<uint8_t> xrgb(size_t(kW) * kH * 4);
        for (uint32_t y = 0; y < kH; y++)
            for (uint32_t x = 0; x < kW; x++)
                xrgb[(size_t(y) * kW + x) * 4 + 1] = green8(c.read_as, fb->map + size_t(y) * desc.pitches[0] + x * bytes);
        RelaySourceStamp stamp{};
        ASSERT_TRUE(read_display_stamp(xrgb.data(), kW * 4, int(kW), int(kH), &stamp));
        EXPECT_EQ(stamp.blank, 0u);
        EXPECT_EQ(stamp.wall_ms, 1234567u);
    }
}

// A fill in each format's own codes: premultiplied where it has alpha, the
// NV12 values four times over (top bits) in P010.
TEST(VdFormats, FillInEachFormat)
{
    struct Case {
        const char *line;
        uint64_t pixel, chroma;
    };
    const Case cases[] = {
        {"AR30 fill=0x80ff0000", 0xa0200000, 0},
        {"XR30 fill=0x800000ff", 0x3ff, 0},
        {"XB48 fill=0xff00ff00", 0x00000000ffff0000ull, 0},
        {"AB4H fill=0xffffffff", 0x3c003c003c003c00ull, 0},
        {"RG16 fill=0xff0000ff", 0x001f, 0},
        {"P010 fill=0xffffffff", 235 << 8, 0x80008000u},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        std::string error;
        const ScenarioFramebuffer desc = parse_fb(std::string("framebuffer 3 64x32 ") + c.line, &error);
        ASSERT_TRUE(desc.filled) << error;
        auto fb = vd_picture_make_buffer(desc, 1, 0);
        ASSERT_TRUE(fb);
        const size_t bytes = size_t(scenario_format(desc.format)->bytes_per_pixel);
        for (uint32_t y : {0u, 31u}) {
            for (uint32_t x : {0u, 63u})
                EXPECT_EQ(raw(fb->map + y * desc.pitches[0] + x * bytes, bytes), c.pixel) << x << "," << y;
        }
        if (c.chroma) {
            EXPECT_EQ(raw(fb->map + desc.offsets[1] + 15 * desc.pitches[1] + 31 * 4, 4), c.chroma);
        }
    }
}

}  // namespace
