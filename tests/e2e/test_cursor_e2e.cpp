// The display's cursor plane in the stream: `capture` on a virtual display
// with a cursor (an opaque green 16x16 square with a translucent white band
// on its right and bottom), the stream recorded by the relay and decoded
// here. Each decoded picture carries the display's own blank stamp, so a
// frame's cursor can be compared with where the plane was at that blank.
#include <algorithm>
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e/system_fixture.h"
#include "tools/relay/watermark_reader.h"

namespace {

std::string world(const std::string &cursor)
{
    return "device /dev/dri/card1\n"
           "framebuffer 201 1280x720 XR24\n"
           "crtc 50 1280x720@60 fb=201\n"
           "encoder 80 crtc=50\n"
           "connector 100 DP-3 connected encoders=80\n" +
           cursor + "\n";
}

// Green in BT.709 limited range: Y 173, U 42, V 26.
bool green_at(const E2eFrame &f, int x, int y)
{
    const size_t c = size_t(y / 2) * size_t((f.width + 1) / 2) + size_t(x / 2);
    const int luma = f.luma[size_t(y) * size_t(f.width) + size_t(x)];
    return f.u[c] < 80 && f.v[c] < 80 && std::abs(luma - 173) < 30;
}

int luma_at(const E2eFrame &f, int x, int y)
{
    return f.luma[size_t(y) * size_t(f.width) + size_t(x)];
}

// The blank whose picture the frame shows, or -1 when its stamp does not read.
long long blank_of(const E2eFrame &f)
{
    RelaySourceStamp stamp{};
    if (relay_source_stamp_read(f.luma.data(), f.width, f.height, f.width, &stamp) != RELAY_WATERMARK_OK)
        return -1;
    return (long long)stamp.blank;
}

class CursorStream : public E2eSystem {
protected:
    void SetUp() override {}

    // Streams the world in mode for ms, records it and decodes the pictures.
    std::vector<E2eFrame> stream(const std::string &cursor, const std::string &mode,
                                 const std::vector<std::string> &extra, int ms, const std::string &name)
    {
        std::vector<E2eFrame> frames = stream_world(world(cursor), mode, extra, ms, name);
        for (const E2eFrame &f : frames) {
            EXPECT_EQ(f.width, 1280);
            EXPECT_FALSE(f.u.empty());
        }
        return frames;
    }
};

// Where the virtual display puts a moving cursor at blank b.
int path(int v0, int dv, long long b, int range)
{
    const long long period = 2LL * range;
    long long m = (v0 + dv * b) % period;
    if (m < 0)
        m += period;
    return int(m <= range ? m : period - m);
}

}  // namespace

// A still cursor over the blue bar: the green square where the plane puts it,
// the band lighter than the picture under it (what the same pixels show with
// --no-cursor), in the compatible and the balanced mode; with --no-cursor the
// picture shows there instead of the square.
TEST_F(CursorStream, StillCursorIsDrawnInEveryModeAndLeftOutOnRequest)
{
    const std::string cursor = "cursor crtc=50 32x32 at=1000,200";
    const std::vector<E2eFrame> left_out = stream(cursor, "balanced", {"--no-cursor"}, 2000, "no-cursor");
    ASSERT_GE(left_out.size(), 10u);
    std::vector<int> under;
    for (size_t i = 2; i < left_out.size(); ++i) {
        for (int y : {202, 207, 213})
            for (int x : {1002, 1007, 1013})
                ASSERT_FALSE(green_at(left_out[i], x, y)) << "frame " << i << " at " << x << "," << y;
        under.push_back(luma_at(left_out[i], 1018, 207));
    }
    // The picture under the band: the blue bar, but for the display's moving
    // square when it passes.
    std::nth_element(under.begin(), under.begin() + under.size() / 2, under.end());
    const int picture = under[under.size() / 2];
    e2e_stop(&capture_, SIGTERM, 3000);
    e2e_stop(&relay_, SIGTERM, 3000);

    for (const char *mode : {"compatible", "balanced"}) {
        SCOPED_TRACE(mode);
        const std::vector<E2eFrame> frames = stream(cursor, mode, {}, 2000, std::string("still-") + mode);
        ASSERT_GE(frames.size(), 10u);
        size_t band_lighter = 0;
        for (size_t i = 2; i < frames.size(); ++i) {
            const E2eFrame &f = frames[i];
            SCOPED_TRACE("frame " + std::to_string(i));
            for (int y : {202, 207, 213})
                for (int x : {1002, 1007, 1013})
                    ASSERT_TRUE(green_at(f, x, y)) << x << "," << y;
            // Just outside the square (±2 pixels of coding blur) it is not green.
            EXPECT_FALSE(green_at(f, 996, 207));
            EXPECT_FALSE(green_at(f, 1007, 196));
            EXPECT_FALSE(green_at(f, 1019, 207));
            // The band (x 1016..1019): half white over the picture under it.
            band_lighter += luma_at(f, 1018, 207) > picture + 25;
        }
        std::printf("[ report ] %s: %zu frames, band lighter than the picture under it (luma %d) in %zu\n", mode,
                    frames.size(), picture, band_lighter);
        // The display's moving square may pass under the band now and then.
        EXPECT_GE(band_lighter, (frames.size() - 2) * 8 / 10);
        e2e_stop(&capture_, SIGTERM, 3000);
        e2e_stop(&relay_, SIGTERM, 3000);
    }
}

