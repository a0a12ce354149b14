// Every plane of the CRTC in the stream: `capture` on virtual displays whose
// primary plane shows a buffer of another size or a part of one, with
// overlay planes over it, and turned pictures, the stream recorded by the
// relay and decoded here. The display's own stamp (its blank number, drawn
// into each buffer's bottom-left corner) tells whether the picture was
// scaled, cropped and turned as the display shows it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "tests/e2e/system_fixture.h"
#include "tools/relay/watermark_reader.h"

namespace {

std::string world(const std::string &crtc, const std::string &rest, const std::string &connector_extra = "")
{
    return "device /dev/dri/card1\n" + crtc + "\nencoder 80 crtc=50\nconnector 100 DP-3 connected encoders=80" +
           connector_extra + "\n" + rest;
}

// The display's stamp of the frame read at its own size, or at half the
// stream's size (every other pixel of every other row): which one reads
// tells how the buffer was scaled. -1 when neither reads.
long long stamp_at(const E2eFrame &f, int scale)
{
    std::vector<uint8_t> luma;
    const uint8_t *plane = f.luma.data();
    int width = f.width, height = f.height;
    if (scale == 2) {
        width /= 2;
        height /= 2;
        luma.resize(size_t(width) * size_t(height));
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                luma[size_t(y) * size_t(width) + size_t(x)] = f.luma[size_t(2 * y) * size_t(f.width) + size_t(2 * x)];
        plane = luma.data();
    }
    RelaySourceStamp stamp{};
    if (relay_source_stamp_read(plane, width, height, width, &stamp) != RELAY_WATERMARK_OK)
        return -1;
    return (long long)stamp.blank;
}

struct Yuv {
    double y, u, v;
};

// BT.709 limited range of 8-bit RGB.
Yuv bt709(double r, double g, double b)
{
    const double luma = 0.2126 * r + 0.7152 * g + 0.0722 * b;
    return {16 + luma * 219 / 255, 128 + (b - luma) / 1.8556 * 224 / 255, 128 + (r - luma) / 1.5748 * 224 / 255};
}

// The frame's colour at (x, y), chroma from its 2x2 block.
Yuv yuv_at(const E2eFrame &f, int x, int y)
{
    const size_t c = size_t(y / 2) * size_t((f.width + 1) / 2) + size_t(x / 2);
    return {double(f.luma[size_t(y) * size_t(f.width) + size_t(x)]), double(f.u[c]), double(f.v[c])};
}

class PlaneStream : public E2eSystem {
protected:
    void SetUp() override {}
};

}  // namespace

// A fullscreen application scanned out directly: a 1280x720 buffer on a
// 2560x1440 CRTC through the primary plane's rectangles, flipped with a
// buffer of the CRTC's size. One stream at the CRTC's size throughout, the
// small buffer's stamp reading at twice its size; and a cropped primary
// plane shows only its source rectangle, scaled to the CRTC.
TEST_F(PlaneStream, ScaledAndCroppedPrimaryKeepOneStreamAtTheModesSize)
{
    for (const char *mode : {"compatible", "balanced"}) {
        SCOPED_TRACE(mode);
        bool restarted = true;
        const std::vector<E2eFrame> frames =
            stream_world(world("crtc 50 2560x1440@60 fb=201",
                         "framebuffer 201 2560x1440 XR24\nframebuffer 202 1280x720 XR24\n"
                         "scanout crtc=50 fb=202 size=2560x1440\npageflip crtc=50 fbs=201,202 every=20\n"),
                   mode, {}, 2500, std::string("scaled-") + mode, &restarted);
        EXPECT_FALSE(restarted) << "the flip to another size started a new stream";
        EXPECT_EQ(e2e_stderr(&capture_).find("restarting"), std::string::npos) << logs(capture_);
        size_t whole = 0, doubled = 0;
        for (const E2eFrame &f : frames) {
            ASSERT_EQ(f.width, 2560);
            ASSERT_EQ(f.height, 1440);
            if (stamp_at(f, 1) >= 0)
                whole++;
            else if (stamp_at(f, 2) >= 0)
                doubled++;
        }
        std::printf("[ report ] %s: %zu frames, %zu of the large buffer, %zu of the small one at twice its size\n",
                    mode, frames.size(), whole, doubled);
        EXPECT_GE(whole, 3u);
        EXPECT_GE(doubled, 3u);
        EXPECT_GE(whole + doubled, frames.size() * 8 / 10);
        e2e_stop(&capture_, SIGTERM, 3000);
        e2e_stop(&relay_, SIGTERM, 3000);
    }

    // The bottom-left quarter of the buffer on the whole CRTC: its stamp at
    // twice its size, nothing at the buffer's own.
    const std::vector<E2eFrame> cropped =
        stream_world(world("crtc 50 1664x960@60 fb=201",
                     "framebuffer 201 1664x960 XR24\nscanout crtc=50 fb=201 src=0,480,832x480\n"),
               "compatible", {}, 1500, "cropped");
    size_t doubled = 0;
    for (const E2eFrame &f : cropped) {
        EXPECT_LT(stamp_at(f, 1), 0);
        doubled += stamp_at(f, 2) >= 0;
    }
    EXPECT_GE(doubled, cropped.size() * 8 / 10);
}

