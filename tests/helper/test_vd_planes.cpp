// The virtual display's planes in-process: the scenario statements that
// describe them and their errors, and a turned CRTC's picture, which reads
// upright once turned back clockwise.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "apps/capture-helper/drm_module.h"
#include "apps/capture-helper/scenario.h"
#include "tests/helper/display_stamp.h"

namespace {

const std::string kHead = "device /dev/dri/card0\n"
                          "framebuffer 1 64x32 XR24\n"
                          "framebuffer 2 32x32 AR24 fill=0x80ff0000\n"
                          "crtc 5 64x32@60 fb=1\n"
                          "crtc 6 64x32@60\n";

TEST(ScenarioPlanes, StatementsAndTheirErrors)
{
    struct Case {
        const char *lines;
        const char *error;  // nullptr: accepted
    };
    const Case cases[] = {
        {"plane 9 crtc=5 fb=2 zpos=3 at=-4,5 size=16x8 src=1,2,30x29 alpha=100 blend=coverage rotate=270 reflect=x "
         "move=1,-1 encoding=bt709 range=full\n"
         "scanout crtc=5 fb=1 src=0,0,32x16 at=0,0 size=64x32 rotate=180\n"
         "pageflip plane=9 fbs=2,1 every=3\n"
         "connector 7 eDP-1 connected orientation=right-up hdr=hlg maxcll=500 primaries=bt709 mastering=600,5\n"
         "hdr 9 connector=7 hdr=pq colorspace=DCI-P3_RGB_D65\n"
         "crtc 8 32x64@60 fb=1 turned=90\n",
         nullptr},
        {"plane 9 crtc=5\n", "usage: plane ID crtc=ID fb=ID"},
        {"plane 9 crtc=7 fb=2\n", "plane 9 on unknown crtc 7"},
        {"plane 9 crtc=5 fb=3\n", "plane shows unknown framebuffer 3"},
        {"plane 9 crtc=5 fb=2 src=0,0,33x32\n", "plane src reaches past framebuffer 2"},
        {"plane 9 crtc=5 fb=2 src=0,0\n", "bad src '0,0'"},
        {"plane 9 crtc=5 fb=2 alpha=65536\n", "bad alpha '65536'"},
        {"plane 9 crtc=5 fb=2 blend=add\n", "bad blend 'add'"},
        {"plane 9 crtc=5 fb=2 rotate=45\n", "bad rotate '45'"},
        {"plane 9 crtc=5 fb=2 reflect=z\n", "bad reflect 'z'"},
        {"plane 9 crtc=5 fb=2 size=0x8\n", "bad size '0x8'"},
        {"plane 9 crtc=5 fb=2 hue=3\n", "unknown plane option 'hue'"},
        {"plane 9 crtc=5 fb=2 encoding=bt2021\n", "bad encoding 'bt2021'"},
        {"plane 9 crtc=5 fb=2 range=tv\n", "bad range 'tv'"},
        {"plane 1 crtc=5 fb=2\n", "id 1 used twice"},
        {"scanout crtc=5\n", "usage: scanout"},
        {"scanout crtc=5 fb=1 alpha=5\n", "unknown scanout option 'alpha'"},
        {"scanout crtc=5 fb=1\nscanout crtc=5 fb=1 at=1,1\n", "second scanout of framebuffer 1 on crtc 5"},
        {"framebuffer 3 8x8 AB24 fill=red\n", "bad fill 'red'"},
        {"connector 7 eDP-1 connected orientation=sideways\n", "bad orientation 'sideways'"},
        {"crtc 8 32x64@60 turned=45\n", "bad turned '45'"},
        {"connector 7 eDP-1 connected hdr=dolby\n", "bad hdr 'dolby'"},
        {"connector 7 eDP-1 connected maxcll=400\n", "HDR options on connector 7 need hdr="},
        {"connector 7 eDP-1 connected hdr=pq maxcll=70000\n", "bad maxcll '70000'"},
        {"connector 7 eDP-1 connected hdr=pq mastering=1000\n", "bad mastering '1000'"},
        {"connector 7 eDP-1 connected hdr=pq colorspace=bt2020\n", "bad colorspace 'bt2020'"},
        {"connector 7 eDP-1 connected hdr=pq primaries=p3\n", "bad primaries 'p3'"},
        {"connector 7 eDP-1 connected\nhdr 5 connector=7 hdr=pq\n", "hdr on connector 7 without hdr="},
        {"connector 7 eDP-1 connected hdr=off\nhdr 5 connector=7 maxcll=5\n", "usage: hdr VBLANK"},
        {"pageflip plane=9 fbs=2\n", "pageflip on unknown plane 9"},
        {"pageflip plane=9 crtc=5 fbs=2\n", "bad pageflip option 'crtc=5'"},
        // A mode change to a buffer of another size needs the buffer placed.
        {"mode 3 crtc=5 32x32@60 fb=1\n", "of another size"},
        {"mode 3 crtc=5 32x32@60 fb=1\nscanout crtc=5 fb=1 size=32x32\n", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lines);
        Scenario s;
        std::string error;
        const int rc = scenario_parse(kHead + c.lines, "w", &s, &error);
        if (!c.error) {
            EXPECT_EQ(rc, 0) << error;
            continue;
        }
        EXPECT_EQ(rc, -1);
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    Scenario s;
    std::string error;
    ASSERT_EQ(scenario_parse(kHead + cases[0].lines, "w", &s, &error), 0);
    const ScenarioPlane &p = s.devices[0].planes.at(0);
    EXPECT_EQ(p.view.rotation, uint32_t(DRM_MODE_ROTATE_270 | DRM_MODE_REFLECT_X));
    EXPECT_EQ(p.view.src_w, 30u);
    EXPECT_EQ(p.view.x, -4);
    EXPECT_EQ(p.blend, 1u);
    EXPECT_EQ(p.encoding, 1u);
    EXPECT_EQ(p.range, 1u);
    EXPECT_EQ(s.devices[0].pageflips.at(0).plane_id, 9u);
    const ScenarioConnector &c = s.devices[0].connectors.at(0);
    EXPECT_EQ(c.orientation, 3u);
    EXPECT_TRUE(c.has_hdr);
    EXPECT_EQ(c.hdr.eotf, 3u);
    EXPECT_EQ(c.hdr.colorspace, 9u);  // BT2020_RGB unless given
    EXPECT_EQ(c.hdr.primaries[0][0], 32000);
    EXPECT_EQ(c.hdr.max_mastering, 600);
    EXPECT_EQ(c.hdr.min_mastering, 5);
    const ScenarioHdrChange &change = s.devices[0].hdr_changes.at(0);
    EXPECT_EQ(change.at_vblank, 9u);
    EXPECT_EQ(change.hdr.eotf, 2u);
    EXPECT_EQ(change.hdr.colorspace, 11u);
    EXPECT_EQ(change.hdr.primaries[0][0], 35400);
    EXPECT_EQ(s.devices[0].crtcs.at(2).turned, 90u);
}

// The pixels of buffer fb turned clockwise by `degrees` (what a stream
// turned back shows), as XRGB8888 rows.
std::vector<uint8_t> turned_back(const uint8_t *px, uint32_t pitch, int w, int h, int degrees, int *out_w, int *out_h)
{
    const bool swap = degrees % 180 != 0;
    *out_w = swap ? h : w;
    *out_h = swap ? w : h;
    std::vector<uint8_t> out(size_t(*out_w) * *out_h * 4);
    for (int y = 0; y < *out_h; y++)
        for (int x = 0; x < *out_w; x++) {
            // Turning clockwise: the output's (x, y) comes from the buffer's
            int sx = x, sy = y;
            if (degrees == 90)
                sx = y, sy = h - 1 - x;
            else if (degrees == 180)
                sx = w - 1 - x, sy = h - 1 - y;
            else if (degrees == 270)
                sx = w - 1 - y, sy = x;
            memcpy(&out[(size_t(y) * *out_w + x) * 4], px + size_t(sy) * pitch + size_t(sx) * 4, 4);
        }
    return out;
}

TEST(TurnedCrtc, PictureReadsUprightWhenTurnedBackClockwise)
{
    for (int degrees : {0, 90, 180, 270}) {
        SCOPED_TRACE(degrees);
        const bool swap = degrees % 180 != 0;
        const std::string size = swap ? "480x832" : "832x480";
        const std::string world = "device /dev/dri/card0\nframebuffer 1 " + size + " XR24\ncrtc 5 " + size +
                                  "@60 fb=1" + (degrees ? " turned=" + std::to_string(degrees) : "") + "\n";
        const std::string path = "/tmp/vistrel-turned-" + std::to_string(getpid()) + ".txt";
        FILE *f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(world.c_str(), f);
        fclose(f);
        ASSERT_EQ(drm_module_init_with(path.c_str()), 0);
        unlink(path.c_str());
        DrmDevice dev(drm_device_open("/dev/dri/card0"));
        ASSERT_TRUE(dev);
        DrmFb2 fb(drm_get_fb2(dev.get(), 1));
        ASSERT_TRUE(fb);
        int prime = -1;
        ASSERT_EQ(drm_prime_handle_to_fd(dev.get(), fb->handles[0], DRM_CLOEXEC, &prime), 0);
        const size_t bytes = size_t(fb->pitches[0]) * fb->height;
        void *map = mmap(nullptr, bytes, PROT_READ, MAP_SHARED, prime, 0);
        close(prime);
        ASSERT_NE(map, MAP_FAILED);
        // The picture of a later blank, as it is redrawn in place.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        int w = 0, h = 0;
        RelaySourceStamp stamp{};
        bool read = false;
        for (int attempt = 0; attempt < 5 && !read; attempt++) {
            std::vector<uint8_t> upright = turned_back(static_cast<const uint8_t *>(map), fb->pitches[0],
                                                       int(fb->width), int(fb->height), degrees, &w, &h);
            read = read_display_stamp(upright.data(), size_t(w) * 4, w, h, &stamp);
        }
        EXPECT_TRUE(read) << "the counter does not read upright";
        EXPECT_GT(stamp.blank, 0u);
        EXPECT_EQ(w, 832);
        munmap(map, bytes);
        fb.reset();
        dev.reset();
        drm_module_shutdown();
    }
}

}  // namespace
