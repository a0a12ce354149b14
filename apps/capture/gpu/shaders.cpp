#include "apps/capture/gpu/shaders.h"

#include <cstdio>
#include <vector>

#define VISTREL_FRAGMENT_HEADER                                                                                        \
    "#version 300 es\n"                                                                                                \
    "#extension GL_OES_EGL_image_external_essl3 : require\n"                                                           \
    "#extension GL_OES_EGL_image_external : require\n"                                                                 \
    "precision highp float;\n"

// The picture at uv with the display's cursor over it: a premultiplied
// RGBA texture on its rectangle (in the picture's texture coordinates,
// top-left first, so a scaled output scales it too; a width of 0 draws
// none). Follows the declaration of u_texture.
#define VISTREL_PICTURE_WITH_CURSOR                                                                                    \
    "uniform sampler2D u_cursor;\n"                                                                                    \
    "uniform vec4 u_cursor_rect;\n"                                                                                    \
    "vec4 picture(vec2 uv) {\n"                                                                                        \
    "    vec4 rgba = texture(u_texture, uv);\n"                                                                        \
    "    vec2 p = (uv - u_cursor_rect.xy) / u_cursor_rect.zw;\n"                                                       \
    "    if (u_cursor_rect.z > 0.0 && p.x >= 0.0 && p.y >= 0.0 && p.x < 1.0 && p.y < 1.0) {\n"                         \
    "        vec4 c = texture(u_cursor, p);\n"                                                                         \
    "        rgba.rgb = c.rgb + (1.0 - c.a) * rgba.rgb;\n"                                                             \
    "    }\n"                                                                                                          \
    "    return rgba;\n"                                                                                               \
    "}\n"

const char *const kVertexShaderSource = "#version 300 es\n"
                                        "in vec2 a_pos;\n"
                                        "out vec2 v_uv;\n"
                                        "void main() {\n"
                                        "    gl_Position = vec4(a_pos, 0.0, 1.0);\n"
                                        "    v_uv = a_pos * 0.5 + 0.5;\n"
                                        "}\n";

// The digit loop runs only inside the watermark's box, which holds every
// digit cell, and reads the digits straight from the uniform: on a software
// rasteriser each fragment otherwise paid for thirteen cell tests and a copy
// of the digits, which cost as much as the whole conversion.
const char *const kLumaShaderSource = VISTREL_FRAGMENT_HEADER
    "uniform samplerExternalOES u_texture;\n" VISTREL_PICTURE_WITH_CURSOR "uniform vec4 u_coeffs;\n"
    "uniform int u_digits[13];\n"
    "uniform vec2 u_res;\n"
    "in vec2 v_uv;\n"
    "out float out_y;\n"
    "float rect(vec2 p, vec2 center, vec2 size) {\n"
    "    vec2 d = abs(p - center) - size * 0.5;\n"
    "    return step(max(d.x, d.y), 0.0);\n"
    "}\n"
    "float draw_7seg(int digit, vec2 uv) {\n"
    "    vec2 h = vec2(0.35, 0.10);\n"
    "    vec2 v = vec2(0.10, 0.20);\n"
    "    float p0 = rect(uv, vec2(0.5, 0.15), h);\n"
    "    float p1 = rect(uv, vec2(0.2, 0.35), v);\n"
    "    float p2 = rect(uv, vec2(0.8, 0.35), v);\n"
    "    float p3 = rect(uv, vec2(0.5, 0.50), h);\n"
    "    float p4 = rect(uv, vec2(0.2, 0.65), v);\n"
    "    float p5 = rect(uv, vec2(0.8, 0.65), v);\n"
    "    float p6 = rect(uv, vec2(0.5, 0.85), h);\n"
    "    float s = 0.0;\n"
    "    if (digit == 0) s = p0 + p1 + p2 + p4 + p5 + p6;\n"
    "    else if (digit == 1) s = p2 + p5;\n"
    "    else if (digit == 2) s = p0 + p2 + p3 + p4 + p6;\n"
    "    else if (digit == 3) s = p0 + p2 + p3 + p5 + p6;\n"
    "    else if (digit == 4) s = p1 + p2 + p3 + p5;\n"
    "    else if (digit == 5) s = p0 + p1 + p3 + p5 + p6;\n"
    "    else if (digit == 6) s = p0 + p1 + p3 + p4 + p5 + p6;\n"
    "    else if (digit == 7) s = p0 + p2 + p5;\n"
    "    else if (digit == 8) s = p0 + p1 + p2 + p3 + p4 + p5 + p6;\n"
    "    else if (digit == 9) s = p0 + p1 + p2 + p3 + p5 + p6;\n"
    "    return clamp(s, 0.0, 1.0);\n"
    "}\n"
    "void main() {\n"
    "    float px = v_uv.x * u_res.x;\n"
    "    float py = v_uv.y * u_res.y;\n"
    "    const float base_x = 50.0;\n"
    "    const float base_y = 50.0;\n"
    "    const float digit_w = 40.0;\n"
    "    const float digit_h = 80.0;\n"
    "    const float gap = 10.0;\n"
    "    const float watermark_w = 13.0 * digit_w + 12.0 * gap + 20.0;\n"
    "    const float watermark_h = digit_h + 20.0;\n"
    "    float bg = 0.0;\n"
    "    if (px >= base_x - 10.0 && px <= base_x + watermark_w &&\n"
    "        py >= base_y - 10.0 && py <= base_y + watermark_h) bg = 1.0;\n"
    "    float wm = 0.0;\n"
    "    for (int i = 0; i < 13 && bg > 0.0; ++i) {\n"
    "        float x0 = base_x + float(i) * (digit_w + gap);\n"
    "        float y0 = base_y;\n"
    "        if (px >= x0 && px <= x0 + digit_w && py >= y0 && py <= y0 + digit_h) {\n"
    "            wm = draw_7seg(u_digits[i], vec2((px - x0) / digit_w, (py - y0) / digit_h));\n"
    "            break;\n"
    "        }\n"
    "    }\n"
    "    vec4 rgba = picture(v_uv);\n"
    "    float y = u_coeffs.w + dot(rgba.rgb, u_coeffs.rgb);\n"
    "    y = mix(y, 0.0, bg * 0.7);\n"
    "    y = mix(y, 1.0, wm);\n"
    "    out_y = y;\n"
    "}\n";

