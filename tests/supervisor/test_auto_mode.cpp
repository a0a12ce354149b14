// `-m auto`: the option itself, and the choice for every combination of
// what opens on a machine.
#include "apps/capture/supervisor/auto_mode.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "apps/capture/core/capture_config.h"
#include "apps/capture/supervisor/command_line.h"

TEST(AutoMode, ChoiceForEveryCombinationOfWhatOpens)
{
    struct Case {
        bool opens, encodes, hardware;
        int32_t mode;
        const char *reason;
    };
    const Case cases[] = {
        {true, true, true, CAPTURE_MODE_FAST, "VA-API on /dev/dri/renderD128 encodes H.264"},
        {true, true, false, CAPTURE_MODE_FAST, "VA-API on /dev/dri/renderD128 encodes H.264"},
        {true, false, true, CAPTURE_MODE_BALANCED,
         "VA-API on /dev/dri/renderD128 has no H.264 encoder; GL renderer R is a hardware one"},
        {true, false, false, CAPTURE_MODE_COMPATIBLE,
         "VA-API on /dev/dri/renderD128 has no H.264 encoder; GL renderer R is a software one"},
        {false, false, true, CAPTURE_MODE_BALANCED,
         "no VA-API device opens on /dev/dri/renderD128; GL renderer R is a hardware one"},
        {false, false, false, CAPTURE_MODE_COMPATIBLE,
         "no VA-API device opens on /dev/dri/renderD128; GL renderer R is a software one"},
        // An encoder is never reported without its device; if it were, the
        // device that did not open decides.
        {false, true, true, CAPTURE_MODE_BALANCED,
         "no VA-API device opens on /dev/dri/renderD128; GL renderer R is a hardware one"},
        {false, true, false, CAPTURE_MODE_COMPATIBLE,
         "no VA-API device opens on /dev/dri/renderD128; GL renderer R is a software one"},
    };
    for (const Case &c : cases) {
        const AutoModeProbe probe{c.opens, c.encodes, c.hardware, "R", CODEC_TYPE_H264};
        char reason[256];
        EXPECT_EQ(capture_auto_mode_choose(&probe, reason, sizeof reason), c.mode)
            << c.opens << c.encodes << c.hardware;
        EXPECT_EQ(std::string(reason), c.reason);
    }
    // The codec named is the one probed; no renderer reads "none".
    const AutoModeProbe vp9{true, false, false, nullptr, CODEC_TYPE_VP9};
    char reason[256];
    EXPECT_EQ(capture_auto_mode_choose(&vp9, reason, sizeof reason), CAPTURE_MODE_COMPATIBLE);
    EXPECT_EQ(std::string(reason),
              "VA-API on /dev/dri/renderD128 has no VP9 encoder; GL renderer none is a software one");
}

TEST(AutoMode, SoftwareRenderersByName)
{
    for (const char *soft :
         std::initializer_list<const char *>{"llvmpipe (LLVM 15.0.6, 256 bits)", "softpipe", "Mesa OffScreen swrast",
                                             "Google SwiftShader", "Software Rasterizer", "", nullptr})
        EXPECT_TRUE(capture_gl_renderer_is_software(soft)) << (soft ? soft : "null");
    for (const char *hard : {"Mesa Intel(R) UHD Graphics 620 (KBL GT2)", "AMD Radeon RX 6600 (navi23, LLVM 15.0.6)",
                             "NVIDIA GeForce RTX 3060/PCIe/SSE2"})
        EXPECT_FALSE(capture_gl_renderer_is_software(hard)) << hard;
}

TEST(AutoMode, OptionSelectsAutoAndTheDefaultStaysFast)
{
    std::string program = "capture", option = "-m", value = "auto";
    char *argv[] = {program.data(), option.data(), value.data(), nullptr};
    CaptureConfig config = capture_config_default();
    EXPECT_EQ(config.mode, CAPTURE_MODE_FAST);
    ASSERT_EQ(capture_parse_command_line(3, argv, &config), 0);
    EXPECT_EQ(config.mode, CAPTURE_MODE_AUTO);
}

// The same-frame read-back: always on a software renderer, on a hardware one
// only when the measured read-back fits in a quarter of the interval (the
// edge included), never when it could not be measured. The option sets it
// without auto; the default is off.
TEST(AutoMode, SameFrameReadBackWhereTheReadBackIsCheap)
{
    struct Case {
        bool hardware;
        double readback_ms;
        bool on;
    };
    const Case cases[] = {{false, -1.0, true}, {false, 30.0, true}, {true, 1.0, true},
                          {true, 4.0, true},   {true, 4.5, false},  {true, -1.0, false}};
    for (const Case &c : cases) {
        const AutoReadbackProbe probe{c.hardware, "R", 1280, 720, c.readback_ms, 16.0};
        char reason[320];
        EXPECT_EQ(capture_auto_readback_choose(&probe, reason, sizeof reason), c.on)
            << c.hardware << " " << c.readback_ms << ": " << reason;
    }
    const AutoReadbackProbe soft{false, "llvmpipe", 1280, 720, -1.0, 16.7};
    char reason[320];
    capture_auto_readback_choose(&soft, reason, sizeof reason);
    EXPECT_EQ(std::string(reason), "GL renderer llvmpipe is a software one");

    std::string program = "capture", option = "--same-frame-readback";
    char *argv[] = {program.data(), option.data(), nullptr};
    CaptureConfig config = capture_config_default();
    EXPECT_FALSE(config.same_frame_readback);
    ASSERT_EQ(capture_parse_command_line(2, argv, &config), 0);
    EXPECT_TRUE(config.same_frame_readback);
}
