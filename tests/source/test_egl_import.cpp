#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "apps/capture/source/capture_session.h"
#include "apps/capture/source/egl_context.h"
#include "tests/framelink/fake_helper.h"
#include "tests/source/oes_draw.h"

namespace {

constexpr uint32_t kXR24 = 875713112;
constexpr uint32_t kNV12 = 842094158;

// Plane i's descriptor is a real one (the record owns and closes it); fd
// names plane 0's.
FrameMetadata frame_with_planes(int planes, uint64_t modifier)
{
    FrameMetadata f{};
    f.width = 1920;
    f.height = 1080;
    f.format = kNV12;
    f.stride = 7680;
    f.offset = 16;
    f.modifier = modifier;
    f.plane_count = planes;
    for (int i = 0; i < 4; ++i)
        f.planes[i] = {UniqueFD(open("/dev/null", O_RDONLY | O_CLOEXEC)), 100u + uint32_t(i), 1000u * uint32_t(i)};
    f.fd = f.planes[0].fd.get();
    return f;
}

// A record naming the same descriptors as m, owning none of them.
FrameMetadata borrowed(const FrameMetadata &m)
{
    FrameMetadata c;
    static_cast<framelink::FrameMetadata &>(c) = m.description();
    c.fd = m.fd;
    return c;
}

}  // namespace

TEST(EglImageAttrs, LengthAndOrderForZeroToFourPlanes)
{
    const EGLint plane_fd[] = {EGL_DMA_BUF_PLANE0_FD_EXT, EGL_DMA_BUF_PLANE1_FD_EXT, EGL_DMA_BUF_PLANE2_FD_EXT,
                               EGL_DMA_BUF_PLANE3_FD_EXT};
    const EGLint plane_lo[] = {EGL_DMA_BUF_PLANE0_MODIFIER_LO_EXT, EGL_DMA_BUF_PLANE1_MODIFIER_LO_EXT,
                               EGL_DMA_BUF_PLANE2_MODIFIER_LO_EXT, EGL_DMA_BUF_PLANE3_MODIFIER_LO_EXT};
    const EGLint plane_hi[] = {EGL_DMA_BUF_PLANE0_MODIFIER_HI_EXT, EGL_DMA_BUF_PLANE1_MODIFIER_HI_EXT,
                               EGL_DMA_BUF_PLANE2_MODIFIER_HI_EXT, EGL_DMA_BUF_PLANE3_MODIFIER_HI_EXT};
    for (int planes = 0; planes <= 4; ++planes) {
        FrameMetadata f = frame_with_planes(planes, 0);
        EGLint attrs[EGL_IMAGE_MAX_ATTRS + 8];
        std::fill(std::begin(attrs), std::end(attrs), 0x7777);
        int n = build_egl_image_attrs(&f, attrs);
        ASSERT_EQ(n, 7 + 10 * planes) << planes;
        EXPECT_EQ(attrs[n - 1], EGL_NONE);
        EXPECT_EQ(attrs[n], 0x7777) << "written past the terminator";
        EXPECT_EQ(attrs[0], EGL_WIDTH);
        EXPECT_EQ(attrs[1], 1920);
        EXPECT_EQ(attrs[3], 1080);
        EXPECT_EQ(attrs[4], EGL_LINUX_DRM_FOURCC_EXT);
        EXPECT_EQ(attrs[5], EGLint(kNV12));
        for (int p = 0; p < planes; ++p) {
            const EGLint *a = attrs + 6 + 10 * p;
            EXPECT_EQ(a[0], plane_fd[p]);
            EXPECT_EQ(a[1], f.planes[p].fd.get());
            // Plane 0 comes from the frame's own fields, the rest from the table.
            EXPECT_EQ(a[3], p == 0 ? 16 : 1000 * p);
            EXPECT_EQ(a[5], p == 0 ? 7680 : 100 + p);
            EXPECT_EQ(a[6], plane_lo[p]);
            EXPECT_EQ(a[8], plane_hi[p]);
            EXPECT_EQ(a[7], 0);
            EXPECT_EQ(a[9], 0);
        }
    }
    // An out-of-range plane count never writes past the 47 values.
    FrameMetadata f = frame_with_planes(9, 0);
    EGLint attrs[EGL_IMAGE_MAX_ATTRS];
    EXPECT_EQ(build_egl_image_attrs(&f, attrs), 47);
}

