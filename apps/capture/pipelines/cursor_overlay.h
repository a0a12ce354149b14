// The display's cursor in one pipeline run: each cursor image the helper
// sent is read once (mapped, copied as premultiplied ARGB) and turned into
// what the mode draws with: a YUV copy for the processor's blend, or a GL
// texture and a rectangle for the conversion shaders.
#pragma once

#include <GLES3/gl3.h>

#include <cstdint>
#include <vector>

#include "apps/capture/convert/cursor_blend.h"
#include "apps/capture/gpu/shaders.h"
#include "apps/capture/source/capture_session.h"

class CursorOverlay {
public:
    // scanout is the session's cache, or null when not following (nothing
    // is ever drawn then).
    explicit CursorOverlay(ScanoutCache *scanout) : scanout_(scanout) {}
    ~CursorOverlay() { release(); }
    CursorOverlay(const CursorOverlay &) = delete;
    CursorOverlay &operator=(const CursorOverlay &) = delete;

    // The image of placement converted for the processor's blend, or null
    // when there is nothing to draw. Each image is read and converted once.
    const CursorYuv *yuv(const CursorPlacement &placement);
    // The image of placement as premultiplied ARGB8888 words (width x height,
    // no padding), or null when there is nothing to draw.
    const uint32_t *argb(const CursorPlacement &placement, uint32_t *width, uint32_t *height);
    // The texture of placement's image (made once per image) and its size;
    // 0 when there is nothing to draw.
    GLuint texture(const CursorPlacement &placement, uint32_t *width, uint32_t *height);
    // The cursor of placement for the shaders over a frame_width x
    // frame_height picture: its texture (made once per image) and its
    // rectangle over the frame; texture 0 when none.
    CursorOverlayGl gl(const CursorPlacement &placement, uint32_t frame_width, uint32_t frame_height);

    // Deletes the texture (on the pipeline thread, with the context current).
    // Safe to call more than once.
    void release();

private:
    // Reads the image of placement unless it is the one read last: false
    // when there is none to draw or it cannot be read (not tried again).
    bool read(const CursorPlacement &placement);

    ScanoutCache *scanout_;
    uint64_t image_ = 0;    // image in argb_
    uint32_t fb_ = 0;       // the framebuffer it was read under
    uint64_t reads_ = 0;    // counts reads: what the YUV copy and the texture were made from
    uint64_t refused_ = 0;  // an image that could not be read: not tried again
    std::vector<uint32_t> argb_;
    uint32_t width_ = 0, height_ = 0;
    CursorYuv yuv_{};
    uint64_t yuv_read_ = 0;
    GLuint texture_ = 0;
    uint64_t texture_read_ = 0;
};