// A cursor moving down and up the picture: in each frame its top edge is
// where the plane had it at the blank that frame shows (within one blank),
// on a display that page-flips.
TEST_F(CursorStream, MovingCursorFollowsThePlaneBlankByBlank)
{
    for (const char *mode : {"compatible", "balanced"}) {
        SCOPED_TRACE(mode);
        // A display that page-flips over three buffers, as a compositor
        // does: a picture stays as it is while it is on screen, so its stamp
        // names the blank the frame answers even when the capture runs late.
        const std::vector<E2eFrame> frames = stream("framebuffer 202 1280x720 XR24\n"
                                                    "framebuffer 203 1280x720 XR24\n"
                                                    "pageflip crtc=50 fbs=201,202,203\n"
                                                    "cursor crtc=50 32x32 at=1000,0 move=0,3",
                                                    mode, {}, 1500, std::string("moving-") + mode);
        // The first frames of a run may answer events that waited from
        // before it read them; from the fourth frame on each answers its own.
        size_t checked = 0;
        for (size_t i = 3; i < frames.size(); ++i) {
            const E2eFrame &f = frames[i];
            const long long blank = blank_of(f);
            if (blank < 0)
                continue;
            int top = -1;
            for (int y = 0; y < 720 && top < 0; y += 1)
                if (green_at(f, 1007, y))
                    top = y;
            ASSERT_GE(top, 0) << "frame " << i << " of blank " << blank << " shows no cursor";
            int best = 1 << 20;
            for (long long b = blank - 1; b <= blank + 1; ++b)
                best = std::min(best, std::abs(top - path(0, 3, b, 720 - 32)));
            EXPECT_LE(best, 2) << "frame " << i << " of blank " << blank << ": top at " << top << ", plane at "
                               << path(0, 3, blank, 720 - 32);
            checked++;
        }
        std::printf("[ report ] %s: %zu of %zu frames checked against the plane\n", mode, checked, frames.size());
        EXPECT_GE(checked, (frames.size() - 3) * 8 / 10);
        EXPECT_GE(checked, 20u);
        e2e_stop(&capture_, SIGTERM, 3000);
        e2e_stop(&relay_, SIGTERM, 3000);
    }
}

// Half over the right and the bottom edge the cursor is cut there, never
// wrapped to the other side; from the blank it is hidden it is gone.
TEST_F(CursorStream, CursorOverTheEdgesIsClippedAndHiddenIsGone)
{
    constexpr long long kHide = 150;
    for (const char *mode : {"compatible", "balanced"}) {
        SCOPED_TRACE(mode);
        const std::vector<E2eFrame> frames = stream("cursor crtc=50 32x32 at=1272,712 hide=" + std::to_string(kHide),
                                                    mode, {}, 3500, std::string("edge-") + mode);
        size_t shown = 0, hidden = 0;
        for (size_t i = 1; i < frames.size(); ++i) {
            const E2eFrame &f = frames[i];
            const long long blank = blank_of(f);
            SCOPED_TRACE("frame " + std::to_string(i) + " of blank " + std::to_string(blank));
            // Nothing wraps: the far corners stay clear.
            EXPECT_FALSE(green_at(f, 2, 714));
            EXPECT_FALSE(green_at(f, 1275, 2));
            EXPECT_FALSE(green_at(f, 2, 2));
            if (blank < 0)
                continue;
            if (blank < kHide - 1) {
                EXPECT_TRUE(green_at(f, 1275, 715));
                EXPECT_TRUE(green_at(f, 1279, 719));
                shown++;
            } else if (blank > kHide) {
                EXPECT_FALSE(green_at(f, 1275, 715));
                hidden++;
            }
        }
        std::printf("[ report ] %s: %zu frames with the cursor, %zu after it was hidden\n", mode, shown, hidden);
        EXPECT_GE(shown, 5u);
        EXPECT_GE(hidden, 5u);
        e2e_stop(&capture_, SIGTERM, 3000);
        e2e_stop(&relay_, SIGTERM, 3000);
    }
}

// One cursor buffer, drawn again (red and green by turns) and set again
// under a new framebuffer id every 30 blanks: each frame shows the picture of
// its blank, not the first one read.
TEST_F(CursorStream, RedrawnCursorBufferShowsItsNewPicture)
{
    constexpr long long kEvery = 30;
    // Red in BT.709 limited range: Y 63, U 102, V 240.
    auto red_at = [](const E2eFrame &f, int x, int y) {
        const size_t c = size_t(y / 2) * size_t((f.width + 1) / 2) + size_t(x / 2);
        return f.v[c] > 200 && std::abs(luma_at(f, x, y) - 63) < 30;
    };
    for (const char *mode : {"compatible", "balanced"}) {
        SCOPED_TRACE(mode);
        const std::vector<E2eFrame> frames = stream("cursor crtc=50 32x32 at=600,300 redraw=" + std::to_string(kEvery),
                                                    mode, {}, 2500, std::string("redraw-") + mode);
        size_t red = 0, green = 0, checked = 0, right = 0;
        for (size_t i = 2; i < frames.size(); ++i) {
            const long long blank = blank_of(frames[i]);
            // Frames within a blank of a redraw may show either picture.
            if (blank < 0 || blank % kEvery == 0 || blank % kEvery == kEvery - 1)
                continue;
            const bool is_red = red_at(frames[i], 607, 307), is_green = green_at(frames[i], 607, 307);
            red += is_red;
            green += is_green;
            right += (blank / kEvery) % 2 ? is_red : is_green;
            checked++;
        }
        std::printf("[ report ] %s: %zu frames checked, %zu red, %zu green, %zu as their blank drew it\n", mode,
                    checked, red, green, right);
        EXPECT_GE(red, 3u);
        EXPECT_GE(green, 3u);
        EXPECT_GE(right, checked * 9 / 10);
        e2e_stop(&capture_, SIGTERM, 3000);
        e2e_stop(&relay_, SIGTERM, 3000);
    }
}