// An overlay's YUV buffer carries its plane's encoding and range as hints
// before the terminator.
TEST(EglImageAttrs, ColourHintsOfAYuvPlane)
{
    const struct {
        uint32_t encoding, range;
        EGLint space, samples;
    } cases[] = {
        {UDS_ENCODING_BT601, UDS_RANGE_LIMITED, EGL_ITU_REC601_EXT, EGL_YUV_NARROW_RANGE_EXT},
        {UDS_ENCODING_BT709, UDS_RANGE_FULL, EGL_ITU_REC709_EXT, EGL_YUV_FULL_RANGE_EXT},
        {UDS_ENCODING_BT2020, UDS_RANGE_LIMITED, EGL_ITU_REC2020_EXT, EGL_YUV_NARROW_RANGE_EXT},
    };
    for (const auto &c : cases) {
        FrameMetadata f = frame_with_planes(4, 0);
        f.colour_hints = true;
        f.colour_encoding = c.encoding;
        f.colour_range = c.range;
        EGLint attrs[EGL_IMAGE_MAX_ATTRS];
        ASSERT_EQ(build_egl_image_attrs(&f, attrs), EGL_IMAGE_MAX_ATTRS);
        EXPECT_EQ(attrs[46], EGL_YUV_COLOR_SPACE_HINT_EXT);
        EXPECT_EQ(attrs[47], c.space);
        EXPECT_EQ(attrs[48], EGL_SAMPLE_RANGE_HINT_EXT);
        EXPECT_EQ(attrs[49], c.samples);
        EXPECT_EQ(attrs[50], EGL_NONE);
    }
}

TEST(EglImageAttrs, ModifierAbove32BitsIsSplit)
{
    // A vendor tiling modifier: vendor byte in the top bits.
    const uint64_t modifier = 0x0100000000000002ull | (0x1234ull << 32);
    FrameMetadata f = frame_with_planes(2, modifier);
    EGLint attrs[EGL_IMAGE_MAX_ATTRS];
    ASSERT_EQ(build_egl_image_attrs(&f, attrs), 27);
    for (int p = 0; p < 2; ++p) {
        const EGLint *a = attrs + 6 + 10 * p;
        EXPECT_EQ(uint32_t(a[7]), 0x00000002u);
        EXPECT_EQ(uint32_t(a[9]), 0x01001234u);
    }
    f.modifier = 0xffffffff00000000ull;
    build_egl_image_attrs(&f, attrs);
    EXPECT_EQ(uint32_t(attrs[6 + 7]), 0u);
    EXPECT_EQ(uint32_t(attrs[6 + 9]), 0xffffffffu);
}

TEST(EglExtensions, BothImportExtensionsAreNeededAsWholeWords)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(egl_check_dma_buf_extensions(
                  "EGL_KHR_image_base EGL_EXT_image_dma_buf_import EGL_EXT_image_dma_buf_import_modifiers"),
              0);
    EXPECT_EQ(egl_check_dma_buf_extensions("EGL_EXT_image_dma_buf_import EGL_KHR_image_base"), -1);
    // The modifiers extension alone contains the other's name as a prefix.
    EXPECT_EQ(egl_check_dma_buf_extensions("EGL_EXT_image_dma_buf_import_modifiers"), -1);
    EXPECT_EQ(egl_check_dma_buf_extensions(nullptr), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Required EGL extensions not supported: EGL_EXT_image_dma_buf_import EGL_KHR_image_base\n"),
              std::string::npos);
    EXPECT_NE(err.find("Required EGL extensions not supported: (null)\n"), std::string::npos);
}

