#include "apps/capture/pipelines/cursor_overlay.h"

#include <cstdio>

bool CursorOverlay::read(const CursorPlacement &placement)
{
    const uint64_t image_id = placement.image_id;
    if (image_id == 0 || !scanout_ || image_id == refused_)
        return false;
    // An image is read once; the same image under a new framebuffer id was
    // drawn again and set again, so it is read again.
    if (image_id == image_ && placement.fb_id == fb_)
        return true;
    if (scanout_cache_read_cursor(scanout_, image_id, &argb_, &width_, &height_) != 0) {
        refused_ = image_id;
        image_ = 0;
        return false;
    }
    image_ = image_id;
    fb_ = placement.fb_id;
    ++reads_;
    return true;
}

const uint32_t *CursorOverlay::argb(const CursorPlacement &placement, uint32_t *width, uint32_t *height)
{
    if (!read(placement))
        return nullptr;
    *width = width_;
    *height = height_;
    return argb_.data();
}

const CursorYuv *CursorOverlay::yuv(const CursorPlacement &placement)
{
    if (!read(placement))
        return nullptr;
    if (yuv_read_ != reads_) {
        cursor_yuv_from_argb(argb_.data(), width_, height_, &yuv_);
        yuv_read_ = reads_;
    }
    return &yuv_;
}

GLuint CursorOverlay::texture(const CursorPlacement &placement, uint32_t *width, uint32_t *height)
{
    if (!read(placement))
        return 0;
    if (texture_read_ != reads_) {
        if (texture_)
            glDeleteTextures(1, &texture_);
        texture_ = shader_cursor_texture(argb_.data(), width_, height_);
        texture_read_ = reads_;
        if (!texture_)
            fputs("[Capture] cannot make the cursor's texture: left out\n", stderr);
    }
    *width = width_;
    *height = height_;
    return texture_;
}

CursorOverlayGl CursorOverlay::gl(const CursorPlacement &placement, uint32_t frame_width, uint32_t frame_height)
{
    CursorOverlayGl none{0, 0.f, 0.f, 0.f, 0.f};
    uint32_t image_width = 0, image_height = 0;
    const GLuint image = frame_width && frame_height ? texture(placement, &image_width, &image_height) : 0;
    if (!image)
        return none;
    // Drawn at the image's own size, as cursor planes show it.
    const float w = float(image_width), h = float(image_height);
    const float fw = float(frame_width), fh = float(frame_height);
    return CursorOverlayGl{image, float(placement.x) / fw, float(placement.y) / fh, w / fw, h / fh};
}

void CursorOverlay::release()
{
    if (texture_)
        glDeleteTextures(1, &texture_);
    texture_ = 0;
    texture_read_ = 0;
}
