#include "apps/capture/gpu/zerocopy.h"

#include <GLES2/gl2ext.h>
#include <unistd.h>
#include <va/va_drmcommon.h>

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/hwcontext_vaapi.h>
}

#include <cstdio>
#include <cstring>

namespace {

constexpr EGLint kFourccR8 = 0x20203852;
constexpr EGLint kFourccGR88 = 0x38385247;
constexpr EGLint kFourccR16 = 0x20363152;     // 'R16 '
constexpr EGLint kFourccGR1616 = 0x32335247;  // 'GR32'

void delete_shaders(GLuint a, GLuint b, GLuint c)
{
    for (GLuint s : {a, b, c})
        if (s != 0)
            glDeleteShader(s);
}

// The programs' uniform locations, colour matrix and size.
void use_programs(ZeroCopyTargets *t, const ColourCoefficients &cc)
{
    t->loc_texture_y = glGetUniformLocation(t->program_y, "u_texture");
    t->loc_coeffs = glGetUniformLocation(t->program_y, "u_coeffs");
    t->loc_digits = glGetUniformLocation(t->program_y, "u_digits");
    t->loc_res = glGetUniformLocation(t->program_y, "u_res");
    t->loc_texture_uv = glGetUniformLocation(t->program_uv, "u_texture");

    t->colour_space = cc.name;
    glUseProgram(t->program_y);
    glUniform4fv(t->loc_coeffs, 1, cc.y);
    glUseProgram(t->program_uv);
    glUniform4fv(glGetUniformLocation(t->program_uv, "u_coeffs_u"), 1, cc.u);
    glUniform4fv(glGetUniformLocation(t->program_uv, "u_coeffs_v"), 1, cc.v);
    std::printf("[ZeroCopy] Color Space: %s%s\n", cc.name, t->ten_bit ? " (P010)" : "");
    std::printf("  Y Coeffs:  %.4f %.4f %.4f Off: %.4f\n", cc.y[0], cc.y[1], cc.y[2], cc.y[3]);
    glUseProgram(t->program_y);
    glUniform2f(t->loc_res, static_cast<float>(t->width), static_cast<float>(t->height));
}

// The two programs for colour with the signal's matrix and uniforms, in
// place of the ones the record holds (kept when a new one fails). The SDR
// programs are the fixed sources, as they always were.
int32_t build_programs(ZeroCopyTargets *t, ShaderColour colour, const HdrSignal &signal)
{
    const GLuint program_y = shader_plain_program(ShaderPass::luma, colour, "[Shader]", "[Program]");
    const GLuint program_uv = shader_plain_program(ShaderPass::chroma_uv, colour, "[Shader]", "[Program]");
    if (program_y == 0 || program_uv == 0) {
        for (GLuint p : {program_y, program_uv})
            if (p != 0)
                glDeleteProgram(p);
        return -1;
    }
    for (GLuint p : {t->program_y, t->program_uv})
        if (p != 0)
            glDeleteProgram(p);
    t->program_y = program_y;
    t->program_uv = program_uv;
    for (ShaderVariants *variants : {&t->variants_y, &t->variants_uv}) {
        shader_variants_release(variants);
        variants->colour = colour;
    }
    // The 10-bit code in the high bits of each 16-bit sample.
    for (GLuint p : {t->program_y, t->program_uv})
        shader_colour_uniforms(p, colour, signal, 64.0f / 65535.0f);
    use_programs(t, shader_coefficients_for(colour, signal, t->width, t->height));
    return 0;
}

}  // namespace

int32_t zerocopy_set_signal(ZeroCopyTargets *t, const HdrSignal &signal)
{
    const ShaderColour colour = shader_colour_for(signal, t->ten_bit);
    if (build_programs(t, colour, signal) != 0) {
        std::fprintf(stderr, "[ZeroCopy] The %s conversion programs could not be built\n",
                     t->ten_bit ? "10-bit" : hdr_transfer_name(signal.transfer));
        return -1;
    }
    if (colour == ShaderColour::tone_pq || colour == ShaderColour::tone_hlg)
        std::printf("[ZeroCopy] Tone mapping %s to SDR\n", hdr_transfer_name(signal.transfer));
    return 0;
}

void zerocopy_chroma_size(int32_t width, int32_t height, int32_t *chroma_width, int32_t *chroma_height)
{
    *chroma_width = width / 2;
    *chroma_height = height / 2;
}

