#include "apps/capture/gpu/shaders.h"

#include <GLES2/gl2ext.h>

#include "apps/capture/core/hdr_tone.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
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

const ColourCoefficients kBt2020Limited = {
    "BT.2020 Limited",
    {0.225612941f, 0.582282353f, 0.0509282353f, 0.0627451017f},
    {-0.122655428f, -0.316560259f, 0.439215690f, 0.501960814f},
    {0.439215690f, -0.403890188f, -0.0353254987f, 0.501960814f},
};

const ColourCoefficients &colour_coefficients_for_size(int width, int height)
{
    return (width > 1279 || height > 719) ? kBt709Limited : kBt601Limited;
}

ShaderColour shader_colour_for(const HdrSignal &signal, bool ten_bit)
{
    if (ten_bit)
        return ShaderColour::ten_bit;
    switch (signal.transfer) {
    case HDR_TRANSFER_PQ: return ShaderColour::tone_pq;
    case HDR_TRANSFER_HLG: return ShaderColour::tone_hlg;
    default: return ShaderColour::sdr;
    }
}

const ColourCoefficients &shader_coefficients_for(ShaderColour colour, const HdrSignal &signal, int width, int height)
{
    if (colour == ShaderColour::ten_bit)
        return signal.bt2020 ? kBt2020Limited : kBt709Limited;
    return colour_coefficients_for_size(width, height);
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

namespace {

// Every plain fragment source is this prefix and then its pass's own part,
// which a composing variant keeps after its own picture().
constexpr char kPlainPrefix[] =
    VISTREL_FRAGMENT_HEADER "uniform samplerExternalOES u_texture;\n" VISTREL_PICTURE_WITH_CURSOR;

const char *plain_source(ShaderPass pass)
{
    switch (pass) {
    case ShaderPass::luma: return kLumaShaderSource;
    case ShaderPass::chroma_uv: return kChromaUvShaderSource;
    case ShaderPass::chroma_u: return kChromaUShaderSource;
    case ShaderPass::chroma_v: return kChromaVShaderSource;
    }
    return kLumaShaderSource;
}

// The tone-mapping stage: the picture part before it is compiled as
// picture_signal(), and picture() gives its colour through the curve of
// hdr_tone.h. u_tone: the source peak's PQ code, the target's over it
// (normalised), the knee, 1 / the target peak in cd/m2.
constexpr char kToneStage[] =
    "#undef picture\n"
    "uniform vec4 u_tone;\n"
    "uniform mat3 u_to709;\n"
    "const float PQ_M1 = 0.1593017578125;\n"
    "const float PQ_M2 = 78.84375;\n"
    "const float PQ_C1 = 0.8359375;\n"
    "const float PQ_C2 = 18.8515625;\n"
    "const float PQ_C3 = 18.6875;\n"
    "vec3 pq_to_nits(vec3 e) {\n"
    "    vec3 p = pow(e, vec3(1.0 / PQ_M2));\n"
    "    return 10000.0 * pow(max(p - PQ_C1, 0.0) / (PQ_C2 - PQ_C3 * p), vec3(1.0 / PQ_M1));\n"
    "}\n"
    "vec3 nits_to_pq(vec3 nits) {\n"
    "    vec3 y = pow(nits * 0.0001, vec3(PQ_M1));\n"
    "    return pow((PQ_C1 + PQ_C2 * y) / (1.0 + PQ_C3 * y), vec3(PQ_M2));\n"
    "}\n"
    // The EETF on absolute PQ codes: the identity below the knee, the
    // Hermite spline from it to the source peak, held at the target peak
    // above that. The two are selected, never blended: with no knee (a
    // source peak at the target's) the spline's terms need not be finite.
    "vec3 eetf(vec3 pq) {\n"
    "    vec3 e1 = clamp(pq / u_tone.x, 0.0, 1.0);\n"
    "    float ks = min(u_tone.z, 1.0);\n"
    "    vec3 t = (e1 - ks) / max(1.0 - ks, 1e-6);\n"
    "    vec3 t2 = t * t;\n"
    "    vec3 t3 = t2 * t;\n"
    "    vec3 p = (2.0 * t3 - 3.0 * t2 + 1.0) * ks + (t3 - 2.0 * t2 + t) * (1.0 - ks) + (3.0 * t2 - 2.0 * t3) * u_tone.y;\n"
    "    return mix(p, e1, lessThan(e1, vec3(ks))) * u_tone.x;\n"
    "}\n"
    "vec3 tone(vec3 signal) {\n"
    "    signal = clamp(signal, 0.0, 1.0);\n"
    "#ifdef VISTREL_HLG\n"
    "    vec3 scene = mix((exp((signal - 0.55991073) / 0.17883277) + 0.28466892) / 12.0, signal * signal / 3.0,\n"
    "                     lessThanEqual(signal, vec3(0.5)));\n"
    "    float ys = dot(scene, vec3(0.2627, 0.6780, 0.0593));\n"
    "    vec3 pq = nits_to_pq(1000.0 * pow(max(ys, 1e-12), 0.2) * scene);\n"
    "#else\n"
    "    vec3 pq = signal;\n"
    "#endif\n"
    "    vec3 light = clamp(u_to709 * (pq_to_nits(eetf(pq)) * u_tone.w), 0.0, 1.0);\n"
    "    return pow(light, vec3(1.0 / 2.4));\n"
    "}\n"
    "vec4 picture(vec2 uv) {\n"
    "    vec4 c = picture_signal(uv);\n"
    "    return vec4(tone(c.rgb), c.a);\n"
    "}\n";

// The output a pass writes.
const char *pass_output(ShaderPass pass)
{
    switch (pass) {
    case ShaderPass::luma: return "out_y";
    case ShaderPass::chroma_uv: return "out_uv";
    case ShaderPass::chroma_u: return "out_u";
    case ShaderPass::chroma_v: return "out_v";
    }
    return "out_y";
}

// A fragment source: the picture part (the plain one or a composing one),
// then the pass's own part, with the colour stage around them.
std::string colour_source(ShaderPass pass, const std::string &picture_part, ShaderColour colour)
{
    const char *pass_part = plain_source(pass) + (sizeof kPlainPrefix - 1);
    std::string s = VISTREL_FRAGMENT_HEADER;
    switch (colour) {
    case ShaderColour::sdr: return s + picture_part + pass_part;
    case ShaderColour::tone_pq:
    case ShaderColour::tone_hlg:
        if (colour == ShaderColour::tone_hlg)
            s += "#define VISTREL_HLG\n";
        return s + "#define picture picture_signal\n" + picture_part + kToneStage + pass_part;
    case ShaderColour::ten_bit: {
        const std::string out = pass_output(pass);
        return s + picture_part + "#define main pass_main\n" + pass_part +
               "#undef main\n"
               "uniform float u_unit;\n"
               "void main() {\n"
               "    pass_main();\n    " +
               out + " = clamp(floor(" + out + " * 1020.0 + 0.5), 0.0, 1023.0) * u_unit;\n}\n";
    }
    }
    return s + picture_part + pass_part;
}

// The composing picture(): black, each layer in its rectangle blended over
// what is below (the colour weighted by k, what is below by 1 - w, k and w
// the plane alpha times the pixel's alpha where the blend mode uses it), the
// cursor over all. The layers' code is unrolled: an external sampler cannot
// be indexed, and a software rasteriser pays for every loop step.
std::string layered_picture(uint32_t count, uint32_t external_mask, uint32_t clamp_mask, bool covered)
{
    const std::string n = std::to_string(count);
    std::string s = "uniform sampler2D u_cursor;\n"
                    "uniform vec4 u_cursor_rect;\n"
                    "uniform vec3 u_cursor_turn[2];\n";
    if (count > 0)
        s += "uniform vec4 u_layer_rect[" + n + "];\nuniform vec4 u_layer_clamp[" + n +
             "];\nuniform vec3 u_layer_blend[" + n + "];\n";
    for (uint32_t i = 0; i < count; ++i)
        s += std::string("uniform ") + ((external_mask >> i) & 1u ? "samplerExternalOES" : "sampler2D") + " u_layer" +
             std::to_string(i) + ";\nin vec2 v_layer" + std::to_string(i) + ";\n";
    s += "vec3 over(vec3 below, vec4 c, vec3 b) {\n"
         "    float k = b.x * mix(1.0, c.a, b.y);\n"
         "    float w = b.x * mix(1.0, c.a, b.z);\n"
         "    return c.rgb * k + (1.0 - w) * below;\n"
         "}\n"
         "vec4 picture(vec2 uv) {\n"
         "    vec3 rgb = vec3(0.0);\n";
    for (uint32_t i = 0; i < count; ++i) {
        const std::string k = std::to_string(i);
        // An opaque bottom layer covering every pixel drawn replaces the
        // black: no rectangle test, no blending.
        const bool replaces = covered && i == 0;
        if (replaces)
            s += "    {\n";
        else
            s += "    if (all(greaterThanEqual(uv, u_layer_rect[" + k + "].xy)) && all(lessThan(uv, u_layer_rect[" + k +
                 "].zw))) {\n";
        s += "        vec2 t = v_layer" + k + ";\n";
        // Only a source rectangle smaller than its buffer needs the clamp:
        // at the buffer's edges the sampler's own clamp to the edge gives
        // the same, and clamped coordinates cost a software rasteriser as
        // much again as the sample (it no longer sees them as linear).
        if ((clamp_mask >> i) & 1u)
            s += "        t = clamp(t, u_layer_clamp[" + k + "].xy, u_layer_clamp[" + k + "].zw);\n";
        if (replaces)
            s += "        rgb = texture(u_layer" + k + ", t).rgb;\n    }\n";
        else
            s += "        rgb = over(rgb, texture(u_layer" + k + ", t), u_layer_blend[" + k + "]);\n    }\n";
    }
    s += "    vec2 q = (uv - u_cursor_rect.xy) / u_cursor_rect.zw;\n"
         "    if (u_cursor_rect.z > 0.0 && q.x >= 0.0 && q.y >= 0.0 && q.x < 1.0 && q.y < 1.0) {\n"
         "        vec3 r = vec3(q, 1.0);\n"
         "        vec4 c = texture(u_cursor, vec2(dot(u_cursor_turn[0], r), dot(u_cursor_turn[1], r)));\n"
         "        rgb = c.rgb + (1.0 - c.a) * rgb;\n"
         "    }\n"
         "    return vec4(rgb, 1.0);\n"
         "}\n";
    return s;
}

// The composing vertex shader: beside v_uv, each layer's texture
// coordinates, an affine map of uv and so exact when interpolated. A
// software rasteriser samples interpolated coordinates at about the cost of
// the plain picture's; computed in the fragment shader they cost half as much
// again.
std::string layered_vertex(uint32_t count)
{
    std::string s = "#version 300 es\n"
                    "in vec2 a_pos;\n"
                    "out vec2 v_uv;\n";
    if (count > 0)
        s += "uniform vec3 u_layer_map[" + std::to_string(2 * count) + "];\n";
    for (uint32_t i = 0; i < count; ++i)
        s += "out vec2 v_layer" + std::to_string(i) + ";\n";
    s += "void main() {\n"
         "    gl_Position = vec4(a_pos, 0.0, 1.0);\n"
         "    v_uv = a_pos * 0.5 + 0.5;\n"
         "    vec3 p = vec3(v_uv, 1.0);\n";
    for (uint32_t i = 0; i < count; ++i)
        s += "    v_layer" + std::to_string(i) + " = vec2(dot(u_layer_map[" + std::to_string(2 * i) +
             "], p), dot(u_layer_map[" + std::to_string(2 * i + 1) + "], p));\n";
    return s + "}\n";
}

// The variants of count layers follow those of fewer: 4^0 + ... + 4^(count-1)
// before them, then one per sampler kinds and clamps, each twice: with the
// bottom layer tested and blended, and replacing the black.
int variant_index(uint32_t count, uint32_t external_mask, uint32_t clamp_mask, bool covered)
{
    const uint32_t before = ((1u << (2 * count)) - 1u) / 3u;
    return static_cast<int>(2 * (before + (clamp_mask << count | external_mask)) + (covered ? 1 : 0));
}

// A layer whose source rectangle is not its whole buffer.
bool layer_needs_clamp(const ShaderLayer &layer)
{
    const PlaneRecord &p = layer.plane;
    return p.src_x != 0 || p.src_y != 0 || p.src_w != p.width << 16 || p.src_h != p.height << 16;
}

constexpr uint32_t fourcc(char a, char b, char c, char d)
{
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 | uint32_t(uint8_t(d)) << 24;
}

// Formats whose pixels carry an alpha the blend mode uses; every other
// format's pixels are opaque, whatever its padding bits hold.
bool format_has_alpha(uint32_t format)
{
    static constexpr uint32_t kWithAlpha[] = {
        fourcc('A', 'R', '2', '4'), fourcc('A', 'B', '2', '4'), fourcc('R', 'A', '2', '4'), fourcc('B', 'A', '2', '4'),
        fourcc('A', 'R', '3', '0'), fourcc('A', 'B', '3', '0'), fourcc('R', 'A', '3', '0'), fourcc('B', 'A', '3', '0'),
        fourcc('A', 'R', '1', '2'), fourcc('A', 'B', '1', '2'), fourcc('R', 'A', '1', '2'), fourcc('B', 'A', '1', '2'),
        fourcc('A', 'R', '1', '5'), fourcc('A', 'B', '1', '5'), fourcc('R', 'A', '1', '5'), fourcc('B', 'A', '1', '5'),
        fourcc('A', 'R', '4', 'H'), fourcc('A', 'B', '4', 'H'), fourcc('A', 'B', '4', '8'), fourcc('A', 'R', '4', '8'),
    };
    for (uint32_t f : kWithAlpha)
        if (f == format)
            return true;
    return false;
}

// The plain program's colour and size uniforms, copied into variant.
void copy_constant_uniforms(GLuint plain, GLuint variant)
{
    static const char *const kVec4[] = {"u_coeffs", "u_coeffs_u", "u_coeffs_v", "u_tone"};
    glUseProgram(variant);
    GLfloat value[9];
    for (const char *name : kVec4) {
        const GLint from = glGetUniformLocation(plain, name);
        if (from < 0)
            continue;
        glGetUniformfv(plain, from, value);
        glUniform4fv(glGetUniformLocation(variant, name), 1, value);
    }
    const GLint res = glGetUniformLocation(plain, "u_res");
    if (res >= 0) {
        glGetUniformfv(plain, res, value);
        glUniform2fv(glGetUniformLocation(variant, "u_res"), 1, value);
    }
    const GLint to709 = glGetUniformLocation(plain, "u_to709");
    if (to709 >= 0) {
        glGetUniformfv(plain, to709, value);
        glUniformMatrix3fv(glGetUniformLocation(variant, "u_to709"), 1, GL_FALSE, value);
    }
    const GLint unit = glGetUniformLocation(plain, "u_unit");
    if (unit >= 0) {
        glGetUniformfv(plain, unit, value);
        glUniform1f(glGetUniformLocation(variant, "u_unit"), value[0]);
    }
}

std::string composing_source(ShaderPass pass, uint32_t count, uint32_t external_mask, uint32_t clamp_mask, bool covered,
                             ShaderColour colour)
{
    return colour_source(pass, layered_picture(count, external_mask, clamp_mask, covered), colour);
}

// The variant for the picture's layers, any count from 0 (black) on;
// covered: its bottom layer is opaque on every pixel drawn.
GLuint variant_for(ShaderVariants *variants, ShaderPass pass, GLuint plain, const ShaderPicture *picture, bool covered,
                   const char *tag)
{
    if (picture->count > SHADER_MAX_LAYERS)
        return 0;
    uint32_t external_mask = 0, clamp_mask = 0;
    for (uint32_t i = 0; i < picture->count; ++i) {
        external_mask |= picture->layers[i].external ? 1u << i : 0u;
        clamp_mask |= layer_needs_clamp(picture->layers[i]) ? 1u << i : 0u;
    }
    covered = covered && picture->count > 0;
    const int index = variant_index(picture->count, external_mask, clamp_mask, covered);
    if (variants->program[index] != 0 || variants->failed[index])
        return variants->program[index];

    GLint in_use = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &in_use);
    const std::string source =
        composing_source(pass, picture->count, external_mask, clamp_mask, covered, variants->colour);
    const std::string vertex = layered_vertex(picture->count);
    GLuint vs = compile_shader_tagged(GL_VERTEX_SHADER, vertex.c_str(), tag);
    GLuint fs = compile_shader_tagged(GL_FRAGMENT_SHADER, source.c_str(), tag);
    GLuint program = vs != 0 && fs != 0 ? link_program_tagged(vs, fs, tag) : 0;
    for (GLuint s : {vs, fs})
        if (s != 0)
            glDeleteShader(s);
    if (program == 0) {
        std::fprintf(stderr, "%s the program composing %u layers could not be built\n", tag, picture->count);
        variants->failed[index] = true;
        return 0;
    }
    copy_constant_uniforms(plain, program);
    glUseProgram(static_cast<GLuint>(in_use));
    variants->program[index] = program;
    return program;
}

}  // namespace

