#include "apps/capture/gpu/gl_cpu_renderer.h"

#include <GLES2/gl2ext.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// A read-back that has not completed after a second is left to the mapping,
// which waits for it inside the driver.
constexpr uint64_t kReadbackTimeoutNs = 1000000000ull;

uint64_t steady_ns()
{
    return uint64_t(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// GL_R16_EXT of EXT_texture_norm16: 16-bit normalised, renderable.
constexpr GLenum kR16 = 0x822A;

// A one-channel target: 8-bit, or 16-bit normalised for 2 bytes a sample.
GLuint make_plane_texture(int32_t w, int32_t h, int32_t sample_bytes)
{
    GLuint tex = 0;
    glGenTextures(1, &tex);
    glBindTexture(GL_TEXTURE_2D, tex);
    if (sample_bytes == 2)
        glTexImage2D(GL_TEXTURE_2D, 0, kR16, w, h, 0, GL_RED, GL_UNSIGNED_SHORT, nullptr);
    else
        glTexImage2D(GL_TEXTURE_2D, 0, GL_R8, w, h, 0, GL_RED, GL_UNSIGNED_BYTE, nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glBindTexture(GL_TEXTURE_2D, 0);
    return tex;
}

GLuint make_pack_buffer(GLsizeiptr bytes)
{
    GLuint pbo = 0;
    glGenBuffers(1, &pbo);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, pbo);
    glBufferData(GL_PIXEL_PACK_BUFFER, bytes, nullptr, GL_STREAM_READ);
    return pbo;
}

// Draws one pass into texture; 0, or -1 with nothing drawn.
int32_t draw_pass(ShaderVariants *variants, ShaderPass pass, GLuint plain, GLuint texture, int32_t width,
                  int32_t height, const FullScreenQuad &quad, const CursorOverlayGl *cursor,
                  const ShaderPicture *picture, const GLint *digits)
{
    glViewport(0, 0, width, height);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
    return shader_draw_picture(variants, pass, plain, picture, cursor, digits, width, height, quad, "[GL CPU Program]");
}

void read_into(GLuint texture, GLuint pbo, int32_t w, int32_t h, int32_t sample_bytes)
{
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, pbo);
    glReadPixels(0, 0, w, h, GL_RED, sample_bytes == 2 ? GL_UNSIGNED_SHORT : GL_UNSIGNED_BYTE, nullptr);
}

// The three targets and two read-back sets for sample_bytes; false when a
// target cannot be drawn into (what was made is in the record).
bool make_planes(GlCpuRenderer *r, int32_t sample_bytes)
{
    const int32_t w = r->width, h = r->height, hw = w / 2, hh = h / 2;
    while (glGetError() != GL_NO_ERROR) {
    }
    r->tex_y = make_plane_texture(w, h, sample_bytes);
    r->tex_u = make_plane_texture(hw, hh, sample_bytes);
    r->tex_v = make_plane_texture(hw, hh, sample_bytes);
    for (int set = 0; set < 2; ++set) {
        r->pbo_y[set] = make_pack_buffer(GLsizeiptr(w) * h * sample_bytes);
        r->pbo_u[set] = make_pack_buffer(GLsizeiptr(hh) * hw * sample_bytes);
        r->pbo_v[set] = make_pack_buffer(GLsizeiptr(hh) * hw * sample_bytes);
    }
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    glBindFramebuffer(GL_FRAMEBUFFER, r->fbo);
    bool complete = glGetError() == GL_NO_ERROR;
    for (GLuint t : {r->tex_y, r->tex_u, r->tex_v}) {
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, t, 0);
        complete = complete && glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    r->sample_bytes = sample_bytes;
    return complete;
}

void release_planes(GlCpuRenderer *r)
{
    GLuint buffers[6] = {r->pbo_y[0], r->pbo_u[0], r->pbo_v[0], r->pbo_y[1], r->pbo_u[1], r->pbo_v[1]};
    for (GLuint &b : buffers)
        if (b != 0)
            glDeleteBuffers(1, &b);
    for (GLuint t : {r->tex_y, r->tex_u, r->tex_v})
        if (t != 0)
            glDeleteTextures(1, &t);
    std::memset(r->pbo_y, 0, sizeof r->pbo_y);
    std::memset(r->pbo_u, 0, sizeof r->pbo_u);
    std::memset(r->pbo_v, 0, sizeof r->pbo_v);
    r->tex_y = r->tex_u = r->tex_v = 0;
}

// The uniform locations of the three programs.
void find_uniforms(GlCpuRenderer *r)
{
    r->loc_texture_y = glGetUniformLocation(r->program_y, "u_texture");
    r->loc_coeffs = glGetUniformLocation(r->program_y, "u_coeffs");
    r->loc_digits = glGetUniformLocation(r->program_y, "u_digits");
    r->loc_res = glGetUniformLocation(r->program_y, "u_res");
    r->loc_texture_u = glGetUniformLocation(r->program_u, "u_texture");
    r->loc_coeffs_u = glGetUniformLocation(r->program_u, "u_coeffs_u");
    r->loc_texture_v = glGetUniformLocation(r->program_v, "u_texture");
    r->loc_coeffs_v = glGetUniformLocation(r->program_v, "u_coeffs_v");
    glUseProgram(r->program_y);
    glUniform2f(r->loc_res, static_cast<float>(r->width), static_cast<float>(r->height));
    glUseProgram(0);
}

bool has_extension(const char *name)
{
    const char *list = reinterpret_cast<const char *>(glGetString(GL_EXTENSIONS));
    if (list == nullptr)
        return false;
    const size_t n = std::strlen(name);
    for (const char *p = std::strstr(list, name); p != nullptr; p = std::strstr(p + n, name))
        if ((p == list || p[-1] == ' ') && (p[n] == ' ' || p[n] == '\0'))
            return true;
    return false;
}

const uint8_t *map_plane(GLuint pbo, GLsizeiptr bytes)
{
    glBindBuffer(GL_PIXEL_PACK_BUFFER, pbo);
    return static_cast<const uint8_t *>(glMapBufferRange(GL_PIXEL_PACK_BUFFER, 0, bytes, GL_MAP_READ_BIT));
}

}  // namespace

