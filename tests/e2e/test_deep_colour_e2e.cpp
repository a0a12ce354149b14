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
#include "apps/capture/core/hdr_tone.h"
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

// The modes that run here: compatible on the processor and through the GL
// path (as where the GPU imports the scanout), balanced.
struct RunMode {
    const char *name, *mode;
    std::vector<std::string> args;
};
const RunMode kModes[] = {
    {"compatible", "compatible", {}}, {"compatgl", "compatible", {"--gl-readback"}}, {"balanced", "balanced", {}}};

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
    for (const RunMode &m : kModes) {
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

namespace {

// The connector of the HDR worlds: PQ, BT.2020, content up to 1000 cd/m2.
constexpr char kPqConnector[] = " hdr=pq maxcll=1000 maxfall=400 mastering=1000,50";

HdrSignal pq_signal()
{
    HdrSignal s;
    s.transfer = HDR_TRANSFER_PQ;
    s.bt2020 = true;
    s.max_cll = 1000;
    s.max_fall = 400;
    s.max_mastering_luminance = 1000;
    s.min_mastering_luminance = 50;
    return s;
}

// Runs a shell command; its standard output.
std::string command_output(const std::string &command)
{
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

}  // namespace

// A PQ desktop streamed without --hdr: the chart tone-mapped to SDR BT.709
// by the BT.2390 curve, each patch within 2 of the reference (mid grey, the
// PQ code of 100 cd/m2, among them), and the highlights up to the
// content's peak rolled off in order, not clipped.
TEST_F(DeepColour, PqChartIsToneMappedToSdr)
{
    const std::string text = world(kPqConnector, "framebuffer 201 1920x1080 XR30 pattern=chart\n");
    const HdrToneMap map = hdr_tone_map_for(pq_signal());
    for (const RunMode &m : kModes) {
        SCOPED_TRACE(m.name);
        const std::vector<E2eFrame> frames = stream_world(text, m.mode, m.args, 1500, std::string("pq-") + m.name);
        ASSERT_GE(frames.size(), 3u);
        const E2eFrame &f = frames.back();
        std::vector<double> luma, reference;
        for (int i = 0; i < VD_CHART_PATCHES; ++i) {
            double rgb[3], sdr[3], want[3];
            ASSERT_TRUE(vd_picture_chart_value(deep_fourcc('X', 'R', '3', '0'), i, rgb));
            hdr_tone_map_rgb(map, rgb, sdr);
            hdr_rgb_to_ycbcr709(sdr, want);
            const VdRect r = vd_picture_chart_patch(1920, 1080, i);
            const Yuv got = mean_at(f, (r.x + r.w / 2) & ~1, (r.y + r.h / 2) & ~1);
            luma.push_back(got.y);
            reference.push_back(want[0]);
            EXPECT_NEAR(got.y, want[0], 2.0) << "patch " << i;
            EXPECT_NEAR(got.u, want[1], 2.0) << "patch " << i;
            EXPECT_NEAR(got.v, want[2], 2.0) << "patch " << i;
            if (i == 3)
                std::printf("[ report ] %s: mid grey (PQ 100 cd/m2) luma %.2f, reference %.2f\n", m.name, got.y,
                            want[0]);
        }
        // Patches 3 to 7: 100, about 240, 390, 620 and 980 cd/m2, all up to
        // the content's peak: the curve rolls them off, each brighter than
        // the one before, and the stream keeps their order.
        for (int i = 4; i <= 7; ++i) {
            EXPECT_GT(reference[size_t(i)], reference[size_t(i - 1)]) << "patch " << i;
            EXPECT_GE(luma[size_t(i)], luma[size_t(i - 1)] - 0.5) << "patch " << i << " is darker";
        }
        EXPECT_GT(luma[7], luma[3] + 20.0);
        e2e_stop(&capture_, SIGTERM, 3000);
        e2e_stop(&relay_, SIGTERM, 3000);
    }
}

// --hdr on the PQ desktop: a 10-bit H.265 stream whose decoded pictures keep
// the ramp band's 10-bit steps (nearly every luma code across it), with
// PQ and BT.2020 in the stream and the connector's mastering metadata as
// side data.
TEST_F(DeepColour, HdrStreamKeepsTenBitsAndSignalsPq)
{
    const std::string text = world(kPqConnector, "framebuffer 201 1920x1080 XR30\n");
    for (const char *mode : {"compatible", "balanced"}) {
        SCOPED_TRACE(mode);
        const std::string name = std::string("hdr-") + mode, file = "/tmp/" + name + ".mkv";
        stream_world(text, mode, {"--hdr"}, 2500, name, nullptr, {"--codec", "h265", "--query-config"});
        const std::string probe = command_output(
            "ffprobe -v error -select_streams v:0 -read_intervals %+#3 -show_frames -show_entries "
            "frame=pix_fmt,color_transfer,color_primaries,color_space:frame_side_data "
            "-of default=noprint_wrappers=1 " +
            file);
        EXPECT_NE(probe.find("pix_fmt=yuv420p10le"), std::string::npos) << probe;
        EXPECT_NE(probe.find("color_transfer=smpte2084"), std::string::npos) << probe;
        EXPECT_NE(probe.find("color_primaries=bt2020"), std::string::npos) << probe;
        EXPECT_NE(probe.find("side_data_type=Mastering display metadata"), std::string::npos) << probe;
        EXPECT_NE(probe.find("max_luminance=10000000/10000"), std::string::npos) << probe;
        EXPECT_NE(probe.find("side_data_type=Content light level metadata"), std::string::npos) << probe;
        EXPECT_NE(probe.find("max_content=1000"), std::string::npos) << probe;
        EXPECT_NE(probe.find("max_average=400"), std::string::npos) << probe;

        // The last picture's ramp band (the bottom 8 rows), 10-bit luma.
        const std::string raw = "/tmp/" + name + ".yuv";
        command_output("ffmpeg -v error -y -sseof -0.5 -i " + file +
                       " -frames:v 1 -f rawvideo -pix_fmt yuv420p10le " + raw);
        FILE *in = std::fopen(raw.c_str(), "rb");
        ASSERT_NE(in, nullptr);
        std::vector<uint16_t> luma(size_t(1920) * 1080);
        ASSERT_EQ(std::fread(luma.data(), 2, luma.size(), in), luma.size());
        std::fclose(in);
        std::vector<bool> seen(1024);
        size_t codes = 0;
        for (int y = 1080 - 6; y < 1080 - 2; ++y)
            for (int x = 0; x < 1920; ++x) {
                const uint16_t v = luma[size_t(y) * 1920 + size_t(x)] & 1023;
                codes += !seen[v];
                seen[v] = true;
            }
        // A black-to-white ramp has 877 luma codes in limited range (64 to
        // 940, as HDR10 streams are; an 8-bit stream has 220): more than nine
        // in ten must survive the encoder.
        std::printf("[ report ] %s --hdr: %zu distinct 10-bit luma codes across the ramp (of 877)\n", mode, codes);
        EXPECT_GT(codes, 800u);
        e2e_stop(&capture_, SIGTERM, 3000);
        e2e_stop(&relay_, SIGTERM, 3000);
    }
}

// P010 on the primary plane, where the GPU does not import it: read on the
// processor and drawn as a layer by the GPU modes, its chart within 2 of
// the reference in every mode.
TEST_F(DeepColour, P010PrimaryPlaneInEveryMode)
{
    const std::string text = world("", "framebuffer 201 1920x1080 P010 pattern=chart\n");
    for (const RunMode &m : kModes) {
        SCOPED_TRACE(m.name);
        const std::vector<E2eFrame> frames = stream_world(text, m.mode, m.args, 1500, std::string("p010-") + m.name);
        ASSERT_GE(frames.size(), 3u);
        const E2eFrame &f = frames.back();
        for (int i = 0; i < VD_CHART_PATCHES; ++i) {
            double rgb[3];
            ASSERT_TRUE(vd_picture_chart_value(deep_fourcc('P', '0', '1', '0'), i, rgb));
            const VdRect r = vd_picture_chart_patch(1920, 1080, i);
            const Yuv want = bt709(rgb), got = mean_at(f, (r.x + r.w / 2) & ~1, (r.y + r.h / 2) & ~1);
            EXPECT_NEAR(got.y, want.y, 2.0) << "patch " << i;
            EXPECT_NEAR(got.u, want.u, 2.0) << "patch " << i;
            EXPECT_NEAR(got.v, want.v, 2.0) << "patch " << i;
        }
        e2e_stop(&capture_, SIGTERM, 3000);
        e2e_stop(&relay_, SIGTERM, 3000);
    }
}
