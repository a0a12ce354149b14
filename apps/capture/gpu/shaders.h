// Conversion shaders shared by the two GPU paths (NV12 zero-copy targets and
// the I420 read-back renderer), their colour coefficients and the watermark.
#pragma once

#include <GLES3/gl3.h>

#include <array>
#include <cstdint>
#include <string>

#include "apps/capture/core/hdr_signal.h"
#include "apps/capture/core/plane_geometry.h"

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
extern const ColourCoefficients kBt2020Limited;  // non-constant luminance, for the 10-bit stream

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

// The CRTC's planes composed in the conversion pass. Each layer is one plane
// (bottom first) with its own texture of the plane's whole buffer
// (plane.width x plane.height, top row at texture coordinate 0): an external
// texture (a dma-buf import, which the driver converts from YUV) or a 2D one
// (an upload, RGBA). The stream is the CRTC's picture turned clockwise by
// turns; the output shows it scaled to the viewport. The cursor's rectangle
// is then in the stream's texture coordinates and its image is turned with
// the stream.
// SHADER_MAX_LAYERS: the layers one program samples. A picture may hold up
// to SHADER_PICTURE_MAX_LAYERS (every plane a CRTC can show): its output is
// drawn in parts, each by a program of the layers that reach into it.
inline constexpr int SHADER_MAX_LAYERS = 4;
inline constexpr int SHADER_PICTURE_MAX_LAYERS = 16;
struct ShaderLayer {
    GLuint texture;  // 0: the layer shows nothing
    bool external;   // samplerExternalOES, else sampler2D
    PlaneRecord plane;
};
struct ShaderPicture {
    uint32_t crtc_width, crtc_height, turns, count;  // count 0: the plain picture
    ShaderLayer layers[SHADER_PICTURE_MAX_LAYERS];
};

// One conversion pass's fragment shader.
enum class ShaderPass {
    luma,
    chroma_uv,
    chroma_u,
    chroma_v
};

// What a pass does to the picture around its colour matrix. sdr: nothing, the
// programs above as they stand. tone_pq, tone_hlg: the picture's R'G'B' is an
// HDR signal, tone-mapped to the SDR signal (the curve of hdr_tone.h, its
// parameters as uniforms) before the matrix. ten_bit: the 10-bit stream's
// codes, the matrix's 8-bit-normalised output times 1020 rounded (64..940,
// 64..960) and written as code * unit: unit 1/65535 puts the code in the low
// bits of a 16-bit normalised target, 64/65535 in its high bits (P010).
enum class ShaderColour : uint32_t {
    sdr,
    tone_pq,
    tone_hlg,
    ten_bit
};

// ten_bit for the 10-bit stream; for the 8-bit stream tone_pq or tone_hlg
// when the signal is PQ or HLG, else sdr.
ShaderColour shader_colour_for(const HdrSignal &signal, bool ten_bit);

// The colour matrix of a stream: the 10-bit stream's is BT.2020 when the
// signal says BT.2020, else BT.709; the 8-bit stream's the size's.
const ColourCoefficients &shader_coefficients_for(ShaderColour colour, const HdrSignal &signal, int width,
                                                  int height);

// The fragment source of pass composing count layers (1 to SHADER_MAX_LAYERS)
// whose samplers are external where bit i of external_mask is set and whose
// samples are clamped inside the source rectangle where bit i of clamp_mask
// is (a layer showing its whole buffer needs no clamp); with a count of 0
// the plain source above.
std::string shader_fragment_source(ShaderPass pass, uint32_t count, uint32_t external_mask, uint32_t clamp_mask,
                                   ShaderColour colour = ShaderColour::sdr);

// The plain program of pass with the colour stage (sdr: the fixed sources);
// 0 after the log line of the failed compilation (shader_tag) or link
// (program_tag).
GLuint shader_plain_program(ShaderPass pass, ShaderColour colour, const char *shader_tag, const char *program_tag);

// Sets the colour stage's uniforms on program, one built for colour (the
// composing variants copy them from the plain program): for tone mapping the
// parameters of hdr_tone_map_for(signal), for ten_bit the unit. Leaves no
// program in use.
void shader_colour_uniforms(GLuint program, ShaderColour colour, const HdrSignal &signal, float unit);

// The composing programs of one pass, one per layer count, sampler kinds and
// clamps (1 + 4 + 16 + 64 + 256, the first drawing black where no layer
// shows), each also with an opaque bottom layer that needs no test where a
// part of the output is drawn that it covers; built when first asked for.
// Every slot 0 when empty.
inline constexpr int SHADER_LAYERED_VARIANTS = 2 * (((1 << (2 * SHADER_MAX_LAYERS + 2)) - 1) / 3);
struct ShaderVariants {
    GLuint program[SHADER_LAYERED_VARIANTS];
    bool failed[SHADER_LAYERED_VARIANTS];  // logged once, not built again
    ShaderColour colour;                   // the colour stage of every variant (and of the plain program)
};

// The program that draws picture for pass: plain (today's picture of
// u_texture) for a null picture or one without layers, otherwise the variant
// for its layers, linked on first use with the plain program's colour and
// size uniforms copied into it. 0 when the variant could not be built (logged
// after tag once) or the picture has more layers than the shaders take.
GLuint shader_program_for(ShaderVariants *variants, ShaderPass pass, GLuint plain, const ShaderPicture *picture,
                          const char *tag);

// Deletes every variant program and empties the record (its colour stays).
void shader_variants_release(ShaderVariants *variants);

// For the program in use, which shader_program_for gave for picture: binds
// the layers' textures on units 2 onwards (linear, clamped) and their maps,
// rectangles, clamps, alpha and blending; with no layers, u_texture on unit
// 0. Call it before each draw, after shader_cursor_bind; leaves unit 0
// active.
void shader_picture_bind(GLuint program, const ShaderPicture *picture);

// Draws pass into the width x height viewport: with a null picture or one
// without layers the plain program once, as before; the same with one
// imported layer that shows its whole buffer unturned and opaque over the
// whole CRTC (plane_is_whole_screen: its texture on unit 0); otherwise the output in
// rectangles, each by the variant holding the layers that reach into it (a
// software rasteriser pays for every layer's code on every pixel a draw
// covers), under a scissor that is off again afterwards. Where more than
// SHADER_MAX_LAYERS layers show through at once, the lowest of them are left
// out there (said once). digits (13 values, the luma pass only, else null)
// feed the watermark. 0, or -1 with nothing drawn when a variant could not
// be built or the picture has more than SHADER_PICTURE_MAX_LAYERS layers.
int32_t shader_draw_picture(ShaderVariants *variants, ShaderPass pass, GLuint plain, const ShaderPicture *picture,
                            const CursorOverlayGl *cursor, const GLint *digits, int32_t width, int32_t height,
                            const FullScreenQuad &quad, const char *tag);

// The cursor for a composed picture: its image (width x height pixels, at
// x, y on the CRTC) as CursorOverlayGl wants it, the rectangle turned into
// the stream's texture coordinates.
CursorOverlayGl shader_cursor_in_picture(GLuint texture, int32_t x, int32_t y, uint32_t width, uint32_t height,
                                         const ShaderPicture &picture);

// Returns 0, or -1 when GL could not create the objects (nothing is kept).
int quad_create(FullScreenQuad *quad);
void quad_draw(const FullScreenQuad &quad);
void quad_destroy(FullScreenQuad *quad);
