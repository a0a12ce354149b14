#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/hwcontext_vaapi.h>
}

#include <vector>

#include "apps/capture/gpu/zerocopy.h"
#include "tests/gpu/gl_test_context.h"

namespace {

bool fd_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

TEST(ZeroCopyLookup, FindsEverySurfaceAndRejectsUnknownOnes)
{
    ZeroCopyTargets t{};
    for (int i = 0; i < 8; ++i)
        t.targets[i].surface_id = 100 + i;
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(zerocopy_find_index_by_surface(&t, 100 + i), i);
    EXPECT_EQ(zerocopy_find_index_by_surface(&t, 99), -1);
    EXPECT_EQ(zerocopy_find_index_by_surface(&t, 108), -1);
    t.targets[5].surface_id = 101;  // the first matching slot wins
    EXPECT_EQ(zerocopy_find_index_by_surface(&t, 101), 1);
}

TEST(ZeroCopyPlanes, AttributeListsAndOddSizes)
{
    EGLint a[kZeroCopyPlaneAttribs];
    zerocopy_plane_attributes(false, 1281, 721, 7, 0, 1344, 0x0100000000000002ull, a);
    const EGLint luma[] = {EGL_WIDTH,
                           1281,
                           EGL_HEIGHT,
                           721,
                           EGL_LINUX_DRM_FOURCC_EXT,
                           0x20203852,
                           EGL_DMA_BUF_PLANE0_FD_EXT,
                           7,
                           EGL_DMA_BUF_PLANE0_OFFSET_EXT,
                           0,
                           EGL_DMA_BUF_PLANE0_PITCH_EXT,
                           1344,
                           EGL_DMA_BUF_PLANE0_MODIFIER_LO_EXT,
                           2,
                           EGL_DMA_BUF_PLANE0_MODIFIER_HI_EXT,
                           0x01000000,
                           EGL_NONE};
    for (int i = 0; i < kZeroCopyPlaneAttribs; ++i)
        EXPECT_EQ(a[i], luma[i]) << i;
    zerocopy_plane_attributes(true, 1281, 721, 7, 1344 * 736, 1344, 0x0100000000000002ull, a);
    EXPECT_EQ(a[1], 640);
    EXPECT_EQ(a[3], 360);
    EXPECT_EQ(a[5], 0x38385247);
    EXPECT_EQ(a[9], 1344 * 736);
    EXPECT_EQ(a[16], EGL_NONE);
    int cw, ch;
    zerocopy_chroma_size(1366, 767, &cw, &ch);
    EXPECT_EQ(cw, 683);
    EXPECT_EQ(ch, 383);
}

class ZeroCopyGl : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!gl.ok())
            GTEST_SKIP() << "no surfaceless EGL context";
    }
    GlTestContext gl;
};