std::string shader_fragment_source(ShaderPass pass, uint32_t count, uint32_t external_mask, uint32_t clamp_mask,
                                   ShaderColour colour)
{
    if (count == 0)
        return colour == ShaderColour::sdr ? plain_source(pass)
                                           : colour_source(pass, kPlainPrefix + (sizeof VISTREL_FRAGMENT_HEADER - 1),
                                                           colour);
    return composing_source(pass, count, external_mask, clamp_mask, false, colour);
}

GLuint shader_plain_program(ShaderPass pass, ShaderColour colour, const char *shader_tag, const char *program_tag)
{
    const std::string source = shader_fragment_source(pass, 0, 0, 0, colour);
    GLuint vs = compile_shader_tagged(GL_VERTEX_SHADER, kVertexShaderSource, shader_tag);
    GLuint fs = compile_shader_tagged(GL_FRAGMENT_SHADER, source.c_str(), shader_tag);
    GLuint program = vs != 0 && fs != 0 ? link_program_tagged(vs, fs, program_tag) : 0;
    for (GLuint s : {vs, fs})
        if (s != 0)
            glDeleteShader(s);
    return program;
}

void shader_colour_uniforms(GLuint program, ShaderColour colour, const HdrSignal &signal, float unit)
{
    glUseProgram(program);
    if (colour == ShaderColour::tone_pq || colour == ShaderColour::tone_hlg) {
        const HdrToneMap map = hdr_tone_map_for(signal);
        glUniform4f(glGetUniformLocation(program, "u_tone"), map.source_peak_pq, map.max_lum, map.knee_start,
                    1.0f / map.target_peak);
        glUniformMatrix3fv(glGetUniformLocation(program, "u_to709"), 1, GL_TRUE, map.to_709);
    } else if (colour == ShaderColour::ten_bit) {
        glUniform1f(glGetUniformLocation(program, "u_unit"), unit);
    }
    glUseProgram(0);
}