void zerocopy_plane_attributes(bool chroma, int32_t width, int32_t height, int32_t fd, uint32_t offset, uint32_t pitch,
                               uint64_t modifier, EGLint out[kZeroCopyPlaneAttribs], bool sixteen_bit)
{
    int32_t w = width, h = height;
    if (chroma)
        zerocopy_chroma_size(width, height, &w, &h);
    const EGLint list[kZeroCopyPlaneAttribs] = {
        EGL_WIDTH,
        w,
        EGL_HEIGHT,
        h,
        EGL_LINUX_DRM_FOURCC_EXT,
        sixteen_bit ? (chroma ? kFourccGR1616 : kFourccR16) : (chroma ? kFourccGR88 : kFourccR8),
        EGL_DMA_BUF_PLANE0_FD_EXT,
        fd,
        EGL_DMA_BUF_PLANE0_OFFSET_EXT,
        static_cast<EGLint>(offset),
        EGL_DMA_BUF_PLANE0_PITCH_EXT,
        static_cast<EGLint>(pitch),
        EGL_DMA_BUF_PLANE0_MODIFIER_LO_EXT,
        static_cast<EGLint>(modifier & 0xffffffffu),
        EGL_DMA_BUF_PLANE0_MODIFIER_HI_EXT,
        static_cast<EGLint>(modifier >> 32),
        EGL_NONE,
    };
    std::memcpy(out, list, sizeof list);
}

int32_t zerocopy_init_from_pool(ZeroCopyTargets *t, AVBufferRef *frames_ref, EGLDisplay egl_display, int32_t width,
                                int32_t height)
{
    *t = ZeroCopyTargets{};
    t->egl_display = egl_display;
    if (frames_ref == nullptr)
        return -1;
    auto *frames = reinterpret_cast<AVHWFramesContext *>(frames_ref->data);
    auto *device = static_cast<AVVAAPIDeviceContext *>(frames->device_ctx->hwctx);
    auto *pool = static_cast<AVVAAPIFramesContext *>(frames->hwctx);
    t->va_display = device->display;

    t->width = width;
    t->height = height;
    t->ten_bit = frames->sw_format == AV_PIX_FMT_P010;

    GLuint vs = compile_shader_tagged(GL_VERTEX_SHADER, kVertexShaderSource, "[Shader]");
    GLuint fy = compile_shader_tagged(GL_FRAGMENT_SHADER, kLumaShaderSource, "[Shader]");
    GLuint fuv = compile_shader_tagged(GL_FRAGMENT_SHADER, kChromaUvShaderSource, "[Shader]");
    if (fuv == 0 || vs == 0 || fy == 0) {
        delete_shaders(vs, fy, fuv);
        return -1;
    }
    t->program_y = link_program_tagged(vs, fy, "[Program]");
    t->program_uv = link_program_tagged(vs, fuv, "[Program]");
    delete_shaders(vs, fy, fuv);
    if (t->program_y == 0 || t->program_uv == 0)
        return -1;
    // P010 surfaces hold the 10-bit stream (BT.709 until a signal is set).
    if (!t->ten_bit)
        use_programs(t, colour_coefficients_for_size(width, height));
    else if (zerocopy_set_signal(t, HdrSignal{}) != 0)
        return -1;

    FullScreenQuad quad;
    if (quad_create(&quad) != 0)
        return -1;
    t->vao = quad.vao;
    t->vbo = quad.vbo;

    auto create_image = reinterpret_cast<PFNEGLCREATEIMAGEKHRPROC>(eglGetProcAddress("eglCreateImageKHR"));
    auto target_texture =
        reinterpret_cast<PFNGLEGLIMAGETARGETTEXTURE2DOESPROC>(eglGetProcAddress("glEGLImageTargetTexture2DOES"));
    if (create_image == nullptr || target_texture == nullptr) {
        std::fprintf(stderr, "[EGL] Failed to import plane %d\n", 0);
        return -1;
    }

    for (int i = 0; i < kZeroCopyMaxTargets && i < pool->nb_surfaces; ++i) {
        ZeroCopyTarget &target = t->targets[i];
        target.surface_id = pool->surface_ids[i];
        VADRMPRIMESurfaceDescriptor desc;
        std::memset(&desc, 0, sizeof desc);
        VAStatus st = vaExportSurfaceHandle(t->va_display, target.surface_id, VA_SURFACE_ATTRIB_MEM_TYPE_DRM_PRIME_2,
                                            VA_EXPORT_SURFACE_READ_WRITE | VA_EXPORT_SURFACE_SEPARATE_LAYERS, &desc);
        if (st != VA_STATUS_SUCCESS) {
            std::fprintf(stderr, "[VAAPI] vaExportSurfaceHandle: %d\n", st);
            return -1;
        }
        target.fd.reset(desc.objects[0].fd);
        // Both planes are imported from object 0; any further object's
        // descriptor is closed here so none is leaked.
        for (uint32_t o = 1; o < desc.num_objects && o < 4; ++o)
            UniqueFD extra(desc.objects[o].fd);
        target.pitch_y = desc.layers[0].pitch[0];
        target.pitch_uv = desc.layers[1].pitch[0];
        target.offset_y = desc.layers[0].offset[0];
        target.offset_uv = desc.layers[1].offset[0];
        const uint64_t modifier = desc.objects[0].drm_format_modifier;

        EGLint attrs[kZeroCopyPlaneAttribs];
        zerocopy_plane_attributes(false, width, height, target.fd.get(), target.offset_y, target.pitch_y, modifier,
                                  attrs, t->ten_bit);
        target.image_y = create_image(egl_display, EGL_NO_CONTEXT, EGL_LINUX_DMA_BUF_EXT, nullptr, attrs);
        zerocopy_plane_attributes(true, width, height, target.fd.get(), target.offset_uv, target.pitch_uv, modifier,
                                  attrs, t->ten_bit);
        target.image_uv = create_image(egl_display, EGL_NO_CONTEXT, EGL_LINUX_DMA_BUF_EXT, nullptr, attrs);
        if (target.image_y == EGL_NO_IMAGE_KHR || target.image_uv == EGL_NO_IMAGE_KHR) {
            std::fprintf(stderr, "[EGL] Failed to import plane %d\n", i);
            return -1;
        }
        glGenTextures(1, &target.tex_y);
        glBindTexture(GL_TEXTURE_2D, target.tex_y);
        target_texture(GL_TEXTURE_2D, target.image_y);
        glGenTextures(1, &target.tex_uv);
        glBindTexture(GL_TEXTURE_2D, target.tex_uv);
        target_texture(GL_TEXTURE_2D, target.image_uv);
        glGenFramebuffers(1, &target.fbo);
    }
    glBindTexture(GL_TEXTURE_2D, 0);
    std::printf("[ZeroCopy] Initialized %d targets from encoder pool\n", kZeroCopyMaxTargets);
    return 0;
}

