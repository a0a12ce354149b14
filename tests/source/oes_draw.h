// Draws an external-OES texture over a whole RGBA target through a trivial
// shader and reads the target back through a pixel-pack buffer: what a
// pipeline sees of an imported frame. Needs a current GL ES 3 context.
#pragma once

#include <cstdint>
#include <vector>

#include "apps/capture/source/egl_context.h"

namespace oes {

inline const char *kVertex = R"(#version 300 es
in vec2 pos;
out vec2 uv;
void main() { uv = pos * 0.5 + 0.5; gl_Position = vec4(pos, 0.0, 1.0); }
)";
inline const char *kFragment = R"(#version 300 es
#extension GL_OES_EGL_image_external_essl3 : require
precision mediump float;
uniform samplerExternalOES frame;
in vec2 uv;
out vec4 colour;
void main() { colour = texture(frame, uv); }
)";

inline GLuint compile(GLenum type, const char *src)
{
    GLuint s = glCreateShader(type);
    glShaderSource(s, 1, &src, nullptr);
    glCompileShader(s);
    GLint ok = 0;
    glGetShaderiv(s, GL_COMPILE_STATUS, &ok);
    return ok ? s : 0;
}

class Drawer {
public:
    Drawer() = default;
    Drawer(const Drawer &) = delete;
    Drawer &operator=(const Drawer &) = delete;
    ~Drawer()
    {
        if (pbo_)
            destroy_pbo(pbo_);
        if (fbo_)
            glDeleteFramebuffers(1, &fbo_);
        if (target_)
            glDeleteTextures(1, &target_);
        if (program_)
            glDeleteProgram(program_);
    }

    // Builds the program, a width x height RGBA8 target with its framebuffer
    // and a read-back buffer. False when any of them fails.
    bool init(uint32_t width, uint32_t height)
    {
        width_ = width;
        height_ = height;
        program_ = glCreateProgram();
        GLuint vs = compile(GL_VERTEX_SHADER, kVertex), fs = compile(GL_FRAGMENT_SHADER, kFragment);
        if (!vs || !fs)
            return false;
        glAttachShader(program_, vs);
        glAttachShader(program_, fs);
        glBindAttribLocation(program_, 0, "pos");
        glLinkProgram(program_);
        glDeleteShader(vs);
        glDeleteShader(fs);
        GLint ok = 0;
        glGetProgramiv(program_, GL_LINK_STATUS, &ok);
        if (!ok)
            return false;
        glGenTextures(1, &target_);
        glBindTexture(GL_TEXTURE_2D, target_);
        glTexStorage2D(GL_TEXTURE_2D, 1, GL_RGBA8, GLsizei(width), GLsizei(height));
        if (setup_framebuffer_object(target_, &fbo_) != 0)
            return false;
        pbo_ = create_pbo(size_t(width) * height * 4);
        return pbo_ != 0;
    }

    // Draws the texture over the target and reads it back: rows tightly
    // packed, R, G, B, A per pixel, row y being the texture's row y.
    std::vector<uint8_t> draw(GLuint texture)
    {
        static const float quad[] = {-1, -1, 1, -1, -1, 1, 1, 1};
        glBindFramebuffer(GL_FRAMEBUFFER, fbo_);
        glViewport(0, 0, GLsizei(width_), GLsizei(height_));
        glUseProgram(program_);
        glActiveTexture(GL_TEXTURE0);
        glBindTexture(GL_TEXTURE_EXTERNAL_OES, texture);
        glUniform1i(glGetUniformLocation(program_, "frame"), 0);
        glBindBuffer(GL_ARRAY_BUFFER, 0);
        glEnableVertexAttribArray(0);
        glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 0, quad);
        glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
        start_pbo_read(pbo_, int(width_), int(height_));
        size_t len = size_t(width_) * height_ * 4;
        auto *p = static_cast<const uint8_t *>(map_pbo(pbo_, len));
        std::vector<uint8_t> out;
        if (p)
            out.assign(p, p + len);
        unmap_pbo(pbo_);
        return out;
    }

private:
    uint32_t width_ = 0, height_ = 0;
    GLuint program_ = 0, target_ = 0, fbo_ = 0, pbo_ = 0;
};

// Number of pixels whose R, G, B read back differ from an XRGB8888 picture
// (B, G, R, X in memory) whose rows are stride bytes apart.
inline int mismatches(const std::vector<uint8_t> &rgba, const uint8_t *xrgb, uint32_t width, uint32_t height,
                      uint32_t stride)
{
    if (rgba.size() != size_t(width) * height * 4)
        return int(width * height);
    int bad = 0;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const uint8_t *got = &rgba[(size_t(y) * width + x) * 4];
            const uint8_t *want = xrgb + size_t(y) * stride + size_t(x) * 4;
            bad += got[0] != want[2] || got[1] != want[1] || got[2] != want[0];
        }
    return bad;
}

}  // namespace oes
