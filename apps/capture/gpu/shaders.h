// Conversion shaders shared by the two GPU paths (NV12 zero-copy targets and
// the I420 read-back renderer), their colour coefficients and the watermark.
#pragma once

#include <GLES3/gl3.h>

#include <array>
#include <cstdint>

// Fixed GLSL ES 3.00 sources. Uniform and output names are looked up by the
// renderers and must not change.
extern const char *const kVertexShaderSource;    // a_pos -> v_uv
extern const char *const kLumaShaderSource;      // out_y, draws the watermark
extern const char *const kChromaUvShaderSource;  // out_uv (NV12)
extern const char *const kChromaUShaderSource;   // out_u (I420)
extern const char *const kChromaVShaderSource;   // out_v (I420)

// Weights of R, G, B in x, y, z and the offset in w, all normalised to 0..1.
struct ColourCoefficients {
    const char *name;  // "BT.709 Limited" or "BT.601 Limited"
    float y[4];
    float u[4];
    float v[4];
};

extern const ColourCoefficients kBt709Limited;
extern const ColourCoefficients kBt601Limited;

// BT.709 when width > 1279 or height > 719, BT.601 otherwise.
const ColourCoefficients &colour_coefficients_for_size(int width, int height);

// Milliseconds since the Unix epoch shown by the watermark.
using WatermarkValue = std::uint64_t;

// The 13 lowest decimal digits of value, most significant first.
std::array<GLint, 13> watermark_digits(WatermarkValue value);

// Compiles one shader; returns its name, or 0 after logging
// "[GL CPU Shader] <log>". A failed shader object is deleted.
GLuint compile_shader(GLenum type, const char *source);

// Links the two shaders; returns the program, or 0 after logging
// "[GL CPU Program] <log>". The shaders are neither detached nor deleted.
GLuint link_program(GLuint vertex_shader, GLuint fragment_shader);

// As compile_shader and link_program, with the log line's tag given by the
// caller ("[Shader]", "[Program]" for the zero-copy targets). A failed shader
// or program is deleted before 0 is returned.
GLuint compile_shader_tagged(GLenum type, const char *source, const char *tag);
GLuint link_program_tagged(GLuint vertex_shader, GLuint fragment_shader, const char *tag);

// The full-screen quad: one static buffer of four vertices bound to
// attribute 0 in one vertex array, drawn as a 4-vertex triangle strip.
struct FullScreenQuad {
    GLuint vbo = 0;
    GLuint vao = 0;
};

// The display's cursor as a conversion draws it: a 2D texture of
// premultiplied RGBA and its rectangle in the picture's texture coordinates
// (0..1 over the source picture; x, y the top-left, either may be negative).
// A texture of 0 or an empty rectangle draws none.
struct CursorOverlayGl {
    GLuint texture;
    float x, y, width, height;
};

// For the program in use (any of the fragment shaders above): the cursor
// sampler on texture unit 1 and the cursor's rectangle (none for a null
// cursor); binds its texture on unit 1 and leaves unit 0 active. Call it
// before each draw.
void shader_cursor_bind(GLuint program, const CursorOverlayGl *cursor);

// A cursor texture from premultiplied ARGB8888 words (width x height, no
// padding); 0 when GL could not make it.
GLuint shader_cursor_texture(const uint32_t *argb, uint32_t width, uint32_t height);

// Returns 0, or -1 when GL could not create the objects (nothing is kept).
int quad_create(FullScreenQuad *quad);
void quad_draw(const FullScreenQuad &quad);
void quad_destroy(FullScreenQuad *quad);