namespace {

// A memfd frame of XRGB8888 with padded rows and a leading offset, and the
// pixel values it holds (B, G, R, X per pixel).
struct MemoryFrame {
    static constexpr uint32_t w = 61, h = 37, stride = 61 * 4 + 20, offset = 128;
    UniqueFD fd;
    uint8_t *map = nullptr;
    size_t size = offset + size_t(stride) * h;
    FrameMetadata meta{};

    MemoryFrame()
    {
        fd = fake::make_memfd(size, [](size_t) { return uint8_t(0xEE); });
        map = static_cast<uint8_t *>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0));
        meta.fd = fd.get();
        meta.width = w;
        meta.height = h;
        meta.format = kXR24;
        meta.stride = stride;
        meta.offset = offset;
        meta.plane_count = 1;
        meta.planes[0].stride = stride;
        meta.planes[0].offset = offset;
    }
    ~MemoryFrame() { munmap(map, size); }
    uint8_t *px(uint32_t x, uint32_t y) { return map + offset + size_t(y) * stride + x * 4; }
    void paint(int phase)
    {
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                uint8_t *p = px(x, y);
                p[0] = uint8_t(x * 4 + phase);      // B
                p[1] = uint8_t(y * 6 + phase * 3);  // G
                p[2] = uint8_t(200 - x - phase);    // R
                p[3] = 0;                           // X
            }
    }
};

class EglImport : public testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("EGL_PLATFORM");
        ASSERT_EQ(egl_context_init(&ctx_, &frame_.meta), 0);
        ASSERT_EQ(egl_load_entry_points(), 0);
        drawer_ = std::make_unique<oes::Drawer>();
        ASSERT_TRUE(drawer_->init(MemoryFrame::w, MemoryFrame::h));
    }
    void TearDown() override
    {
        drawer_.reset();
        egl_context_cleanup(&ctx_);
        EXPECT_EQ(ctx_.display, EGL_NO_DISPLAY);
    }

    std::vector<uint8_t> draw(GLuint texture) { return drawer_->draw(texture); }
    // Number of pixels whose R, G, B differ from the frame's.
    int mismatches(const std::vector<uint8_t> &rgba)
    {
        return oes::mismatches(rgba, frame_.px(0, 0), MemoryFrame::w, MemoryFrame::h, MemoryFrame::stride);
    }

    MemoryFrame frame_;
    EglContext ctx_{};
    std::unique_ptr<oes::Drawer> drawer_;
};

}  // namespace

