// Deep-colour and HDR displays end to end: the virtual display scans out
// test charts in every deep format, `capture` streams them, the relay
// records the stream and the decoded pictures are compared with the
// floating-point reference of the chart's patches.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "apps/capture-helper/vd_picture.h"
#include "apps/capture/core/deep_formats.h"
#include "tests/e2e/system_fixture.h"

namespace {

constexpr int kTileW = 480, kTileH = 220, kTileTop = 200;  // below every watermark
// A chart buffer as a tile shows it: the patches below its black top rows.
constexpr uint32_t kChartW = kTileW, kChartH = VD_CHART_TOP_ROWS + kTileH;

struct Yuv {
    double y, u, v;
};

// BT.709 limited range of R', G', B' fractions, unrounded.
Yuv bt709(const double rgb[3])
{
    const double luma = 0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2];
    return {16 + 219 * luma, 128 + 224 * (rgb[2] - luma) / 1.8556, 128 + 224 * (rgb[0] - luma) / 1.5748};
}

// The mean of a frame's 8x8 luma block and its 4x4 chroma blocks around (x, y)
// (x, y even).
Yuv mean_at(const E2eFrame &f, int x, int y)
{
    Yuv sum{0, 0, 0};
    for (int dy = -4; dy < 4; ++dy)
        for (int dx = -4; dx < 4; ++dx)
            sum.y += f.luma[size_t(y + dy) * size_t(f.width) + size_t(x + dx)];
    const int cw = (f.width + 1) / 2;
    for (int dy = -2; dy < 2; ++dy)
        for (int dx = -2; dx < 2; ++dx) {
            const size_t c = size_t(y / 2 + dy) * size_t(cw) + size_t(x / 2 + dx);
            sum.u += f.u[c];
            sum.v += f.v[c];
        }
    return {sum.y / 64, sum.u / 16, sum.v / 16};
}

std::string world(const std::string &connector_extra, const std::string &rest)
{
    return "device /dev/dri/card1\ncrtc 50 1920x1080@60 fb=201\nencoder 80 crtc=50\n"
           "connector 100 DP-3 connected encoders=80" +
           connector_extra + "\n" + rest;
}

const char *const kDeepFormats[] = {"XR30", "AR30", "XB30", "AB30", "XR48", "AR48", "XB48",
                                    "AB48", "XR4H", "AR4H", "XB4H", "AB4H", "RG16", "P010"};

class DeepColour : public E2eSystem {
protected:
    void SetUp() override {}
};

}  // namespace

// Every deep format at once, one overlay plane each showing its chart's
// patches unscaled in a tile over a black primary plane: each patch of the
// decoded stream within 2 of the reference, in the compatible mode on the
// processor and through the GL path, and in the balanced mode.
TEST_F(DeepColour, EveryFormatsChartInEveryMode)
{
    std::string rest = "framebuffer 201 1920x1080 XR24 fill=0xff000000\n";
    for (size_t t = 0; t < std::size(kDeepFormats); ++t) {
        const int id = 301 + int(t), x = kTileW * int(t % 4), y = kTileTop + kTileH * int(t / 4);
        rest += "framebuffer " + std::to_string(id) + " " + std::to_string(kChartW) + "x" + std::to_string(kChartH) +
                " " + kDeepFormats[t] + " pattern=chart\n";
        rest += "plane " + std::to_string(61 + t) + " crtc=50 fb=" + std::to_string(id) +
                " zpos=" + std::to_string(1 + t) + " at=" + std::to_string(x) + "," + std::to_string(y) +
                " src=0," + std::to_string(VD_CHART_TOP_ROWS) + "," + std::to_string(kTileW) + "x" +
                std::to_string(kTileH) + "\n";
    }
    const struct {
        const char *name, *mode;
        std::vector<std::string> args;
    } modes[] = {
        {"compatible", "compatible", {}}, {"compatgl", "compatible", {"--gl-readback"}}, {"balanced", "balanced", {}}};
    for (const auto &m : modes) {
        SCOPED_TRACE(m.name);
        const std::vector<E2eFrame> frames =
            stream_world(world("", rest), m.mode, m.args, 2000, std::string("charts-") + m.name);
        ASSERT_GE(frames.size(), 3u);
        const E2eFrame &f = frames.back();
        ASSERT_EQ(f.width, 1920);
        double worst = 0;
        for (size_t t = 0; t < std::size(kDeepFormats); ++t) {
            const char *n = kDeepFormats[t];
            const uint32_t fourcc = deep_fourcc(n[0], n[1], n[2], n[3]);
            for (int i = 0; i < VD_CHART_PATCHES; ++i) {
                double rgb[3];
                ASSERT_TRUE(vd_picture_chart_value(fourcc, i, rgb));
                const VdRect r = vd_picture_chart_patch(kChartW, kChartH, i);
                const int cx = kTileW * int(t % 4) + r.x + r.w / 2,
                          cy = kTileTop + kTileH * int(t / 4) + r.y - VD_CHART_TOP_ROWS + r.h / 2;
                const Yuv want = bt709(rgb), got = mean_at(f, cx & ~1, cy & ~1);
                const double error =
                    std::max({std::abs(got.y - want.y), std::abs(got.u - want.u), std::abs(got.v - want.v)});
                worst = std::max(worst, error);
                EXPECT_LE(error, 2.0) << kDeepFormats[t] << " patch " << i << ": got " << got.y << "," << got.u << ","
                                      << got.v << " want " << want.y << "," << want.u << "," << want.v;
            }
        }
        std::printf("[ report ] %s: %zu frames, worst difference from the reference over %zu formats x %d patches: "
                    "%.2f\n",
                    m.name, frames.size(), std::size(kDeepFormats), VD_CHART_PATCHES, worst);
        e2e_stop(&capture_, SIGTERM, 3000);
        e2e_stop(&relay_, SIGTERM, 3000);
    }
}

// A display scanning out a format capture does not read (packed 4:2:2):
// one line naming it, and capture ends with a failure instead of streaming
// a wrong picture, in every mode that runs here.
TEST_F(DeepColour, UnknownFormatIsNamedAndEndsTheRun)
{
    ASSERT_EQ(e2e_write_file("/tmp/world.txt", world("", "framebuffer 201 1920x1080 YUYV\n")), 0);
    for (const char *mode : {"compatible", "balanced"}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(e2e_start_helper(&helper_, "/tmp/world.txt"), 0) << logs(helper_);
        ASSERT_EQ(e2e_start_relay(&relay_, {"--udp-port", "0"}), 0) << e2e_stderr(&relay_);
        ASSERT_EQ(e2e_start_capture(&capture_, {"-m", mode}), 0);
        EXPECT_TRUE(e2e_wait_exit(&capture_, 20000)) << logs(capture_);
        EXPECT_FALSE(e2e_exited_with(&capture_, 0)) << logs(capture_);
        const std::string log = logs(capture_);
        EXPECT_NE(log.find("YUYV"), std::string::npos) << log;
        EXPECT_EQ(e2e_count(log, "FPS t="), 0) << log;
        e2e_stop(&capture_, SIGTERM, 3000);
        e2e_stop(&relay_, SIGTERM, 3000);
        e2e_stop(&helper_, SIGTERM, 3000);
    }
}
