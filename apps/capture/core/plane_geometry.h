// Where each plane of the CRTC lands in the stream and where each pixel of
// the stream samples it: the one piece of geometry the processor's and the
// GPU's composers share.
//
// The display controller shows a plane's source rectangle (in the buffer,
// 16.16 fixed point), reflected, then turned counter-clockwise by the
// plane's rotation, scaled into its CRTC rectangle and clipped at the CRTC's
// edges. The stream is the CRTC's picture turned clockwise by a number of
// quarter turns (the panel's orientation and --rotate), so that it is
// upright; a quarter or three-quarter turn swaps its width and height.
#pragma once

#include <cstdint>

#include "apps/capture/core/hdr_signal.h"
#include "libs/framelink/protocol.h"

// The CRTC at one blank as the composers draw it: its record and the planes
// that show something, bottom first (zpos, then plane id). The cursor plane
// is not among them: it is drawn over everything, as before.
struct CrtcPicture {
    CrtcRecord crtc{};
    uint32_t count = 0;
    PlaneRecord planes[UDS_MAX_FOLLOWED_PLANES]{};
    HdrSignal hdr{};  // the colour the connector was sent at that blank
};

// Clockwise quarter turns that make the stream upright: the panel's
// orientation (UDS_ORIENTATION_*), then the user's --rotate (0, 90, 180 or
// 270 degrees clockwise). 0 to 3.
uint32_t plane_stream_turns(uint32_t orientation, int32_t rotate_degrees);

// The stream's size for a CRTC of crtc_width x crtc_height turned by turns.
void plane_stream_size(uint32_t crtc_width, uint32_t crtc_height, uint32_t turns, uint32_t *width, uint32_t *height);

// One plane in the stream.
struct LayerMapping {
    // The stream pixels it covers, [x0, x1) x [y0, y1), clipped to the stream.
    int32_t x0, y0, x1, y1;
    // From a point of the stream (pixels, continuous: the centre of pixel
    // (X, Y) is X + 0.5, Y + 0.5) to a point of the buffer (pixels,
    // continuous): bx = m[0] * sx + m[1] * sy + m[2], by = m[3] * sx + m[4] * sy + m[5].
    double m[6];
    // The source rectangle in buffer pixels: samples never reach past it.
    double src_x0, src_y0, src_x1, src_y1;
};

// The mapping of one plane on a crtc_width x crtc_height CRTC in a stream
// turned by turns. False when the plane covers no pixel of the stream (off
// the CRTC, an empty rectangle) or its rectangles are unusable (a source
// rectangle reaching past the buffer, zero sizes).
bool plane_layer_mapping(const PlaneRecord &plane, uint32_t crtc_width, uint32_t crtc_height, uint32_t turns,
                         LayerMapping *out);

// True when the plane shows its whole buffer unscaled, unturned and opaque
// over the whole CRTC in an unturned stream: the picture is the buffer
// itself and the plain conversion serves.
bool plane_is_whole_screen(const PlaneRecord &plane, uint32_t crtc_width, uint32_t crtc_height, uint32_t turns);