int32_t zerocopy_find_index_by_surface(const ZeroCopyTargets *t, uint32_t surface_id)
{
    for (int i = 0; i < kZeroCopyMaxTargets; ++i)
        if (t->targets[i].surface_id == surface_id)
            return i;
    return -1;
}

int32_t zerocopy_render_to_index(ZeroCopyTargets *t, int32_t index, GLuint source_texture, uint32_t width,
                                 uint32_t height, WatermarkValue watermark, const CursorOverlayGl *cursor,
                                 const ShaderPicture *picture)
{
    if (static_cast<uint32_t>(index) >= static_cast<uint32_t>(kZeroCopyMaxTargets))
        return -1;
    const ZeroCopyTarget &target = t->targets[index];
    int32_t cw = 0, ch = 0;
    zerocopy_chroma_size(static_cast<int32_t>(width), static_cast<int32_t>(height), &cw, &ch);

    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_EXTERNAL_OES, source_texture);
    glBindFramebuffer(GL_FRAMEBUFFER, target.fbo);

    const FullScreenQuad quad{t->vbo, t->vao};
    const std::array<GLint, 13> digits = watermark_digits(watermark);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, target.tex_y, 0);
    glViewport(0, 0, static_cast<GLsizei>(width), static_cast<GLsizei>(height));
    const int32_t drawn = shader_draw_picture(&t->variants_y, ShaderPass::luma, t->program_y, picture, cursor,
                                              digits.data(), int32_t(width), int32_t(height), quad, "[Program]");
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, target.tex_uv, 0);
    glViewport(0, 0, cw, ch);
    const int32_t status = drawn != 0 ? -1
                                      : shader_draw_picture(&t->variants_uv, ShaderPass::chroma_uv, t->program_uv,
                                                            picture, cursor, nullptr, cw, ch, quad, "[Program]");

    // The encoder reads the surface straight after this returns.
    glFinish();
    return status;
}

void zerocopy_cleanup(ZeroCopyTargets *t)
{
    auto destroy_image = reinterpret_cast<PFNEGLDESTROYIMAGEKHRPROC>(eglGetProcAddress("eglDestroyImageKHR"));
    for (ZeroCopyTarget &target : t->targets) {
        if (target.fbo != 0)
            glDeleteFramebuffers(1, &target.fbo);
        if (target.tex_y != 0)
            glDeleteTextures(1, &target.tex_y);
        if (target.tex_uv != 0)
            glDeleteTextures(1, &target.tex_uv);
        if (destroy_image != nullptr) {
            if (target.image_y != EGL_NO_IMAGE_KHR)
                destroy_image(t->egl_display, target.image_y);
            if (target.image_uv != EGL_NO_IMAGE_KHR)
                destroy_image(t->egl_display, target.image_uv);
        }
        target.fd.reset();
    }
    if (t->program_y != 0)
        glDeleteProgram(t->program_y);
    if (t->program_uv != 0)
        glDeleteProgram(t->program_uv);
    shader_variants_release(&t->variants_y);
    shader_variants_release(&t->variants_uv);
    if (t->vao != 0)
        glDeleteVertexArrays(1, &t->vao);
    if (t->vbo != 0)
        glDeleteBuffers(1, &t->vbo);
    // Forget what was released so a second clean-up cannot close a
    // descriptor number that has been handed out again since.
    const EGLDisplay egl_display = t->egl_display;
    *t = ZeroCopyTargets{};
    t->egl_display = egl_display;
}
