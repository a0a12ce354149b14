// The virtual display's pictures: a framebuffer's memory (a sealed memfd,
// mapped) and what is painted into it. A picture is a fixed pattern (colour
// bars; for NV12 a luma ramp), a moving square that keeps above the bottom
// digits' band, and in the bottom-left corner white seven-segment digits on
// black: the blank at which the picture went on screen and, above it, that
// blank's wall-clock milliseconds. A buffer of a turned CRTC holds that
// picture turned counter-clockwise by quarter turns (the picture's width is
// then the buffer's height for odd turns). Every format is drawn in its own
// codes; the formats deeper than 8 bits (and RGB565) end in a grey ramp
// band of the bottom rows at the format's own precision. A framebuffer with a fill holds
// that colour alone (premultiplied in formats with alpha) and is never
// drawn again. A cursor image is premultiplied ARGB8888.
#pragma once

#include <cstdint>
#include <memory>

#include "apps/capture-helper/scenario.h"
#include "libs/common/unique_fd.h"

struct VdRect {
    int x, y, w, h;
};

// One framebuffer's memory as the world holds it; the mapping goes with it.
struct VdBuffer {
    ScenarioFramebuffer desc;
    uint32_t handle = 0;
    UniqueFD memfd;
    uint8_t *map = nullptr;
    int sq_size = 1;
    int turn = 0;               // quarter turns counter-clockwise of the picture in the buffer
    VdRect square{0, 0, 0, 0};  // where the square was last drawn, in the picture's coordinates
    ~VdBuffer();
};

// A framebuffer's memory: a sealed memfd, mapped, painted with the pattern
// and the picture of blank 0 turned by `turn` quarter turns (a cursor image
// with its picture, a filled one with its colour). nullptr with errno set.
std::unique_ptr<VdBuffer> vd_picture_make_buffer(const ScenarioFramebuffer &fdesc, uint32_t handle, uint64_t wall_ns,
                                                 bool cursor = false, int turn = 0);

// A second framebuffer over the memory of shown, described as desc (the
// same size and format): the export of either is the same memory. nullptr
// with errno set.
std::unique_ptr<VdBuffer> vd_picture_alias_buffer(const VdBuffer &shown, const ScenarioFramebuffer &desc,
                                                  uint32_t handle);

// The picture of blank `counter`: the square moves, the digits show the
// blank and its wall-clock milliseconds; the rest stays as it is. A filled
// buffer stays as it is.
void vd_picture_draw_frame(VdBuffer &fb, uint64_t counter, uint64_t wall_ms);

// The test chart (a framebuffer's pattern=chart): the top
// VD_CHART_TOP_ROWS rows black (where a capture stamps its watermark),
// below them a grid of VD_CHART_COLUMNS x VD_CHART_ROWS solid patches
// (greys from black to white through the PQ code of 100 cd/m2, then
// colours), each stored in the format's own precision; opaque. P010 holds
// each patch's BT.601 limited-range Y'CbCr at 10 bits.
inline constexpr int VD_CHART_TOP_ROWS = 160;
inline constexpr int VD_CHART_COLUMNS = 4;
inline constexpr int VD_CHART_ROWS = 4;
inline constexpr int VD_CHART_PATCHES = VD_CHART_COLUMNS * VD_CHART_ROWS;

// Patch `index`'s rectangle on a picture of width x height.
VdRect vd_picture_chart_patch(uint32_t width, uint32_t height, int index);

// The R', G', B' (fractions of full scale) that patch `index` holds in a
// buffer of `format` (DRM fourcc) once stored at the format's precision;
// for NV12 and P010 the patch's own colour. False for an unknown index or
// a format the virtual display does not draw.
bool vd_picture_chart_value(uint32_t format, int index, double rgb[3]);

// The cursor image: an opaque 16x16 square of colour `square` at the
// top-left, a 4 pixel band of 50% white around it (its right and bottom,
// inside the image), the rest transparent.
void vd_picture_paint_cursor(VdBuffer &fb, uint32_t square = 0xFF00FF00u);