GLuint shader_program_for(ShaderVariants *variants, ShaderPass pass, GLuint plain, const ShaderPicture *picture,
                          const char *tag)
{
    if (picture == nullptr || picture->count == 0)
        return plain;
    return variant_for(variants, pass, plain, picture, false, tag);
}

void shader_variants_release(ShaderVariants *variants)
{
    for (GLuint &program : variants->program)
        if (program != 0)
            glDeleteProgram(program);
    const ShaderColour colour = variants->colour;
    *variants = ShaderVariants{};
    variants->colour = colour;
}

namespace {

// One layer's uniforms: where it shows in the output's texture coordinates
// (an empty rectangle when it shows nothing), the map from there into its
// texture, the clamp half a texel inside its source rectangle, and its
// blending.
struct LayerUniforms {
    GLfloat map[6];
    GLfloat rect[4];
    GLfloat clamp[4];
    GLfloat blend[3];
};

LayerUniforms layer_uniforms(const ShaderPicture &picture, const ShaderLayer &layer)
{
    LayerUniforms u{};
    LayerMapping m;
    const PlaneRecord &plane = layer.plane;
    if (layer.texture == 0 || !plane_layer_mapping(plane, picture.crtc_width, picture.crtc_height, picture.turns, &m))
        return u;  // rect 0,0,0,0 holds no point
    uint32_t sw = 0, sh = 0;
    plane_stream_size(picture.crtc_width, picture.crtc_height, picture.turns, &sw, &sh);
    // The output's uv is the stream pixel divided by the stream's size, top
    // row at 0, as the buffer's texture coordinate is its pixel divided by
    // its size, top row at 0: the read-back's first row is the picture's top.
    const double w = sw, h = sh, bw = plane.width, bh = plane.height;
    const double map[6] = {m.m[0] * w / bw, m.m[1] * h / bw, m.m[2] / bw,
                           m.m[3] * w / bh, m.m[4] * h / bh, m.m[5] / bh};
    for (int i = 0; i < 6; ++i)
        u.map[i] = static_cast<GLfloat>(map[i]);
    u.rect[0] = static_cast<GLfloat>(m.x0 / w);
    u.rect[1] = static_cast<GLfloat>(m.y0 / h);
    u.rect[2] = static_cast<GLfloat>(m.x1 / w);
    u.rect[3] = static_cast<GLfloat>(m.y1 / h);
    // Bilinear samples at texel centres half a texel inside the source
    // rectangle read nothing outside it; a source thinner than a texel
    // samples its middle.
    auto inside = [](double lo, double hi, double size, GLfloat *out_lo, GLfloat *out_hi) {
        double a = lo + 0.5, b = hi - 0.5;
        if (a > b)
            a = b = (lo + hi) / 2.0;
        *out_lo = static_cast<GLfloat>(a / size);
        *out_hi = static_cast<GLfloat>(b / size);
    };
    inside(m.src_x0, m.src_x1, bw, &u.clamp[0], &u.clamp[2]);
    inside(m.src_y0, m.src_y1, bh, &u.clamp[1], &u.clamp[3]);
    u.blend[0] = static_cast<GLfloat>(std::min<uint32_t>(plane.alpha, 0xffff) / 65535.0);
    uint32_t blend = plane.blend;
    if (!format_has_alpha(plane.format))
        blend = UDS_BLEND_NONE;                            // the same as either other mode for opaque pixels
    u.blend[1] = blend == UDS_BLEND_COVERAGE ? 1.f : 0.f;  // colour weighted by the pixel's alpha
    u.blend[2] = blend == UDS_BLEND_NONE ? 0.f : 1.f;      // what is below uncovered by it
    return u;
}

}  // namespace

