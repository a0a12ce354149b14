#include "apps/capture/core/plane_geometry.h"

#include <algorithm>
#include <cmath>

uint32_t plane_stream_turns(uint32_t orientation, int32_t rotate_degrees)
{
    uint32_t turns = 0;
    switch (orientation) {
    case UDS_ORIENTATION_UPSIDE_DOWN:
        turns = 2;
        break;
    case UDS_ORIENTATION_LEFT_UP:  // the panel was turned clockwise: turn its picture the same way
        turns = 1;
        break;
    case UDS_ORIENTATION_RIGHT_UP:
        turns = 3;
        break;
    default:
        break;
    }
    const int32_t user = ((rotate_degrees / 90) % 4 + 4) % 4;
    return (turns + static_cast<uint32_t>(user)) % 4;
}

void plane_stream_size(uint32_t crtc_width, uint32_t crtc_height, uint32_t turns, uint32_t *width, uint32_t *height)
{
    const bool swapped = (turns & 1u) != 0;
    *width = swapped ? crtc_height : crtc_width;
    *height = swapped ? crtc_width : crtc_height;
}

namespace {

struct Point {
    double x, y;
};

// A point of the stream to the CRTC: the inverse of turning the CRTC's
// picture clockwise by turns.
Point stream_to_crtc(Point p, double crtc_w, double crtc_h, uint32_t turns)
{
    switch (turns & 3u) {
    case 1:
        return {p.y, crtc_h - p.x};
    case 2:
        return {crtc_w - p.x, crtc_h - p.y};
    case 3:
        return {crtc_w - p.y, p.x};
    default:
        return p;
    }
}

// A point of the CRTC to the stream.
Point crtc_to_stream(Point p, double crtc_w, double crtc_h, uint32_t turns)
{
    switch (turns & 3u) {
    case 1:
        return {crtc_h - p.y, p.x};
    case 2:
        return {crtc_w - p.x, crtc_h - p.y};
    case 3:
        return {p.y, crtc_w - p.x};
    default:
        return p;
    }
}

// A point of the plane's CRTC rectangle, 0..1 each way, to the same point of
// its source rectangle, 0..1 each way: undoes the counter-clockwise turn,
// then the reflection (which the kernel applies first).
Point shown_to_source(Point p, uint32_t rotation)
{
    Point s = p;
    if (rotation & UDS_ROTATE_90)
        s = {1.0 - p.y, p.x};
    else if (rotation & UDS_ROTATE_180)
        s = {1.0 - p.x, 1.0 - p.y};
    else if (rotation & UDS_ROTATE_270)
        s = {p.y, 1.0 - p.x};
    if (rotation & UDS_REFLECT_X)
        s.x = 1.0 - s.x;
    if (rotation & UDS_REFLECT_Y)
        s.y = 1.0 - s.y;
    return s;
}

}  // namespace

bool plane_layer_mapping(const PlaneRecord &plane, uint32_t crtc_width, uint32_t crtc_height, uint32_t turns,
                         LayerMapping *out)
{
    if (plane.buffer_id == 0 || plane.crtc_w == 0 || plane.crtc_h == 0 || plane.src_w == 0 || plane.src_h == 0 ||
        crtc_width == 0 || crtc_height == 0)
        return false;
    const double fixed = 65536.0;
    const double sx0 = plane.src_x / fixed, sy0 = plane.src_y / fixed;
    const double sw = plane.src_w / fixed, sh = plane.src_h / fixed;
    if (sx0 + sw > plane.width + 1e-9 || sy0 + sh > plane.height + 1e-9)
        return false;

    // The CRTC rectangle clipped to the CRTC, then turned into the stream.
    const double cw = crtc_width, ch = crtc_height;
    const double rx0 = std::max<double>(plane.crtc_x, 0.0), ry0 = std::max<double>(plane.crtc_y, 0.0);
    const double rx1 = std::min<double>(static_cast<double>(plane.crtc_x) + plane.crtc_w, cw);
    const double ry1 = std::min<double>(static_cast<double>(plane.crtc_y) + plane.crtc_h, ch);
    if (rx0 >= rx1 || ry0 >= ry1)
        return false;
    const Point a = crtc_to_stream({rx0, ry0}, cw, ch, turns);
    const Point b = crtc_to_stream({rx1, ry1}, cw, ch, turns);
    out->x0 = static_cast<int32_t>(std::lround(std::min(a.x, b.x)));
    out->x1 = static_cast<int32_t>(std::lround(std::max(a.x, b.x)));
    out->y0 = static_cast<int32_t>(std::lround(std::min(a.y, b.y)));
    out->y1 = static_cast<int32_t>(std::lround(std::max(a.y, b.y)));
    if (out->x0 >= out->x1 || out->y0 >= out->y1)
        return false;

    // Every step is affine: the map is known from three points.
    auto map = [&](Point s) {
        const Point c = stream_to_crtc(s, cw, ch, turns);
        const Point shown{(c.x - plane.crtc_x) / plane.crtc_w, (c.y - plane.crtc_y) / plane.crtc_h};
        const Point src = shown_to_source(shown, plane.rotation);
        return Point{sx0 + src.x * sw, sy0 + src.y * sh};
    };
    const Point o = map({0.0, 0.0}), px = map({1.0, 0.0}), py = map({0.0, 1.0});
    out->m[0] = px.x - o.x;
    out->m[1] = py.x - o.x;
    out->m[2] = o.x;
    out->m[3] = px.y - o.y;
    out->m[4] = py.y - o.y;
    out->m[5] = o.y;
    out->src_x0 = sx0;
    out->src_y0 = sy0;
    out->src_x1 = sx0 + sw;
    out->src_y1 = sy0 + sh;
    return true;
}

bool plane_is_whole_screen(const PlaneRecord &plane, uint32_t crtc_width, uint32_t crtc_height, uint32_t turns)
{
    const uint32_t rotation = plane.rotation & ~UDS_ROTATE_0;
    return turns == 0 && rotation == 0 && plane.src_x == 0 && plane.src_y == 0 &&
           plane.src_w == (plane.width << 16) && plane.src_h == (plane.height << 16) && plane.crtc_x == 0 &&
           plane.crtc_y == 0 && plane.crtc_w == crtc_width && plane.crtc_h == crtc_height &&
           plane.width == crtc_width && plane.height == crtc_height && plane.alpha == 0xffff;
}