// Overlays over a blue primary: an opaque green one, under it (by zpos,
// though listed later) a red one at half plane alpha crossing it, and a
// half-transparent red one (the display stores it premultiplied): each area
// within 3 of its colour.
TEST_F(PlaneStream, OverlaysBlendInZposOrderWithTheirAlpha)
{
    const std::string planes = "framebuffer 201 1280x720 XR24 fill=0xff0000ff\n"
                               "framebuffer 301 200x100 XR24 fill=0xff00ff00\n"
                               "framebuffer 302 200x100 XR24 fill=0xffff0000\n"
                               "framebuffer 303 100x100 AR24 fill=0x80800000\n"
                               "plane 61 crtc=50 fb=301 zpos=3 at=100,200\n"
                               "plane 62 crtc=50 fb=302 zpos=2 at=200,250 alpha=32768\n"
                               "plane 63 crtc=50 fb=303 zpos=4 at=600,200\n";
    const Yuv blue = bt709(0, 0, 255), green = bt709(0, 255, 0), red_on_blue = bt709(127.5, 0, 127.5);
    const double a = 128.0 / 255;
    const Yuv half_red = bt709(128 * a, 0, 255 * (1 - a));
    struct Spot {
        const char *what;
        int x, y;
        Yuv expected;
    } spots[] = {
        // Below the capture's own watermark (rows 50 to 130).
        {"primary", 40, 500, blue},
        {"opaque overlay", 150, 220, green},
        {"crossing, under it", 250, 280, green},
        {"half alpha", 350, 320, red_on_blue},
        {"per-pixel alpha", 650, 250, half_red},
    };
    // Video on an overlay: NV12 (the display stores the colour in BT.601
    // limited range), scaled.
    const std::string video = "framebuffer 201 1280x720 XR24 fill=0xff0000ff\n"
                              "framebuffer 304 64x64 NV12 fill=0xff00ff00\n"
                              "plane 64 crtc=50 fb=304 at=300,300 size=128x128\n";
    const Spot video_spots[] = {{"primary", 40, 500, blue}, {"video", 360, 360, green}};
    struct World {
        const char *name;
        const std::string &text;
        const Spot *spots;
        size_t count;
    } worlds[] = {{"overlays", planes, spots, std::size(spots)}, {"video", video, video_spots, std::size(video_spots)}};
    // The compatible mode on the processor and through the GL path (as where
    // the GPU imports the scanout), the balanced mode.
    const struct {
        const char *name, *mode;
        std::vector<std::string> args;
    } modes[] = {
        {"compatible", "compatible", {}}, {"compatgl", "compatible", {"--gl-readback"}}, {"balanced", "balanced", {}}};
    for (const World &w : worlds)
        for (const auto &m : modes) {
            SCOPED_TRACE(std::string(w.name) + " " + m.name);
            const std::vector<E2eFrame> frames = stream_world(world("crtc 50 1280x720@60 fb=201", w.text), m.mode, m.args,
                                                        1500, std::string(w.name) + "-" + m.name);
            ASSERT_GE(frames.size(), 5u);
            const E2eFrame &f = frames[frames.size() / 2];
            for (const Spot &s : std::vector<Spot>(w.spots, w.spots + w.count)) {
                const Yuv got = yuv_at(f, s.x, s.y);
                EXPECT_NEAR(got.y, s.expected.y, 3) << s.what;
                EXPECT_NEAR(got.u, s.expected.u, 3) << s.what;
                EXPECT_NEAR(got.v, s.expected.v, 3) << s.what;
            }
            e2e_stop(&capture_, SIGTERM, 3000);
            e2e_stop(&relay_, SIGTERM, 3000);
        }
}