TEST_F(EglImport, MemoryFrameDrawsItsPixelsAndFollowsRefresh)
{
    frame_.paint(0);
    ASSERT_TRUE(egl_frame_is_memory(&frame_.meta));
    FrameImport import{};
    ASSERT_EQ(egl_frame_import(ctx_.display, &frame_.meta, &import), 0);
    EXPECT_TRUE(import.upload);
    EXPECT_NE(import.texture, 0u);

    std::vector<uint8_t> rgba = draw(import.texture);
    ASSERT_EQ(rgba.size(), size_t(MemoryFrame::w * MemoryFrame::h * 4));
    EXPECT_EQ(mismatches(rgba), 0);

    // The picture moves; the refresh makes the texture show it.
    frame_.paint(9);
    ASSERT_EQ(egl_frame_refresh(&import), 0);
    EXPECT_EQ(mismatches(draw(import.texture)), 0);

    egl_frame_release(&import);
    EXPECT_EQ(import.texture, 0u);
    EXPECT_FALSE(import.mapping.mapped());
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

TEST_F(EglImport, RefusedFramesLeaveNothingBehind)
{
    FrameImport import{};
    testing::internal::CaptureStderr();
    // Two planes in a memory frame cannot be uploaded as one picture.
    FrameMetadata nv12 = borrowed(frame_.meta);
    nv12.format = kNV12;
    nv12.plane_count = 2;
    EXPECT_EQ(egl_frame_import(ctx_.display, &nv12, &import), -1);
    // A memory frame smaller than its rows claim.
    FrameMetadata tall = borrowed(frame_.meta);
    tall.height = 4000;
    EXPECT_EQ(egl_frame_import(ctx_.display, &tall, &import), -1);
    EXPECT_EQ(egl_frame_import(ctx_.display, nullptr, &import), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(import.texture, 0u);
    EXPECT_FALSE(import.mapping.mapped());

    FrameMetadata none{};
    none.fd = -1;
    EXPECT_EQ(create_egl_image(ctx_.display, &none), EGL_NO_IMAGE_KHR);
    EXPECT_EQ(create_egl_image(ctx_.display, nullptr), EGL_NO_IMAGE_KHR);
}

// A descriptor that is not a memfd is imported as a dma-buf. Without the
// import extensions (llvmpipe has none) a linear one is read through its
// mapping; a tiled one cannot be, and the refusal names the missing
// extensions and the modifier.
TEST_F(EglImport, TiledDmaBufFrameNeedsTheImportExtensions)
{
    const char *ext = eglQueryString(ctx_.display, EGL_EXTENSIONS);
    if (egl_check_dma_buf_extensions(ext) == 0)
        GTEST_SKIP() << "this display can import dma-bufs";
    // Shared-memory files (memfds, tmpfs files) take the upload path; a
    // character device stands in for a real dma-buf here.
    UniqueFD file(open("/dev/zero", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(file);
    FrameMetadata f = borrowed(frame_.meta);
    f.fd = file.get();
    f.modifier = 0x0100000000000002ull;
    ASSERT_FALSE(egl_frame_is_memory(&f));

    FrameImport import{};
    testing::internal::CaptureStderr();
    EXPECT_EQ(egl_frame_import(ctx_.display, &f, &import), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("Required EGL extensions not supported: ", 0), 0u) << err;
    EXPECT_NE(err.find("\n[Capture] Missing EGL extensions: EGL_EXT_image_dma_buf_import "
                       "EGL_EXT_image_dma_buf_import_modifiers\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("modifier 0x0100000000000002 is tiled or compressed"), std::string::npos) << err;
    EXPECT_EQ(import.texture, 0u);
}

TEST(EglContextInit, RefusesADmaBufFrameWithoutTheImportExtensions)
{
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("EGL_PLATFORM");
    // Shared-memory files (memfds, tmpfs files) take the upload path; a
    // character device stands in for a real dma-buf here.
    UniqueFD file(open("/dev/zero", O_RDONLY | O_CLOEXEC));
    FrameMetadata f{};
    f.fd = file.get();
    f.plane_count = 1;
    EglContext ctx{};
    testing::internal::CaptureStderr();
    int rc = egl_context_init(&ctx, &f);
    std::string err = testing::internal::GetCapturedStderr();
    if (rc == 0) {
        egl_context_cleanup(&ctx);
        GTEST_SKIP() << "this display can import dma-bufs";
    }
    EXPECT_EQ(err.rfind("Required EGL extensions not supported: ", 0), 0u) << err;
    EXPECT_EQ(ctx.display, EGL_NO_DISPLAY);
    EXPECT_EQ(ctx.context, EGL_NO_CONTEXT);

    // With no frame named the context starts: the check waits for the import.
    ASSERT_EQ(egl_context_init(&ctx), 0);
    EXPECT_NE(ctx.context, EGL_NO_CONTEXT);
    EXPECT_EQ(eglGetCurrentContext(), ctx.context);
    egl_context_cleanup(&ctx);
    EXPECT_EQ(eglGetCurrentContext(), EGL_NO_CONTEXT);
}