// A record that failed half-way (descriptors, textures, framebuffer, images
// made for some slots only) is released completely, and only once.
TEST_F(ZeroCopyGl, CleanupReleasesAPartlyBuiltRecord)
{
    ZeroCopyTargets t{};
    t.egl_display = gl.display();
    int fds[3];
    for (int &fd : fds)
        fd = memfd_create("zerocopy-test", MFD_CLOEXEC);
    for (int i = 0; i < 3; ++i) {
        t.targets[i].fd.reset(fds[i]);
        glGenTextures(1, &t.targets[i].tex_y);
        glGenFramebuffers(1, &t.targets[i].fbo);
    }
    glGenTextures(1, &t.targets[0].tex_uv);
    t.program_y = glCreateProgram();
    GLuint tex_y0 = t.targets[0].tex_y;
    zerocopy_cleanup(&t);
    for (int fd : fds)
        EXPECT_FALSE(fd_open(fd));
    EXPECT_EQ(glIsTexture(tex_y0), GL_FALSE);
    EXPECT_EQ(t.targets[0].fd.get(), -1);
    int reused = memfd_create("reused", MFD_CLOEXEC);
    zerocopy_cleanup(&t);
    EXPECT_TRUE(fd_open(reused));
    close(reused);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

// With the programs built and GL textures standing in for the surface's
// planes, one render writes luma with its watermark and interleaved chroma,
// U first, at the truncated half size; out-of-range indices draw nothing.
TEST_F(ZeroCopyGl, RenderWritesNv12AndIgnoresBadIndices)
{
    const int w = 321, h = 181;
    ZeroCopyTargets t{};
    GLuint vs = compile_shader(GL_VERTEX_SHADER, kVertexShaderSource);
    GLuint fy = compile_shader(GL_FRAGMENT_SHADER, kLumaShaderSource);
    GLuint fuv = compile_shader(GL_FRAGMENT_SHADER, kChromaUvShaderSource);
    t.program_y = link_program(vs, fy);
    t.program_uv = link_program(vs, fuv);
    ASSERT_NE(t.program_y, 0u);
    ASSERT_NE(t.program_uv, 0u);
    for (GLuint s : {vs, fy, fuv})
        glDeleteShader(s);
    t.loc_texture_y = glGetUniformLocation(t.program_y, "u_texture");
    t.loc_digits = glGetUniformLocation(t.program_y, "u_digits");
    t.loc_texture_uv = glGetUniformLocation(t.program_uv, "u_texture");
    const ColourCoefficients &k = colour_coefficients_for_size(w, h);
    glUseProgram(t.program_y);
    glUniform4fv(glGetUniformLocation(t.program_y, "u_coeffs"), 1, k.y);
    glUniform2f(glGetUniformLocation(t.program_y, "u_res"), w, h);
    glUseProgram(t.program_uv);
    glUniform4fv(glGetUniformLocation(t.program_uv, "u_coeffs_u"), 1, k.u);
    glUniform4fv(glGetUniformLocation(t.program_uv, "u_coeffs_v"), 1, k.v);
    FullScreenQuad q;
    ASSERT_EQ(quad_create(&q), 0);
    t.vao = q.vao;
    t.vbo = q.vbo;

    ZeroCopyTarget &target = t.targets[3];
    target.surface_id = 42;
    const int cw = w / 2 + 1, chh = h / 2 + 1;  // a chroma plane rounded up
    glGenTextures(1, &target.tex_y);
    glBindTexture(GL_TEXTURE_2D, target.tex_y);
    glTexStorage2D(GL_TEXTURE_2D, 1, GL_R8, w, h);
    glGenTextures(1, &target.tex_uv);
    glBindTexture(GL_TEXTURE_2D, target.tex_uv);
    glTexStorage2D(GL_TEXTURE_2D, 1, GL_RG8, cw, chh);
    glGenFramebuffers(1, &target.fbo);
    glBindFramebuffer(GL_FRAMEBUFFER, target.fbo);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, target.tex_uv, 0);
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);

    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
    for (size_t i = 0; i < px.size(); i += 4) {
        px[i] = 30;
        px[i + 1] = 60;
        px[i + 2] = 220;
        px[i + 3] = 255;
    }
    GLuint src = gl.make_source(w, h, px);
    zerocopy_render_to_index(&t, 8, src, w, h, 0);
    zerocopy_render_to_index(&t, -1, src, w, h, 0);
    zerocopy_render_to_index(&t, zerocopy_find_index_by_surface(&t, 42), src, w, h, 1733467200123ull);
    ASSERT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));

    auto to255 = [](const float c[4]) { return 255.0 * (c[3] + (c[0] * 30 + c[1] * 60 + c[2] * 220) / 255.0); };
    std::vector<uint8_t> uv(static_cast<size_t>(cw) * chh * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, target.tex_uv, 0);
    glReadPixels(0, 0, cw, chh, GL_RGBA, GL_UNSIGNED_BYTE, uv.data());
    for (int y = 0; y < chh; ++y)
        for (int x = 0; x < cw; ++x) {
            const uint8_t *p = &uv[(static_cast<size_t>(y) * cw + x) * 4];
            if (x == cw - 1 || y == chh - 1) {  // outside the half-size viewport
                ASSERT_EQ(p[0], 0) << x << "," << y;
                continue;
            }
            ASSERT_NEAR(p[0], to255(k.u), 1.0) << x << "," << y;
            ASSERT_NEAR(p[1], to255(k.v), 1.0) << x << "," << y;
        }
    std::vector<uint8_t> luma(static_cast<size_t>(w) * h * 4);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, target.tex_y, 0);
    glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, luma.data());
    EXPECT_NEAR(luma[(170 * w + 300) * 4], to255(k.y), 1.0);                   // outside the box
    EXPECT_NEAR(luma[(45 * w + 45) * 4], 0.3 * to255(k.y), 1.0);               // darkened backdrop
    EXPECT_EQ(luma[(int(50 + 0.35 * 80) * w + int(50 + 0.8 * 40)) * 4], 255);  // the "1": segment p2

    // The cursor goes into both planes in the same draws, clipped where it
    // hangs over the right and the bottom edge, never wrapped to the other
    // side: an opaque green 8x8 image at (w-4, h-4). Then a picture of planes.
    const std::vector<uint32_t> green(64, 0xff00ff00u);
    const CursorOverlayGl cursor{shader_cursor_texture(green.data(), 8, 8), float(w - 4) / w, float(h - 4) / h, 8.f / w,
                                 8.f / h};
    ASSERT_NE(cursor.texture, 0u);
    zerocopy_render_to_index(&t, 3, src, w, h, 0, &cursor);
    ASSERT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    auto green255 = [](const float c[4]) { return 255.0 * (c[3] + c[1]); };
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, target.tex_y, 0);
    glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, luma.data());
    auto y_at = [&](int x, int y) { return luma[(static_cast<size_t>(y) * w + x) * 4]; };
    EXPECT_NEAR(y_at(w - 1, h - 1), green255(k.y), 1.0);
    EXPECT_NEAR(y_at(w - 4, h - 4), green255(k.y), 1.0);
    EXPECT_NEAR(y_at(w - 5, h - 5), to255(k.y), 1.0);  // beside the cursor: the picture
    EXPECT_NEAR(y_at(0, h - 1), to255(k.y), 1.0);      // no wrap to the left edge
    EXPECT_NEAR(y_at(w - 1, 0), to255(k.y), 1.0);      // nor to the top
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, target.tex_uv, 0);
    glReadPixels(0, 0, cw, chh, GL_RGBA, GL_UNSIGNED_BYTE, uv.data());
    const uint8_t *under = &uv[(static_cast<size_t>((h - 2) / 2) * cw + (w - 2) / 2) * 4];
    EXPECT_NEAR(under[0], green255(k.u), 1.0);
    EXPECT_NEAR(under[1], green255(k.v), 1.0);
    const uint8_t *wrapped = &uv[(static_cast<size_t>((h - 2) / 2) * cw) * 4];
    EXPECT_NEAR(wrapped[0], to255(k.u), 1.0);
    glDeleteTextures(1, &cursor.texture);

    // A picture: the source under an opaque green overlay (an upload) scaled
    // twice to 40x28 at (200, 152), composed into both planes; the source
    // given to the call is not drawn.
    const std::vector<uint32_t> green_rgba(20 * 14, 0xff00ff00u);  // R 0, G 255, B 0, A 255 as bytes
    GLuint overlay = 0;
    glGenTextures(1, &overlay);
    glBindTexture(GL_TEXTURE_2D, overlay);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 20, 14, 0, GL_RGBA, GL_UNSIGNED_BYTE, green_rgba.data());
    constexpr uint32_t kXRGB8888 = 0x34325258;
    PlaneRecord plane = test_plane_record(w, h, 0, 0, w, h, kXRGB8888);
    plane.rotation = UDS_ROTATE_0 | UDS_REFLECT_X;  // not the plain picture
    const PlaneRecord on_top = test_plane_record(20, 14, 200, 152, 40, 28, kXRGB8888);
    ShaderPicture picture{uint32_t(w), uint32_t(h), 0, 2, {}};
    picture.layers[0] = ShaderLayer{src, true, plane};
    picture.layers[1] = ShaderLayer{overlay, false, on_top};
    EXPECT_EQ(zerocopy_render_to_index(&t, 3, 0, w, h, 0, nullptr, &picture), 0);
    EXPECT_EQ(zerocopy_render_to_index(&t, 8, src, w, h, 0), -1);
    ASSERT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, target.tex_y, 0);
    glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, luma.data());
    EXPECT_NEAR(y_at(210, 160), green255(k.y), 1.0);
    EXPECT_NEAR(y_at(239, 179), green255(k.y), 1.0);
    EXPECT_NEAR(y_at(199, 160), to255(k.y), 1.0);
    EXPECT_NEAR(y_at(240, 170), to255(k.y), 1.0);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, target.tex_uv, 0);
    glReadPixels(0, 0, cw, chh, GL_RGBA, GL_UNSIGNED_BYTE, uv.data());
    const uint8_t *inside = &uv[(size_t(80) * cw + 105) * 4], *beside = &uv[(size_t(80) * cw + 97) * 4];
    EXPECT_NEAR(inside[0], green255(k.u), 1.0);
    EXPECT_NEAR(inside[1], green255(k.v), 1.0);
    EXPECT_NEAR(beside[0], to255(k.u), 1.0);
    EXPECT_NEAR(beside[1], to255(k.v), 1.0);
    glDeleteTextures(1, &overlay);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    zerocopy_cleanup(&t);
}