const char *const kChromaUvShaderSource = VISTREL_FRAGMENT_HEADER
    "uniform samplerExternalOES u_texture;\n" VISTREL_PICTURE_WITH_CURSOR "uniform vec4 u_coeffs_u;\n"
    "uniform vec4 u_coeffs_v;\n"
    "in vec2 v_uv;\n"
    "out vec2 out_uv;\n"
    "void main() {\n"
    "    vec4 rgba = picture(v_uv);\n"
    "    float u = u_coeffs_u.w + dot(rgba.rgb, u_coeffs_u.rgb);\n"
    "    float v = u_coeffs_v.w + dot(rgba.rgb, u_coeffs_v.rgb);\n"
    "    out_uv = vec2(u, v);\n"
    "}\n";

const char *const kChromaUShaderSource = VISTREL_FRAGMENT_HEADER
    "uniform samplerExternalOES u_texture;\n" VISTREL_PICTURE_WITH_CURSOR "uniform vec4 u_coeffs_u;\n"
    "in vec2 v_uv;\n"
    "out float out_u;\n"
    "void main() {\n"
    "    vec4 rgba = picture(v_uv);\n"
    "    out_u = u_coeffs_u.w + dot(rgba.rgb, u_coeffs_u.rgb);\n"
    "}\n";

const char *const kChromaVShaderSource = VISTREL_FRAGMENT_HEADER
    "uniform samplerExternalOES u_texture;\n" VISTREL_PICTURE_WITH_CURSOR "uniform vec4 u_coeffs_v;\n"
    "in vec2 v_uv;\n"
    "out float out_v;\n"
    "void main() {\n"
    "    vec4 rgba = picture(v_uv);\n"
    "    out_v = u_coeffs_v.w + dot(rgba.rgb, u_coeffs_v.rgb);\n"
    "}\n";

const ColourCoefficients kBt709Limited = {
    "BT.709 Limited",
    {0.182585880f, 0.614230573f, 0.0620070584f, 0.0627451017f},
    {-0.100643732f, -0.338571966f, 0.439215690f, 0.501960814f},
    {0.439215690f, -0.398942143f, -0.0402735211f, 0.501960814f},
};

const ColourCoefficients kBt601Limited = {
    "BT.601 Limited",
    {0.256788224f, 0.504129350f, 0.0979058817f, 0.0627451017f},
    {-0.148222908f, -0.290992767f, 0.439215690f, 0.501960814f},
    {0.439215690f, -0.367788315f, -0.0714273751f, 0.501960814f},
};

const ColourCoefficients &colour_coefficients_for_size(int width, int height)
{
    return (width > 1279 || height > 719) ? kBt709Limited : kBt601Limited;
}

std::array<GLint, 13> watermark_digits(WatermarkValue value)
{
    std::array<GLint, 13> d{};
    for (int i = 12; i >= 0; --i) {
        d[i] = static_cast<GLint>(value % 10u);
        value /= 10u;
    }
    return d;
}