void gl_cpu_set_coefficients(GlCpuRenderer *r, const ColourCoefficients &cc)
{
    r->colour_space = cc.name;
    r->coefficients = &cc;
    glUseProgram(r->program_y);
    glUniform4fv(r->loc_coeffs, 1, cc.y);
    glUseProgram(r->program_u);
    glUniform4fv(r->loc_coeffs_u, 1, cc.u);
    glUseProgram(r->program_v);
    glUniform4fv(r->loc_coeffs_v, 1, cc.v);
    glUseProgram(0);
}

int32_t gl_cpu_set_signal(GlCpuRenderer *r, const HdrSignal &signal, bool ten_bit)
{
    const ShaderColour colour = shader_colour_for(signal, ten_bit);
    if (colour == ShaderColour::sdr && r->colour == ShaderColour::sdr)
        return 0;
    if (ten_bit && !has_extension("GL_EXT_texture_norm16")) {
        std::fputs("[GL CPU] No 16-bit render targets (GL_EXT_texture_norm16): the 10-bit planes cannot be drawn\n",
                   stderr);
        return -1;
    }
    GLuint programs[3] = {shader_plain_program(ShaderPass::luma, colour, "[GL CPU Shader]", "[GL CPU Program]"),
                          shader_plain_program(ShaderPass::chroma_u, colour, "[GL CPU Shader]", "[GL CPU Program]"),
                          shader_plain_program(ShaderPass::chroma_v, colour, "[GL CPU Shader]", "[GL CPU Program]")};
    if (programs[0] == 0 || programs[1] == 0 || programs[2] == 0) {
        for (GLuint p : programs)
            if (p != 0)
                glDeleteProgram(p);
        std::fputs("[GL CPU] The conversion programs for the signal could not be built\n", stderr);
        return -1;
    }
    const int32_t sample_bytes = ten_bit ? 2 : 1;
    if (sample_bytes != r->sample_bytes) {
        release_planes(r);
        if (!make_planes(r, sample_bytes)) {
            // Back to the 8-bit targets the current programs draw.
            release_planes(r);
            make_planes(r, 1);
            for (GLuint p : programs)
                glDeleteProgram(p);
            std::fputs("[GL CPU] 16-bit render targets could not be made: the 10-bit planes cannot be drawn\n", stderr);
            return -1;
        }
    }
    for (GLuint p : {r->program_y, r->program_u, r->program_v})
        if (p != 0)
            glDeleteProgram(p);
    r->program_y = programs[0];
    r->program_u = programs[1];
    r->program_v = programs[2];
    r->colour = colour;
    for (ShaderVariants *variants : {&r->variants_y, &r->variants_u, &r->variants_v}) {
        shader_variants_release(variants);
        variants->colour = colour;
    }
    find_uniforms(r);
    for (GLuint p : programs)
        shader_colour_uniforms(p, colour, signal, 1.0f / 65535.0f);
    gl_cpu_set_coefficients(r, ten_bit ? shader_coefficients_for(colour, signal, r->width, r->height)
                                       : *r->coefficients);
    if (ten_bit)
        std::printf("[GL CPU] 10-bit planes (%s, %s)\n", r->colour_space, hdr_transfer_name(signal.transfer));
    else
        std::printf("[GL CPU] Tone mapping %s to SDR\n", hdr_transfer_name(signal.transfer));
    return 0;
}