void shader_picture_bind(GLuint program, const ShaderPicture *picture)
{
    if (picture == nullptr || picture->count == 0)
        glUniform1i(glGetUniformLocation(program, "u_texture"), 0);
    if (picture == nullptr)
        return;
    const uint32_t count = std::min<uint32_t>(picture->count, SHADER_MAX_LAYERS);
    GLfloat map[2 * SHADER_MAX_LAYERS][3], rect[SHADER_MAX_LAYERS][4], clamp[SHADER_MAX_LAYERS][4],
        blend[SHADER_MAX_LAYERS][3];
    for (uint32_t i = 0; i < count; ++i) {
        const ShaderLayer &layer = picture->layers[i];
        const LayerUniforms u = layer_uniforms(*picture, layer);
        std::memcpy(map[2 * i], u.map, sizeof u.map);
        std::memcpy(rect[i], u.rect, sizeof u.rect);
        std::memcpy(clamp[i], u.clamp, sizeof u.clamp);
        std::memcpy(blend[i], u.blend, sizeof u.blend);
        const GLint unit = 2 + static_cast<GLint>(i);
        const GLenum target = layer.external ? GL_TEXTURE_EXTERNAL_OES : GL_TEXTURE_2D;
        glActiveTexture(GL_TEXTURE0 + unit);
        glBindTexture(target, layer.texture);
        if (layer.texture != 0) {
            glTexParameteri(target, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
            glTexParameteri(target, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
            glTexParameteri(target, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
            glTexParameteri(target, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        }
        const std::string name = "u_layer" + std::to_string(i);
        glUniform1i(glGetUniformLocation(program, name.c_str()), unit);
    }
    glActiveTexture(GL_TEXTURE0);
    const GLsizei n = static_cast<GLsizei>(count);
    if (n > 0) {
        glUniform3fv(glGetUniformLocation(program, "u_layer_map"), 2 * n, map[0]);
        glUniform4fv(glGetUniformLocation(program, "u_layer_rect"), n, rect[0]);
        glUniform4fv(glGetUniformLocation(program, "u_layer_clamp"), n, clamp[0]);
        glUniform3fv(glGetUniformLocation(program, "u_layer_blend"), n, blend[0]);
    }
    // The cursor's image turned with the stream: from a point of its
    // rectangle in the stream (0..1 each way) to the same point of the image.
    static const GLfloat kTurn[4][6] = {
        {1, 0, 0, 0, 1, 0}, {0, 1, 0, -1, 0, 1}, {-1, 0, 1, 0, -1, 1}, {0, -1, 1, 1, 0, 0}};
    glUniform3fv(glGetUniformLocation(program, "u_cursor_turn"), 2, kTurn[picture->turns & 3u]);
}

CursorOverlayGl shader_cursor_in_picture(GLuint texture, int32_t x, int32_t y, uint32_t width, uint32_t height,
                                         const ShaderPicture &picture)
{
    uint32_t sw = 0, sh = 0;
    plane_stream_size(picture.crtc_width, picture.crtc_height, picture.turns, &sw, &sh);
    if (sw == 0 || sh == 0 || width == 0 || height == 0)
        return CursorOverlayGl{0, 0.f, 0.f, 0.f, 0.f};
    // The rectangle's corners on the CRTC, then in the stream.
    const double cw = picture.crtc_width, ch = picture.crtc_height;
    double x0 = x, y0 = y, x1 = x0 + width, y1 = y0 + height;
    switch (picture.turns & 3u) {
    case 1: std::tie(x0, y0, x1, y1) = std::make_tuple(ch - y1, x0, ch - y0, x1); break;
    case 2: std::tie(x0, y0, x1, y1) = std::make_tuple(cw - x1, ch - y1, cw - x0, ch - y0); break;
    case 3: std::tie(x0, y0, x1, y1) = std::make_tuple(y0, cw - x1, y1, cw - x0); break;
    default: break;
    }
    return CursorOverlayGl{texture, static_cast<float>(x0 / sw), static_cast<float>(y0 / sh),
                           static_cast<float>((x1 - x0) / sw), static_cast<float>((y1 - y0) / sh)};
}

namespace {

// A rectangle of the output, [x0, x1) x [y0, y1) in pixels (row 0 the
// picture's top, which is also the window's row 0), and the layers that may
// show in it (bit i: the picture's layer i).
struct PictureCell {
    int32_t x0, y0, x1, y1;
    uint32_t layers;
    bool covered;  // the lowest of them is opaque on every pixel of the cell
};
constexpr int kMaxCuts = 4 * SHADER_PICTURE_MAX_LAYERS + 2;
constexpr int kMaxCells = (kMaxCuts - 1) * (kMaxCuts - 1);

// A layer whose pixels hide what is below them.
bool layer_opaque(const ShaderLayer &layer)
{
    const PlaneRecord &p = layer.plane;
    return p.alpha >= 0xffff && (p.blend == UDS_BLEND_NONE || !format_has_alpha(p.format));
}

// The output of width x height cut at every layer's rectangle, so that each
// cell is drawn by a program holding only the layers that show in it: a
// software rasteriser runs every layer's code on every pixel a draw covers,
// however few the layer shows on. A layer reaches into the output pixels
// whose centres its rectangle holds, and one more where a centre lies within
// the shader's rounding of an edge (its rectangle test in the shader
// decides); an opaque layer hides the layers below it on the pixels it
// surely covers.
int picture_cells(const ShaderPicture &picture, int32_t width, int32_t height, PictureCell cells[kMaxCells])
{
    uint32_t sw = 0, sh = 0;
    plane_stream_size(picture.crtc_width, picture.crtc_height, picture.turns, &sw, &sh);
    int32_t reach[SHADER_PICTURE_MAX_LAYERS][4], hide[SHADER_PICTURE_MAX_LAYERS][4];
    uint32_t shown = 0, hiding = 0;
    int32_t xs[kMaxCuts] = {0, width}, ys[kMaxCuts] = {0, height};
    int nx = 2, ny = 2;
    for (uint32_t i = 0; i < picture.count && sw > 0 && sh > 0; ++i) {
        LayerMapping m;
        if (picture.layers[i].texture == 0 ||
            !plane_layer_mapping(picture.layers[i].plane, picture.crtc_width, picture.crtc_height, picture.turns, &m))
            continue;
        const double rx = double(width) / sw, ry = double(height) / sh;
        const double edges[4] = {m.x0 * rx, m.y0 * ry, m.x1 * rx, m.y1 * ry};
        const int32_t limit[4] = {width, height, width, height};
        for (int e = 0; e < 4; ++e) {
            // Pixel X is inside from a lower edge v when X + 0.5 >= v, up to
            // an upper edge v while X + 0.5 < v: the first pixel inside, or
            // the first past, is ceil(v - 0.5). A pixel centre closer to the
            // edge than the shader's rounding may fall either way: reached,
            // not hidden.
            const double v = edges[e], first = std::ceil(v - 0.5);
            const bool close = std::fabs(first + 0.5 - v) < 1.0 / 64;
            reach[i][e] = std::clamp(int32_t(first) + (close ? (e < 2 ? -1 : 1) : 0), 0, limit[e]);
            hide[i][e] = std::clamp(int32_t(first) + (close ? (e < 2 ? 1 : -1) : 0), 0, limit[e]);
        }
        if (reach[i][0] >= reach[i][2] || reach[i][1] >= reach[i][3])
            continue;
        shown |= 1u << i;
        xs[nx++] = reach[i][0];
        xs[nx++] = reach[i][2];
        ys[ny++] = reach[i][1];
        ys[ny++] = reach[i][3];
        if (layer_opaque(picture.layers[i]) && hide[i][0] < hide[i][2] && hide[i][1] < hide[i][3]) {
            hiding |= 1u << i;
            xs[nx++] = hide[i][0];
            xs[nx++] = hide[i][2];
            ys[ny++] = hide[i][1];
            ys[ny++] = hide[i][3];
        }
    }
    std::sort(xs, xs + nx);
    std::sort(ys, ys + ny);
    nx = int(std::unique(xs, xs + nx) - xs);
    ny = int(std::unique(ys, ys + ny) - ys);
    auto holds = [](const int32_t r[4], int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
        return r[0] <= x0 && x1 <= r[2] && r[1] <= y0 && y1 <= r[3];
    };
    int n = 0;
    for (int b = 0; b + 1 < ny; ++b)
        for (int a = 0; a + 1 < nx; ++a) {
            const int32_t x0 = xs[a], y0 = ys[b], x1 = xs[a + 1], y1 = ys[b + 1];
            uint32_t layers = 0;
            bool covered = false;
            for (uint32_t i = 0; i < picture.count; ++i) {
                if (!((shown >> i) & 1u) || !holds(reach[i], x0, y0, x1, y1))
                    continue;
                if ((hiding >> i) & 1u && holds(hide[i], x0, y0, x1, y1)) {
                    layers = 0;  // nothing below shows
                    covered = true;
                }
                layers |= 1u << i;
            }
            PictureCell *last = n > 0 ? &cells[n - 1] : nullptr;
            if (last && a > 0 && last->layers == layers && last->covered == covered && last->y0 == y0)
                last->x1 = x1;  // the same layers as the cell to its left
            else
                cells[n++] = PictureCell{x0, y0, x1, y1, layers, covered};
        }
    return n;
}

// The picture with only the layers in mask, bottom first as before.
ShaderPicture picture_subset(const ShaderPicture &picture, uint32_t mask)
{
    ShaderPicture sub{picture.crtc_width, picture.crtc_height, picture.turns, 0, {}};
    for (uint32_t i = 0; i < picture.count; ++i)
        if ((mask >> i) & 1u)
            sub.layers[sub.count++] = picture.layers[i];
    return sub;
}

// A picture that is its one imported layer's whole buffer, unturned and
// opaque over the whole CRTC, is the plain picture of that texture (a pixel
// alpha below one over black changes nothing but in the coverage mode).
bool plain_picture_of(const ShaderPicture &picture)
{
    const ShaderLayer &layer = picture.layers[0];
    return picture.count == 1 && layer.external && layer.texture != 0 &&
           plane_is_whole_screen(layer.plane, picture.crtc_width, picture.crtc_height, picture.turns) &&
           (layer.plane.blend != UDS_BLEND_COVERAGE || !format_has_alpha(layer.plane.format));
}

void draw_with(GLuint program, const CursorOverlayGl *cursor, const ShaderPicture *picture, const GLint *digits,
               const FullScreenQuad &quad)
{
    glUseProgram(program);
    if (digits != nullptr)
        glUniform1iv(glGetUniformLocation(program, "u_digits"), 13, digits);
    shader_cursor_bind(program, cursor);
    shader_picture_bind(program, picture);
    quad_draw(quad);
}

}  // namespace

int32_t shader_draw_picture(ShaderVariants *variants, ShaderPass pass, GLuint plain, const ShaderPicture *picture,
                            const CursorOverlayGl *cursor, const GLint *digits, int32_t width, int32_t height,
                            const FullScreenQuad &quad, const char *tag)
{
    if (picture == nullptr || picture->count == 0) {
        draw_with(plain, cursor, nullptr, digits, quad);
        return 0;
    }
    if (picture->count > SHADER_PICTURE_MAX_LAYERS)
        return -1;
    if (plain_picture_of(*picture)) {
        glActiveTexture(GL_TEXTURE0);
        glBindTexture(GL_TEXTURE_EXTERNAL_OES, picture->layers[0].texture);
        draw_with(plain, cursor, nullptr, digits, quad);
        return 0;
    }
    static thread_local std::vector<PictureCell> cells(kMaxCells);
    static thread_local std::vector<GLuint> programs(kMaxCells);
    const int n = picture_cells(*picture, width, height, cells.data());
    for (int i = 0; i < n; ++i) {
        // More layers showing through at once than a program samples: the
        // lowest of them are left out in this part.
        if (std::popcount(cells[i].layers) > SHADER_MAX_LAYERS) {
            static std::atomic<bool> told{false};
            if (!told.exchange(true))
                fprintf(stderr, "%s more than %d planes show through at one place: the lowest are left out there\n",
                        tag, SHADER_MAX_LAYERS);
            while (std::popcount(cells[i].layers) > SHADER_MAX_LAYERS)
                cells[i].layers &= cells[i].layers - 1;
            cells[i].covered = false;
        }
        const ShaderPicture subset = picture_subset(*picture, cells[i].layers);
        programs[i] = variant_for(variants, pass, plain, &subset, cells[i].covered, tag);
        if (programs[i] == 0)
            return -1;  // nothing drawn
    }
    glEnable(GL_SCISSOR_TEST);
    for (int i = 0; i < n; ++i) {
        const ShaderPicture subset = picture_subset(*picture, cells[i].layers);
        glScissor(cells[i].x0, cells[i].y0, cells[i].x1 - cells[i].x0, cells[i].y1 - cells[i].y0);
        draw_with(programs[i], cursor, &subset, digits, quad);
    }
    glDisable(GL_SCISSOR_TEST);
    return 0;
}
