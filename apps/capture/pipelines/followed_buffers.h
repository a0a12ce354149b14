// The buffers one pipeline run samples: the session's frame, imported at the
// run's start, and, when the session follows the scanout, each buffer the
// helper sent, imported once (on the pipeline thread, as it first goes on
// screen). Every frame samples the buffer that was on screen at the blank
// it answers. Unless every plane is followed, a buffer of another size,
// format or modifier is not imported: it ends the run, and becomes the
// session's frame for the next run once the run has released everything.
// When every plane is followed the stream has the CRTC's size, so such a
// buffer is imported like any other; a second set (overlays) holds the
// overlay planes' buffers, several of which show at once.
#pragma once

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES3/gl3.h>

#include <cstdint>
#include <vector>

#include "apps/capture/source/capture_session.h"
#include "apps/capture/source/egl_context.h"

// How the frame is bound for sampling. External: the shaders sample an
// external texture (dma-buf import, or an upload wrapped in an image). 2D:
// a dma-buf is bound to a 2D texture through its own image and a mapped
// frame's 2D upload texture is used, so it can sit behind a framebuffer.
// Mapped: no GL at all, each buffer is only mapped for the processor.
enum PipelineImportKind {
    PIPELINE_IMPORT_EXTERNAL = FRAME_IMPORT_EXTERNAL,
    PIPELINE_IMPORT_2D = FRAME_IMPORT_2D,
    PIPELINE_IMPORT_MAPPED = FRAME_IMPORT_MAPPED,
};

class FollowedBuffers {
public:
    // session->metadata is the session's frame; the session outlives this.
    // overlays: the overlay planes' set (no session frame, no restart).
    explicit FollowedBuffers(CaptureSession *session, bool overlays = false);
    ~FollowedBuffers();
    FollowedBuffers(const FollowedBuffers &) = delete;
    FollowedBuffers &operator=(const FollowedBuffers &) = delete;

    // Imports the session's frame as kind and stores the texture to sample
    // in its texture slot. 0, or -1 after the import's message (what was
    // made is released by release()).
    int import_frame(EGLDisplay display, PipelineImportKind kind);

    // Makes shown the buffer frames sample, importing it the first time (a
    // 2D import gets its own framebuffer, bound here). 0; 1 when the buffer
    // has another size, format or modifier (the run must end: see
    // scanout_changed); -1 when it cannot be imported.
    int choose(uint64_t shown);

    // The texture a frame samples: external or 2D as imported, of the buffer
    // chosen last.
    GLuint texture() const;
    // Brings that texture up to the current picture (a mapped frame is
    // uploaded again; a dma-buf is the picture itself). 0, or -1.
    int refresh();

    // The overlays' set: how its buffers are imported (as the run's frame).
    void prepare(EGLDisplay display, PipelineImportKind kind);
    // The import of buffer_id, made the first time it is asked for; null
    // when it cannot be imported (said once, not tried again).
    FrameImport *layer(uint64_t buffer_id);
    // The texture a shader samples for an overlay plane showing buffer_id,
    // brought up to its current picture: its import's (*external as the
    // run's imports are), or, for an NV12 buffer the GPU does not import,
    // a 2D texture of its picture converted on the processor with the
    // plane's colour encoding and range. 0 when it cannot be shown.
    GLuint layer_texture(const PlaneRecord &plane, bool *external);
    // True when the buffer chosen last is read on the processor: an NV12 or
    // P010 buffer of the primary plane that the GPU does not import. Frames
    // then draw it as a layer, from primary_texture.
    bool converted() const;
    // That buffer, whole, converted on the processor with the plane's colour
    // encoding and range into a 2D texture at each call. 0 on a failure.
    GLuint primary_texture(const PlaneRecord &plane);
    // The import frames sample now (the buffer chosen last).
    FrameImport *current() const { return current_; }
    PipelineImportKind kind() const { return kind_; }
    // The mapping of the buffer chosen last (a MAPPED import, or an upload's
    // source); not mapped for a dma-buf import.
    const FrameMapping &mapping() const { return current_->mapping; }

    // Ends the run for a new mode: the buffer shown (a buffer_id of the
    // scanout set) becomes the session's frame for the next run, as after a
    // change of size. The line that says so is written.
    void restart_from(uint64_t shown);

    // True once a buffer of another size, format or modifier was chosen.
    bool scanout_changed() const { return scanout_changed_; }

    // Releases every import (GL objects first, then the mappings) and clears
    // the session frame's texture slot; after a scanout change the buffer
    // that caused it becomes the session's frame. Safe to call more than once.
    void release();

private:
    struct Entry {
        uint64_t buffer_id = 0;  // 0: empty
        uint64_t used = 0;       // order of the last frame that chose it
        FrameImport import{};
        GLuint framebuffer = 0;  // 2D imports only
        // NV12 that the GPU does not import: mapped, converted on the
        // processor into this texture at every frame.
        bool converted = false;
        GLuint converted_texture = 0;
        std::vector<uint8_t> converted_pixels;
    };

    Entry *import_followed(uint64_t buffer_id);
    // Whether a buffer is read on the processor rather than imported.
    bool processor_converts(const FrameMetadata &frame) const;
    // Converts an import's mapping into *texture (made on first use) through
    // *pixels. The texture, or 0.
    static GLuint convert(const FrameImport &import, const PlaneRecord &plane, GLuint *texture,
                          std::vector<uint8_t> *pixels);
    void restart_with(FrameMetadata frame);
    static void release_entry(Entry *entry);

    CaptureSession *session_;
    FrameMetadata *frame_;
    bool overlays_;
    bool restarts_;  // a buffer of another size or format ends the run
    FrameImport import_{};
    // The session's frame read on the processor (see converted()).
    bool import_converted_ = false;
    GLuint import_converted_texture_ = 0;
    std::vector<uint8_t> import_converted_pixels_;
    PipelineImportKind kind_ = PIPELINE_IMPORT_EXTERNAL;
    FrameImport *current_ = &import_;  // what frames sample
    std::vector<Entry> entries_;
    uint64_t refused_ = 0;  // an overlay buffer that could not be imported
    const PlaneRecord *importing_ = nullptr;  // the plane whose buffer is being imported (its colour hints)
    uint64_t uses_ = 0;
    bool scanout_changed_ = false;
    FrameMetadata next_frame_{};
};