namespace {

// The shader or program when its status query gives GL_TRUE; otherwise its
// info log after tag on stderr, the object deleted, and 0.
GLuint checked_object(GLuint object, GLenum status, void (*get_iv)(GLuint, GLenum, GLint *),
                      void (*get_log)(GLuint, GLsizei, GLsizei *, GLchar *), void (*destroy)(GLuint), const char *tag)
{
    GLint ok = GL_FALSE;
    get_iv(object, status, &ok);
    if (ok == GL_TRUE)
        return object;
    char log[512] = {0};
    get_log(object, sizeof log, nullptr, log);
    std::fprintf(stderr, "%s %s\n", tag, log);
    destroy(object);
    return 0;
}

}  // namespace

GLuint compile_shader_tagged(GLenum type, const char *source, const char *tag)
{
    GLuint shader = glCreateShader(type);
    if (shader == 0)
        return 0;
    glShaderSource(shader, 1, &source, nullptr);
    glCompileShader(shader);
    return checked_object(shader, GL_COMPILE_STATUS, glGetShaderiv, glGetShaderInfoLog, glDeleteShader, tag);
}

GLuint link_program_tagged(GLuint vertex_shader, GLuint fragment_shader, const char *tag)
{
    GLuint program = glCreateProgram();
    if (program == 0)
        return 0;
    glAttachShader(program, vertex_shader);
    glAttachShader(program, fragment_shader);
    glLinkProgram(program);
    return checked_object(program, GL_LINK_STATUS, glGetProgramiv, glGetProgramInfoLog, glDeleteProgram, tag);
}

GLuint compile_shader(GLenum type, const char *source)
{
    return compile_shader_tagged(type, source, "[GL CPU Shader]");
}

GLuint link_program(GLuint vertex_shader, GLuint fragment_shader)
{
    return link_program_tagged(vertex_shader, fragment_shader, "[GL CPU Program]");
}

int quad_create(FullScreenQuad *quad)
{
    static const GLfloat kVertices[8] = {-1.f, -1.f, 1.f, -1.f, -1.f, 1.f, 1.f, 1.f};
    FullScreenQuad q;
    glGenBuffers(1, &q.vbo);
    glGenVertexArrays(1, &q.vao);
    if (q.vbo == 0 || q.vao == 0) {
        quad_destroy(&q);
        return -1;
    }
    glBindVertexArray(q.vao);
    glBindBuffer(GL_ARRAY_BUFFER, q.vbo);
    glBufferData(GL_ARRAY_BUFFER, sizeof kVertices, kVertices, GL_STATIC_DRAW);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 2 * sizeof(GLfloat), nullptr);
    glBindVertexArray(0);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    *quad = q;
    return 0;
}

void quad_draw(const FullScreenQuad &quad)
{
    glBindVertexArray(quad.vao);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    glBindVertexArray(0);
}

void quad_destroy(FullScreenQuad *quad)
{
    if (quad->vao != 0)
        glDeleteVertexArrays(1, &quad->vao);
    if (quad->vbo != 0)
        glDeleteBuffers(1, &quad->vbo);
    quad->vao = 0;
    quad->vbo = 0;
}

void shader_cursor_bind(GLuint program, const CursorOverlayGl *cursor)
{
    glUniform1i(glGetUniformLocation(program, "u_cursor"), 1);
    const bool drawn = cursor && cursor->texture && cursor->width > 0.f && cursor->height > 0.f;
    const GLfloat rect[4] = {drawn ? cursor->x : 0.f, drawn ? cursor->y : 0.f, drawn ? cursor->width : 0.f,
                             drawn ? cursor->height : 1.f};
    glUniform4fv(glGetUniformLocation(program, "u_cursor_rect"), 1, rect);
    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, drawn ? cursor->texture : 0);
    glActiveTexture(GL_TEXTURE0);
}

GLuint shader_cursor_texture(const uint32_t *argb, uint32_t width, uint32_t height)
{
    // ARGB words to RGBA bytes (GLES uploads no BGRA without an extension).
    std::vector<uint8_t> rgba(size_t(width) * height * 4);
    for (size_t i = 0; i < size_t(width) * height; ++i) {
        const uint32_t p = argb[i];
        rgba[4 * i] = uint8_t(p >> 16);
        rgba[4 * i + 1] = uint8_t(p >> 8);
        rgba[4 * i + 2] = uint8_t(p);
        rgba[4 * i + 3] = uint8_t(p >> 24);
    }
    GLuint texture = 0;
    glGenTextures(1, &texture);
    if (texture == 0)
        return 0;
    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, texture);
    GLint old_alignment = 4;
    glGetIntegerv(GL_UNPACK_ALIGNMENT, &old_alignment);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, GLsizei(width), GLsizei(height), 0, GL_RGBA, GL_UNSIGNED_BYTE,
                 rgba.data());
    glPixelStorei(GL_UNPACK_ALIGNMENT, old_alignment);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glBindTexture(GL_TEXTURE_2D, 0);
    glActiveTexture(GL_TEXTURE0);
    if (glGetError() != GL_NO_ERROR) {
        glDeleteTextures(1, &texture);
        return 0;
    }
    return texture;
}