int32_t gl_cpu_init(GlCpuRenderer *r, EGLDisplay display, int32_t width, int32_t height)
{
    std::memset(r, 0, sizeof *r);
    r->egl_display = display;
    r->width = width;
    r->height = height;

    GLuint vs = compile_shader(GL_VERTEX_SHADER, kVertexShaderSource);
    GLuint fy = compile_shader(GL_FRAGMENT_SHADER, kLumaShaderSource);
    GLuint fu = compile_shader(GL_FRAGMENT_SHADER, kChromaUShaderSource);
    GLuint fv = compile_shader(GL_FRAGMENT_SHADER, kChromaVShaderSource);
    if (vs == 0 || fy == 0 || fu == 0 || fv == 0) {
        // A failed shader object is not given back to the caller; delete the
        // ones that compiled so nothing is left behind.
        for (GLuint s : {vs, fy, fu, fv})
            if (s != 0)
                glDeleteShader(s);
        return -1;
    }
    r->program_y = link_program(vs, fy);
    r->program_u = link_program(vs, fu);
    r->program_v = link_program(vs, fv);
    for (GLuint s : {vs, fy, fu, fv})
        glDeleteShader(s);

    find_uniforms(r);

    FullScreenQuad quad;
    if (quad_create(&quad) == 0) {
        r->vao = quad.vao;
        r->vbo = quad.vbo;
    }

    glGenFramebuffers(1, &r->fbo);
    make_planes(r, 1);
    gl_cpu_set_coefficients(r, colour_coefficients_for_size(width, height));

    std::printf("[GL CPU] Color Space: %s\n", r->colour_space);
    std::printf("[GL CPU] Initialized I420: %dx%d, PBO double-buffer\n", width, height);
    return 0;
}

int32_t gl_cpu_render_and_map(GlCpuRenderer *r, GLuint source_texture, WatermarkValue watermark, const uint8_t **y,
                              int32_t *y_stride, const uint8_t **u, int32_t *u_stride, const uint8_t **v,
                              int32_t *v_stride, const CursorOverlayGl *cursor, const ShaderPicture *picture)
{
    const int32_t cur = r->pbo_index;
    const int32_t next = (cur + 1) % 2;
    const int32_t w = r->width, h = r->height, hw = w / 2, hh = h / 2;
    const FullScreenQuad quad{r->vbo, r->vao};

    glBindFramebuffer(GL_FRAMEBUFFER, r->fbo);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_EXTERNAL_OES, source_texture);

    const std::array<GLint, 13> digits = watermark_digits(watermark);
    if (draw_pass(&r->variants_y, ShaderPass::luma, r->program_y, r->tex_y, w, h, quad, cursor, picture,
                  digits.data()) != 0 ||
        draw_pass(&r->variants_u, ShaderPass::chroma_u, r->program_u, r->tex_u, hw, hh, quad, cursor, picture,
                  nullptr) != 0 ||
        draw_pass(&r->variants_v, ShaderPass::chroma_v, r->program_v, r->tex_v, hw, hh, quad, cursor, picture,
                  nullptr) != 0) {
        // A composing program could not be built: the frame is dropped
        // before anything is read back or handed out.
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        *y = *u = *v = nullptr;
        return -1;
    }

    // Rows are read back tightly packed: with the default alignment of 4 a
    // chroma width that is not a multiple of 4 (1366, 1281) would be padded
    // and no longer match the buffer sizes and strides handed out.
    GLint old_alignment = 4;
    glGetIntegerv(GL_PACK_ALIGNMENT, &old_alignment);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    const int32_t b = r->sample_bytes;
    read_into(r->tex_y, r->pbo_y[cur], w, h, b);
    read_into(r->tex_u, r->pbo_u[cur], hw, hh, b);
    read_into(r->tex_v, r->pbo_v[cur], hw, hh, b);
    glPixelStorei(GL_PACK_ALIGNMENT, old_alignment);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);

    // The set handed out: the one the previous call filled, or with the
    // same-frame read-back this call's own once its copies are done. One set
    // then serves every frame: it is unmapped before the next render.
    int32_t mapped = next;
    if (r->same_frame) {
        gl_cpu_fence_wait();
        mapped = cur;
    } else {
        glFlush();
    }

    if (r->same_frame || r->frame_count > 0) {
        *y = map_plane(r->pbo_y[mapped], GLsizeiptr(w) * h * b);
        *u = map_plane(r->pbo_u[mapped], GLsizeiptr(hw) * hh * b);
        *v = map_plane(r->pbo_v[mapped], GLsizeiptr(hw) * hh * b);
        *y_stride = w * b;
        *u_stride = hw * b;
        *v_stride = hw * b;
        glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    } else {
        *y = nullptr;
        *u = nullptr;
        *v = nullptr;
    }
    r->frame_count += 1;
    r->pbo_index = mapped;
    if (r->same_frame)
        return 0;
    return r->frame_count == 1 ? -1 : 0;
}