// A picture drawn turned a quarter counter-clockwise (for a panel mounted
// left side up, or a screen its user turned) streams upright, at the turned
// size, from the panel's orientation or from --rotate 90.
TEST_F(PlaneStream, TurnedPicturesStreamUpright)
{
    struct Case {
        const char *name, *connector;
        std::vector<std::string> args;
    } cases[] = {
        {"panel", " orientation=left-up", {}},
        {"rotate", "", {"--rotate", "90"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<E2eFrame> frames =
            stream_world(world("crtc 50 480x832@60 fb=201 turned=90", "framebuffer 201 480x832 XR24\n", c.connector),
                   "compatible", c.args, 1500, std::string("turned-") + c.name);
        size_t read = 0;
        for (const E2eFrame &f : frames) {
            ASSERT_EQ(f.width, 832);
            ASSERT_EQ(f.height, 480);
            read += stamp_at(f, 1) >= 0;
        }
        EXPECT_GE(read, frames.size() * 8 / 10) << read << " of " << frames.size();
        e2e_stop(&capture_, SIGTERM, 3000);
        e2e_stop(&relay_, SIGTERM, 3000);
    }
}

// A thousand flips of an overlay plane (at 240 Hz): the worker holds as many
// descriptors at the end as after its first second.
TEST_F(PlaneStream, DescriptorsStayFlatOverAThousandOverlayFlips)
{
    EXPECT_EQ(e2e_write_file("/tmp/world.txt",
                             world("crtc 50 1280x720@240 fb=201",
                                   "framebuffer 201 1280x720 XR24\nframebuffer 301 320x200 AR24\n"
                                   "framebuffer 302 320x200 AR24\nframebuffer 303 320x200 AR24\n"
                                   "plane 61 crtc=50 fb=301 at=100,100\npageflip plane=61 fbs=301,302,303\n")),
              0);
    ASSERT_EQ(e2e_start_helper(&helper_, "/tmp/world.txt"), 0) << logs(helper_);
    ASSERT_EQ(e2e_start_relay(&relay_, {"--udp-port", "0"}), 0) << e2e_stderr(&relay_);
    ASSERT_EQ(e2e_start_capture(&capture_, {"-m", "compatible"}), 0);
    ASSERT_TRUE(e2e_wait_for_text(&capture_, "FPS t=", 15000)) << logs(capture_);
    const pid_t worker = e2e_wait_child(capture_.pid, 1000);
    ASSERT_GT(worker, 0);
    // The fewest of ten samples: a buffer's descriptors are in flight for a
    // moment at nearly every blank.
    auto settled = [&] {
        int fewest = 1 << 20;
        for (int i = 0; i < 10; ++i) {
            fewest = std::min(fewest, e2e_fd_count(worker));
            e2e_sleep_ms(20);
        }
        return fewest;
    };
    e2e_sleep_ms(1000);
    const int before = settled();
    e2e_sleep_ms(4200);
    EXPECT_EQ(settled(), before);
    EXPECT_EQ(e2e_children(capture_.pid), std::vector<pid_t>{worker});
}
