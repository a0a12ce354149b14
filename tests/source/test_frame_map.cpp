// Frames read on the processor: which layouts the mapping takes (and the
// one line it writes for the others), the mapping's own descriptor, and the
// byte orders of the four packed formats converted alike.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "apps/capture/convert/yuv_convert.h"
#include "apps/capture/source/capture_session.h"
#include "apps/capture/source/frame_map.h"

namespace {

int open_descriptors()
{
    DIR *dir = opendir("/proc/self/fd");
    int n = 0;
    while (dirent *entry = readdir(dir))
        n += entry->d_name[0] != '.';
    closedir(dir);
    return n;
}

// A memfd of size bytes holding bytes, described as a width x height frame.
FrameMetadata memory_frame(uint32_t width, uint32_t height, uint32_t format, const std::vector<uint8_t> &bytes)
{
    FrameMetadata frame{};
    frame.fd = memfd_create("frame", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    EXPECT_EQ(write(frame.fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    frame.width = width;
    frame.height = height;
    frame.format = format;
    frame.stride = width * 4;
    frame.plane_count = 1;
    return frame;
}

}  // namespace

TEST(FrameMap, TakesLinearPackedLayoutsAndNamesWhatItRefuses)
{
    struct Case {
        uint32_t format;
        uint64_t modifier;
        int planes;
        uint32_t stride;
        const char *refusal;  // null: readable
    } cases[] = {
        {FRAME_FOURCC_XRGB8888, FRAME_MODIFIER_LINEAR, 1, 256, nullptr},
        {FRAME_FOURCC_ARGB8888, FRAME_MODIFIER_LINEAR, 1, 320, nullptr},
        {FRAME_FOURCC_XBGR8888, FRAME_MODIFIER_INVALID, 1, 256, nullptr},
        {FRAME_FOURCC_ABGR8888, FRAME_MODIFIER_LINEAR, 1, 256, nullptr},
        {FRAME_FOURCC_NV12, FRAME_MODIFIER_LINEAR, 2, 64, nullptr},
        {FRAME_FOURCC_NV12, FRAME_MODIFIER_LINEAR, 1, 64, "format NV12 with 1 planes"},
        {frame_fourcc('N', 'V', '2', '1'), FRAME_MODIFIER_LINEAR, 2, 64, "format NV21 (0x3132564e)"},
        {FRAME_FOURCC_P010, FRAME_MODIFIER_LINEAR, 2, 128, nullptr},
        {FRAME_FOURCC_P010, FRAME_MODIFIER_LINEAR, 2, 126, "P010 framebuffer 64x8 with chroma stride 126"},
        {DEEP_XR30, FRAME_MODIFIER_LINEAR, 1, 256, nullptr},
        {DEEP_AB30, FRAME_MODIFIER_INVALID, 1, 256, nullptr},
        {DEEP_AR48, FRAME_MODIFIER_LINEAR, 1, 512, nullptr},
        {DEEP_XB48, FRAME_MODIFIER_LINEAR, 1, 508, "with stride 508"},
        {DEEP_AB4H, FRAME_MODIFIER_LINEAR, 1, 512, nullptr},
        {DEEP_XR4H, FRAME_MODIFIER_LINEAR, 1, 256, "with stride 256"},
        {DEEP_RG16, FRAME_MODIFIER_LINEAR, 1, 128, nullptr},
        {DEEP_RG16, FRAME_MODIFIER_LINEAR, 1, 126, "with stride 126"},
        {frame_fourcc('X', 'R', '1', '2'), FRAME_MODIFIER_LINEAR, 1, 256, "format XR12"},
        {FRAME_FOURCC_XRGB8888, 0x0100000000000001ull, 1, 256, "modifier 0x0100000000000001 is tiled"},
        {FRAME_FOURCC_XRGB8888, FRAME_MODIFIER_INVALID, 2, 256, "(implicit) with 2 planes"},
        {FRAME_FOURCC_XRGB8888, FRAME_MODIFIER_LINEAR, 1, 252, "with stride 252"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.refusal ? c.refusal : "readable");
        FrameMetadata frame{};
        frame.fd = 0;
        frame.width = 64;
        frame.height = 8;
        frame.format = c.format;
        frame.modifier = c.modifier;
        frame.plane_count = c.planes;
        frame.stride = c.stride;
        frame.planes[1].stride = c.planes > 1 ? c.stride : 0;
        testing::internal::CaptureStderr();
        const int checked = frame_map_check(&frame);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(frame_map_readable(&frame), c.refusal == nullptr);
        if (!c.refusal) {
            EXPECT_EQ(checked, 0);
            EXPECT_EQ(said, "");
        } else {
            EXPECT_EQ(checked, -1);
            EXPECT_NE(said.find(c.refusal), std::string::npos) << said;
            EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        }
    }
}

// The mapping keeps its own descriptor: the frame's may close while it
// lives, a buffer too small for its description is refused, and nothing
// stays open once the mappings are gone.
TEST(FrameMap, MappingOwnsItsDescriptorAndChecksTheSize)
{
    const int open_before = open_descriptors();
    std::vector<uint8_t> bytes(16 * 4 * 4);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i);
    {
        FrameMetadata frame = memory_frame(16, 4, FRAME_FOURCC_XRGB8888, bytes);
        frame.offset = 64;
        FrameMapping small;
        testing::internal::CaptureStderr();
        EXPECT_EQ(frame_map_open(&frame, &small), -1);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("smaller than"), std::string::npos);
        EXPECT_FALSE(small.mapped());

        frame.offset = 0;
        frame.height = 3;
        FrameMapping map;
        ASSERT_EQ(frame_map_open(&frame, &map), 0);
        close(frame.fd);
        EXPECT_FALSE(map.dma_buf);
        ASSERT_EQ(frame_map_begin_read(&map), 0);
        EXPECT_EQ(std::memcmp(map.pixels(), bytes.data(), 3 * 64), 0);
        frame_map_end_read(&map);
        FrameMapping moved = std::move(map);
        EXPECT_FALSE(map.mapped());
        EXPECT_TRUE(moved.mapped());
    }
    EXPECT_EQ(open_descriptors(), open_before);
}

// The same picture in the four byte orders converts to the same planes.
TEST(FrameMap, FourPackedFormatsConvertAlike)
{
    constexpr uint32_t w = 64, h = 16;
    std::vector<uint8_t> bgrx(w * h * 4), rgbx(w * h * 4);
    for (uint32_t i = 0; i < w * h; ++i) {
        const uint8_t r = uint8_t(i * 7), g = uint8_t(i * 13 + 5), b = uint8_t(255 - i);
        const uint8_t px_bgrx[4] = {b, g, r, uint8_t(i)}, px_rgbx[4] = {r, g, b, 0};
        std::memcpy(&bgrx[i * 4], px_bgrx, 4);
        std::memcpy(&rgbx[i * 4], px_rgbx, 4);
    }
    std::vector<uint8_t> reference;
    for (uint32_t format :
         {FRAME_FOURCC_XRGB8888, FRAME_FOURCC_ARGB8888, FRAME_FOURCC_XBGR8888, FRAME_FOURCC_ABGR8888}) {
        SCOPED_TRACE(format);
        const bool red_first = frame_map_red_first(format);
        FrameMetadata frame = memory_frame(w, h, format, red_first ? rgbx : bgrx);
        FrameMapping map;
        ASSERT_EQ(frame_map_open(&frame, &map), 0);
        close(frame.fd);
        std::vector<uint8_t> planes(w * h * 3 / 2);
        ASSERT_EQ(packed_to_yuv420p_bt709(map.red_first ? PACKED_RGBA : PACKED_BGRA, w, h, map.pixels(), map.stride,
                                          planes.data(), planes.data() + w * h, planes.data() + w * h * 5 / 4),
                  0);
        if (reference.empty())
            reference = planes;
        EXPECT_EQ(planes, reference);
    }
}
