#include "apps/capture/pipelines/followed_buffers.h"

#include <GLES2/gl2ext.h>

#include <cstdio>
#include <utility>

#include "apps/capture/convert/plane_compose.h"

FollowedBuffers::FollowedBuffers(CaptureSession *session, bool overlays)
    : session_(session), frame_(overlays ? nullptr : session->metadata), overlays_(overlays),
      restarts_(!overlays && !(session->scanout && session->scanout->planes)),
      entries_(overlays ? UDS_OVERLAY_MAX_BUFFERS : UDS_SCANOUT_MAX_BUFFERS)
{
}

FollowedBuffers::~FollowedBuffers()
{
    release();
}

void FollowedBuffers::release_entry(Entry *entry)
{
    if (entry->framebuffer) {
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glDeleteFramebuffers(1, &entry->framebuffer);
    }
    if (entry->converted_texture)
        glDeleteTextures(1, &entry->converted_texture);
    egl_frame_release(&entry->import);
    *entry = Entry{};
}

void FollowedBuffers::release()
{
    current_ = &import_;
    for (Entry &entry : entries_)
        release_entry(&entry);
    if (import_converted_texture_)
        glDeleteTextures(1, &import_converted_texture_);
    import_converted_texture_ = 0;
    import_converted_ = false;
    egl_frame_release(&import_);
    if (frame_)
        frame_->texture = 0;
    if (scanout_changed_ && frame_) {
        // The next run starts from the buffer now on screen.
        *frame_ = std::move(next_frame_);
        frame_->texture = 0;
        frame_->framebuffer = 0;
        scanout_changed_ = false;
    } else {
        capture_frame_close(&next_frame_);
    }
}

void FollowedBuffers::restart_with(FrameMetadata frame)
{
    fprintf(stderr, "[Capture] Scanout changed to %ux%u format 0x%08x modifier 0x%llx at %u Hz: restarting\n",
            frame.width, frame.height, frame.format, static_cast<unsigned long long>(frame.modifier),
            frame.refresh_rate);
    next_frame_ = std::move(frame);
    scanout_changed_ = true;
}

void FollowedBuffers::restart_from(uint64_t shown)
{
    FrameMetadata frame{};
    if (!overlays_ && scanout_cache_copy(session_->scanout, shown, &frame) == 0) {
        restart_with(std::move(frame));
        return;
    }
    // Nothing on screen to start from: the next run starts from the frame it has.
    fputs("[Capture] Display mode changed: restarting\n", stderr);
}

FollowedBuffers::Entry *FollowedBuffers::import_followed(uint64_t buffer_id)
{
    FrameMetadata frame{};
    const int copied = overlays_ ? scanout_cache_copy_overlay(session_->scanout, buffer_id, &frame)
                                 : scanout_cache_copy(session_->scanout, buffer_id, &frame);
    if (copied != 0) {
        fprintf(stderr, "[Capture] %s buffer %llu is no longer held\n", overlays_ ? "overlay" : "scanout",
                static_cast<unsigned long long>(buffer_id));
        return nullptr;
    }
    if (restarts_ && (frame.width != frame_->width || frame.height != frame_->height ||
                      frame.format != frame_->format || frame.modifier != frame_->modifier)) {
        restart_with(std::move(frame));
        return nullptr;
    }
    // Room: a buffer the helper has forgotten goes first, else the one
    // chosen longest ago.
    Entry *slot = nullptr;
    for (Entry &entry : entries_) {
        const bool held = overlays_ ? scanout_cache_holds_overlay(session_->scanout, entry.buffer_id)
                                    : scanout_cache_holds(session_->scanout, entry.buffer_id);
        if (entry.buffer_id == 0 || !held) {
            slot = &entry;
            break;
        }
        if (!slot || entry.used < slot->used)
            slot = &entry;
    }
    if (current_ == &slot->import)
        current_ = &import_;
    release_entry(slot);

    if (overlays_ && importing_ && frame.format == FRAME_FOURCC_NV12) {
        frame.colour_hints = true;
        frame.colour_encoding = importing_->color_encoding;
        frame.colour_range = importing_->color_range;
    }
    const FrameImportKind kind = processor_converts(frame) ? FRAME_IMPORT_MAPPED : FrameImportKind(kind_);
    slot->converted = kind != FrameImportKind(kind_);
    int rc = egl_frame_import(import_.display, &frame, &slot->import, kind);
    // The import holds the buffer (image or mapping) from here on.
    capture_frame_close(&frame);
    if (rc == 0 && kind_ == PIPELINE_IMPORT_2D && !overlays_ && !slot->converted) {
        const GLuint texture = slot->import.upload ? slot->import.upload_texture : slot->import.texture;
        rc = setup_framebuffer_object(texture, &slot->framebuffer);
    }
    if (rc != 0) {
        fprintf(stderr, "[Capture] %s buffer %llu cannot be imported\n", overlays_ ? "overlay" : "scanout",
                static_cast<unsigned long long>(buffer_id));
        release_entry(slot);
        return nullptr;
    }
    slot->buffer_id = buffer_id;
    return slot;
}

int FollowedBuffers::choose(uint64_t shown)
{
    Entry *chosen = nullptr;
    for (Entry &entry : entries_)
        if (entry.buffer_id == shown)
            chosen = &entry;
    if (!chosen) {
        chosen = import_followed(shown);
        if (!chosen)
            return scanout_changed_ ? 1 : -1;
    }
    chosen->used = ++uses_;
    current_ = &chosen->import;
    if (chosen->framebuffer)
        glBindFramebuffer(GL_FRAMEBUFFER, chosen->framebuffer);
    return 0;
}