// Runs the whole import where a VA-API device opens; this machine has none.
TEST_F(ZeroCopyGl, HardwarePoolRoundTrip)
{
    AVBufferRef *device = nullptr;
    if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0) < 0)
        GTEST_SKIP() << "no VA-API device opens here (no /dev/dri render node or driver)";
    std::unique_ptr<AVBufferRef, void (*)(AVBufferRef *)> device_guard(device,
                                                                       [](AVBufferRef *b) { av_buffer_unref(&b); });
    AVBufferRef *frames = av_hwframe_ctx_alloc(device);
    ASSERT_NE(frames, nullptr);
    std::unique_ptr<AVBufferRef, void (*)(AVBufferRef *)> frames_guard(frames,
                                                                       [](AVBufferRef *b) { av_buffer_unref(&b); });
    auto *fc = reinterpret_cast<AVHWFramesContext *>(frames->data);
    fc->format = AV_PIX_FMT_VAAPI;
    fc->sw_format = AV_PIX_FMT_NV12;
    fc->width = 320;
    fc->height = 240;
    fc->initial_pool_size = 8;
    ASSERT_GE(av_hwframe_ctx_init(frames), 0);

    ZeroCopyTargets t;
    int rc = zerocopy_init_from_pool(&t, frames, gl.display(), 320, 240);
    if (rc != 0) {
        zerocopy_cleanup(&t);
        GTEST_SKIP() << "the VA-API surfaces could not be imported into this EGL display (no dma-buf import)";
    }
    auto *pool = static_cast<AVVAAPIFramesContext *>(fc->hwctx);
    for (int i = 0; i < 8 && i < pool->nb_surfaces; ++i)
        EXPECT_EQ(zerocopy_find_index_by_surface(&t, pool->surface_ids[i]), i);
    std::vector<uint8_t> px(320 * 240 * 4, 255);
    GLuint src = gl.make_source(320, 240, px);
    zerocopy_render_to_index(&t, 0, src, 320, 240, 1733467200123ull);
    AVFrame *hw = av_frame_alloc();
    AVFrame *sw = av_frame_alloc();
    hw->format = AV_PIX_FMT_VAAPI;
    hw->width = 320;
    hw->height = 240;
    hw->data[3] = reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(t.targets[0].surface_id));
    hw->hw_frames_ctx = av_buffer_ref(frames);
    ASSERT_GE(av_hwframe_transfer_data(sw, hw, 0), 0);
    EXPECT_NEAR(sw->data[0][200 * sw->linesize[0] + 300], 235, 1);  // white, limited range
    EXPECT_NEAR(sw->data[1][100 * sw->linesize[1] + 100], 128, 1);
    av_frame_free(&hw);
    av_frame_free(&sw);
    zerocopy_cleanup(&t);
}

}  // namespace