void gl_cpu_unmap(GlCpuRenderer *r)
{
    const int32_t set = r->pbo_index;
    for (GLuint pbo : {r->pbo_y[set], r->pbo_u[set], r->pbo_v[set]}) {
        glBindBuffer(GL_PIXEL_PACK_BUFFER, pbo);
        glUnmapBuffer(GL_PIXEL_PACK_BUFFER);
    }
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
}

void gl_cpu_set_same_frame(GlCpuRenderer *r, bool on)
{
    r->same_frame = on;
}

int32_t gl_cpu_fence_wait()
{
    GLsync fence = glFenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0);
    if (!fence) {
        glFlush();
        return -1;
    }
    const GLenum waited = glClientWaitSync(fence, GL_SYNC_FLUSH_COMMANDS_BIT, kReadbackTimeoutNs);
    glDeleteSync(fence);
    return waited == GL_ALREADY_SIGNALED || waited == GL_CONDITION_SATISFIED ? 0 : -1;
}

namespace {

// The probe's target and buffer, deleted on every path.
struct ProbeObjects {
    GLuint texture = 0, framebuffer = 0, buffer = 0;
    ProbeObjects() = default;
    ProbeObjects(const ProbeObjects &) = delete;
    ProbeObjects &operator=(const ProbeObjects &) = delete;
    ~ProbeObjects()
    {
        glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        if (buffer != 0)
            glDeleteBuffers(1, &buffer);
        if (framebuffer != 0)
            glDeleteFramebuffers(1, &framebuffer);
        if (texture != 0)
            glDeleteTextures(1, &texture);
    }
};

}  // namespace

double gl_cpu_readback_probe_ms(int32_t width, int32_t height, int32_t samples)
{
    if (width <= 0 || height <= 0 || samples <= 0)
        return -1.0;
    const GLsizeiptr bytes = static_cast<GLsizeiptr>(width) * height * 4;
    ProbeObjects objects;
    glGenTextures(1, &objects.texture);
    glBindTexture(GL_TEXTURE_2D, objects.texture);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glBindTexture(GL_TEXTURE_2D, 0);
    glGenFramebuffers(1, &objects.framebuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, objects.framebuffer);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, objects.texture, 0);
    if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE)
        return -1.0;
    objects.buffer = make_pack_buffer(bytes);
    glViewport(0, 0, width, height);

    std::vector<double> rounds;
    for (int32_t i = 0; i <= samples; ++i) {
        // A new picture every round, so nothing is left over from the last.
        const float level = static_cast<float>(i % 2);
        glClearColor(level, 0.5f, 1.0f - level, 1.0f);
        const uint64_t start = steady_ns();
        glClear(GL_COLOR_BUFFER_BIT);
        glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
        if (gl_cpu_fence_wait() != 0)
            return -1.0;
        const void *mapped = glMapBufferRange(GL_PIXEL_PACK_BUFFER, 0, bytes, GL_MAP_READ_BIT);
        if (!mapped)
            return -1.0;
        glUnmapBuffer(GL_PIXEL_PACK_BUFFER);
        const uint64_t end = steady_ns();
        if (i > 0)
            rounds.push_back(static_cast<double>(end - start) / 1e6);
    }
    std::sort(rounds.begin(), rounds.end());
    return rounds[rounds.size() / 2];
}

void gl_cpu_cleanup(GlCpuRenderer *r)
{
    if (r == nullptr)
        return;
    std::printf("[GL CPU] Cleanup...\n");
    release_planes(r);
    if (r->fbo != 0)
        glDeleteFramebuffers(1, &r->fbo);
    for (GLuint p : {r->program_y, r->program_u, r->program_v})
        if (p != 0)
            glDeleteProgram(p);
    for (ShaderVariants *variants : {&r->variants_y, &r->variants_u, &r->variants_v})
        shader_variants_release(variants);
    if (r->vao != 0)
        glDeleteVertexArrays(1, &r->vao);
    if (r->vbo != 0)
        glDeleteBuffers(1, &r->vbo);
    r->fbo = 0;
    r->program_y = r->program_u = r->program_v = 0;
    r->vao = r->vbo = 0;
}