void FollowedBuffers::prepare(EGLDisplay display, PipelineImportKind kind)
{
    kind_ = kind;
    import_.display = display;
}

FrameImport *FollowedBuffers::layer(uint64_t buffer_id)
{
    if (buffer_id == 0 || buffer_id == refused_ || !session_->scanout)
        return nullptr;
    for (Entry &entry : entries_) {
        if (entry.buffer_id == buffer_id) {
            entry.used = ++uses_;
            return &entry.import;
        }
    }
    Entry *entry = import_followed(buffer_id);
    if (!entry) {
        refused_ = buffer_id;
        return nullptr;
    }
    entry->used = ++uses_;
    return &entry->import;
}

GLuint FollowedBuffers::layer_texture(const PlaneRecord &plane, bool *external)
{
    importing_ = &plane;
    FrameImport *import = layer(plane.buffer_id);
    importing_ = nullptr;
    if (!import)
        return 0;
    Entry *entry = nullptr;
    for (Entry &e : entries_)
        if (&e.import == import)
            entry = &e;
    if (!entry->converted) {
        *external = kind_ == PIPELINE_IMPORT_EXTERNAL;
        if (egl_frame_refresh(import) != 0)
            return 0;
        return !*external && import->upload ? import->upload_texture : import->texture;
    }
    *external = false;
    return convert(*import, plane, &entry->converted_texture, &entry->converted_pixels);
}

bool FollowedBuffers::processor_converts(const FrameMetadata &frame) const
{
    // NV12 (video) and, on overlays, deep colour that the GPU does not
    // import are read on the processor (the primary plane uploads the deep
    // formats at their precision).
    if (kind_ == PIPELINE_IMPORT_MAPPED ||
        (!egl_frame_is_memory(&frame) && egl_display_imports_dma_buf(import_.display)))
        return false;
    if (overlays_)
        return !frame_map_packed(frame.format);
    return frame.format == FRAME_FOURCC_NV12 || frame.format == FRAME_FOURCC_P010;
}

bool FollowedBuffers::converted() const
{
    if (current_ == &import_)
        return import_converted_;
    for (const Entry &e : entries_)
        if (&e.import == current_)
            return e.converted;
    return false;
}

GLuint FollowedBuffers::primary_texture(const PlaneRecord &plane)
{
    if (current_ == &import_)
        return convert(import_, plane, &import_converted_texture_, &import_converted_pixels_);
    for (Entry &e : entries_)
        if (&e.import == current_)
            return convert(e.import, plane, &e.converted_texture, &e.converted_pixels);
    return 0;
}

GLuint FollowedBuffers::convert(const FrameImport &import, const PlaneRecord &plane, GLuint *texture,
                                std::vector<uint8_t> *pixels)
{
    // The buffer whole, with the plane's colour encoding and range.
    const FrameMapping &map = import.mapping;
    ComposeLayer layer{};
    layer.plane = plane;
    layer.plane.width = map.width;
    layer.plane.height = map.height;
    layer.plane.format = map.format;
    layer.plane.src_x = layer.plane.src_y = 0;
    layer.plane.src_w = map.width << 16;
    layer.plane.src_h = map.height << 16;
    layer.plane.crtc_x = layer.plane.crtc_y = 0;
    layer.plane.crtc_w = map.width;
    layer.plane.crtc_h = map.height;
    layer.plane.rotation = UDS_ROTATE_0;
    layer.plane.alpha = 0xffff;
    layer.data[0] = map.pixels();
    layer.stride[0] = map.stride;
    layer.data[1] = map.chroma();
    layer.stride[1] = map.chroma_stride;
    pixels->resize(size_t(map.width) * map.height * 4);
    if (frame_map_begin_read(&map) != 0)
        return 0;
    const int composed = plane_compose_xrgb(&layer, 1, map.width, map.height, 0, pixels->data(),
                                            map.width * 4);
    frame_map_end_read(&map);
    if (composed != 0)
        return 0;
    const bool allocate = *texture == 0;
    if (allocate) {
        glGenTextures(1, texture);
        glBindTexture(GL_TEXTURE_2D, *texture);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    } else {
        glBindTexture(GL_TEXTURE_2D, *texture);
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    if (allocate)
        glTexImage2D(GL_TEXTURE_2D, 0, GL_BGRA_EXT, GLsizei(map.width), GLsizei(map.height), 0, GL_BGRA_EXT,
                     GL_UNSIGNED_BYTE, pixels->data());
    else
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, GLsizei(map.width), GLsizei(map.height), GL_BGRA_EXT,
                        GL_UNSIGNED_BYTE, pixels->data());
    glBindTexture(GL_TEXTURE_2D, 0);
    return *texture;
}

int FollowedBuffers::import_frame(EGLDisplay display, PipelineImportKind kind)
{
    kind_ = kind;
    import_.display = display;
    import_converted_ = processor_converts(*frame_);
    if (egl_frame_import(display, frame_, &import_, import_converted_ ? FRAME_IMPORT_MAPPED : FrameImportKind(kind)) != 0)
        return -1;
    frame_->texture = texture();
    return 0;
}

GLuint FollowedBuffers::texture() const
{
    if (kind_ == PIPELINE_IMPORT_2D && current_->upload)
        return current_->upload_texture;
    return current_->texture;
}

int FollowedBuffers::refresh()
{
    return egl_frame_refresh(current_);
}
