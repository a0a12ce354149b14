// The compatible pipeline. A frame the GPU does not import (the virtual
// display's memory frames, a dma-buf on a machine whose EGL cannot import
// it) is read on the processor: mapped, converted straight from the mapping
// to I420, with no EGL at all. A frame the GPU imports (or any frame with
// the GL read-back asked for) is drawn into a framebuffer and its RGBA
// picture comes back through two pixel-pack buffers one frame late (or
// through one in the same pass, with the same-frame read-back), and the
// processor converts it. A picture that is more than one buffer shown whole
// (planes over it, a scaled or cropped buffer, a turned stream) is composed
// on the processor from the buffers' mappings, the cursor with it, and
// converted. Either way the cursor is blended, a bitmap
// watermark of capture's wall clock is stamped into the luma plane, and
// the generic codec wrapper encodes H.264 for the streamer.
//
// A connector that says PQ or HLG has its processor pictures tone-mapped to
// SDR (a plain buffer straight from its mapping, a composed picture after
// composing at 8 bits). With --hdr the processor makes the 10-bit picture
// instead, in the connector's colour (the cursor's white at the stream's
// reference white), and the wrapper encodes it as H.265 Main10 carrying
// that colour and its mastering metadata.
extern "C" {
#include <libavcodec/packet.h>
}

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "apps/capture/convert/deep_convert.h"
#include "apps/capture/convert/hdr_convert.h"
#include "apps/capture/convert/plane_compose.h"
#include "apps/capture/convert/yuv_convert.h"
#include "apps/capture/core/pipeline_control.h"
#include "apps/capture/encoders/codec.h"
#include "apps/capture/gpu/gl_cpu_renderer.h"
#include "apps/capture/pipelines/compatible_pipeline.h"
#include "apps/capture/pipelines/packet_clock.h"
#include "apps/capture/pipelines/pipeline_run.h"
#include "apps/capture/pipelines/pipelines.h"
#include "apps/capture/pipelines/watermark_font.h"

namespace {

constexpr int32_t kBitrateKbps = 16000;
constexpr int32_t kReportedFps = 60;
constexpr double kInitialTargetFps = 30.0;
constexpr double kUnknownRefreshHz = 60.0;
// The read-back's buffer could not be mapped (already said): the run ends.
constexpr int kMapFailed = -2;

double ms(uint64_t ns)
{
    return double(ns) / 1e6;
}

// The compatible run's own parts: the framebuffer over the frame's texture,
// the two pixel-pack buffers, the I420 picture and the encoder. The picture
// and the buffers go once the listener has stopped, the encoder once the
// streamer has, the framebuffer before the frame's import.
struct CompatibleStage final : PipelineStage {
    FrameMetadata *frame = nullptr;
    GLuint framebuffer = 0;
    GLuint pbo[2] = {0, 0};
    CodecContext *codec = nullptr;
    std::unique_ptr<uint8_t[]> i420;
    std::unique_ptr<uint8_t[]> composed;  // the composed picture, XRGB8888 at the stream's size
    GlCpuRenderer composer{};             // the GL path's composing conversion, made at its first use
    bool composer_ready = false;
    YuvScaler scaler;                     // the run's own libswscale cache
    bool announce_cleanup = false;

    void teardown_begins() override
    {
        if (announce_cleanup)
            puts("[Capture] Cleaning up resources...");
    }
    void release_frame_path() override
    {
        i420.reset();
        composed.reset();
        yuv_scaler_release(&scaler);
        for (GLuint &name : pbo) {
            if (name)
                destroy_pbo(name);
            name = 0;
        }
    }
    void release_encoder() override
    {
        if (codec)
            codec_cleanup(codec);
        codec = nullptr;
    }
    void release_renderer() override
    {
        if (composer_ready)
            gl_cpu_cleanup(&composer);
        composer_ready = false;
        if (framebuffer) {
            glBindFramebuffer(GL_FRAMEBUFFER, 0);
            glDeleteFramebuffers(1, &framebuffer);
        }
        framebuffer = 0;
        // No stale names stay in the session's frame for the next run.
        frame->texture = 0;
        frame->framebuffer = 0;
    }
};

// Set-up steps 1 to 5: the frame as a 2D texture behind a complete
// framebuffer that stays bound, and the pixel-pack buffers: two, or one for
// the same-frame read-back, which maps each read-back in its own pass.
int import_frame(PipelineRun &run, CompatibleStage &stage, EGLDisplay display, bool same_frame)
{
    FrameMetadata *frame = run.frame();
    if (run.import_frame(display, PIPELINE_IMPORT_2D) != 0)
        return -1;
    // A frame read on the processor is drawn by the conversion shaders,
    // never read back plain.
    if (!run.frame_converted() && setup_framebuffer_object(frame->texture, &stage.framebuffer) != 0)
        return -1;
    frame->framebuffer = stage.framebuffer;

    stage.announce_cleanup = true;
    const size_t bytes = size_t(run.stream().width) * run.stream().height * 4;
    for (int i = 0; i < (same_frame ? 1 : 2); ++i) {
        stage.pbo[i] = create_pbo(bytes);
        if (!stage.pbo[i])
            return -1;
    }
    return 0;
}

// What the run makes of the connector's colour on the processor: the
// 10-bit picture (--hdr), a tone map to SDR (a PQ or HLG connector without
// --hdr), or the picture as it is (neither).
struct RunColour {
    bool ten_bit = false;
    bool tone = false;
    bool bt2020 = false;
    HdrToneMap map{};
};

// The encoder's picture: 8-bit I420 planes, or (ten_bit) 10-bit ones, each
// sample in 16 bits, in the same buffer.
struct PicturePlanes {
    uint8_t *y, *u, *v;
    uint16_t *y10, *u10, *v10;
};

// The 8-bit overlays (the cursor, the watermark) on the 10-bit picture: the
// rows from first to first + count (the band taken from an even row) are
// taken to 8 bits, draw(y, u, v, band_first, band_rows) draws on them as on
// an 8-bit picture, and every sample it changed goes back as its 10-bit
// equal (x 4).
template <class Draw>
void overlay_ten_bit(std::vector<uint8_t> &band, const PicturePlanes &p, int32_t width, int32_t height, int32_t first,
                     int32_t count, Draw draw)
{
    first = std::max(first, 0) & ~1;
    const int32_t end = std::min(height, first + count + 1), rows = end - first;
    if (rows <= 0 || width <= 0)
        return;
    const size_t cw = (size_t(width) + 1) / 2, crows = (size_t(rows) + 1) / 2, luma = size_t(width) * size_t(rows);
    const size_t chroma = cw * crows, chroma_first = size_t(first / 2) * cw;
    band.resize(luma + 2 * chroma);
    uint16_t *const planes[3] = {p.y10 + size_t(first) * size_t(width), p.u10 + chroma_first, p.v10 + chroma_first};
    const size_t sizes[3] = {luma, chroma, chroma};
    // Chroma rows past the picture's last (an odd band at the bottom) are
    // neither read nor written.
    const size_t chroma_left = cw * ((size_t(height) + 1) / 2) - chroma_first;
    auto to8 = [](uint16_t s) { return uint8_t(std::min(255, (s + 2) >> 2)); };
    size_t offset = 0;
    for (int i = 0; i < 3; ++i) {
        const size_t n = i ? std::min(sizes[i], chroma_left) : sizes[i];
        for (size_t k = 0; k < n; ++k)
            band[offset + k] = to8(planes[i][k]);
        offset += sizes[i];
    }
    draw(band.data(), band.data() + luma, band.data() + luma + chroma, first, rows);
    offset = 0;
    for (int i = 0; i < 3; ++i) {
        const size_t n = i ? std::min(sizes[i], chroma_left) : sizes[i];
        for (size_t k = 0; k < n; ++k)
            if (band[offset + k] != to8(planes[i][k]))
                planes[i][k] = uint16_t(band[offset + k] << 2);
        offset += sizes[i];
    }
}

// Whether a run reads its frames on the processor: a frame the GPU does
// not import (a memory frame, or a dma-buf without an EGL that imports it),
// unless the settings ask for the GL read-back.
bool reads_on_processor(const EglContext *egl, const CaptureSession *session)
{
    if (session->settings.gl_readback)
        return false;
    return !egl_frame_gpu_imports(egl ? egl->display : EGL_NO_DISPLAY, session->metadata);
}

// The processor's picture: the mapped buffer of the event converted
// straight into the planes (tone-mapped, or 10-bit, as the colour says).
// 1 when the frame is skipped (its read was refused), -1 when the
// conversion failed.
int picture_from_mapping(YuvScaler *scaler, const RunColour &colour, const FrameMapping &map, const PicturePlanes &p)
{
    if (frame_map_begin_read(&map) != 0)
        return 1;
    const PackedOrder order = map.red_first ? PACKED_RGBA : PACKED_BGRA;
    int converted;
    if (colour.ten_bit && map.format == DEEP_P010)
        converted = hdr_p010_to_yuv420p10(map.width, map.height, map.pixels(), map.stride, map.chroma(),
                                          map.chroma_stride, p.y10, p.u10, p.v10);
    else if (colour.ten_bit)
        converted = hdr_convert_to_yuv420p10(colour.bt2020, map.format, map.width, map.height, map.pixels(), map.stride,
                                             p.y10, p.u10, p.v10);
    else if (colour.tone)
        converted = hdr_convert_to_yuv420p_bt709(colour.map, map.format, map.width, map.height, map.pixels(),
                                                 map.stride, p.y, p.u, p.v);
    else if (deep_packed_bytes(map.format))
        converted = deep_to_yuv420p_bt709(map.format, map.width, map.height, map.pixels(), map.stride, p.y, p.u, p.v);
    else
        converted =
            packed_to_yuv420p_bt709(scaler, order, map.width, map.height, map.pixels(), map.stride, p.y, p.u, p.v);
    frame_map_end_read(&map);
    return converted == 0 ? 0 : -1;
}

// The composed picture: every plane of the event's blank and the cursor
// drawn into the stream-sized XRGB8888 picture, then converted into the
// planes (tone-mapped at 8 bits, or to 10 bits, as the colour says). 1 when
// the frame is skipped (a read was refused), -1 when the conversion failed.
int picture_from_planes(PipelineRun &run, CompatibleStage &stage, const RunColour &colour, const PicturePlanes &p)
{
    const CapturePicture &stream = run.stream();
    const size_t stride = size_t(stream.width) * 4;
    if (!stage.composed) {
        stage.composed.reset(new (std::nothrow) uint8_t[stride * stream.height]);
        if (!stage.composed) {
            fputs("[Capture] out of memory for the composed picture\n", stderr);
            return -1;
        }
    }
    ComposeLayer layers[UDS_MAX_FOLLOWED_PLANES + 1];
    uint32_t count = 0;
    if (run.begin_processor_layers(layers, &count) != 0)
        return 1;
    plane_compose_xrgb(layers, count, stream.crtc.width, stream.crtc.height, stream.turns, stage.composed.get(),
                       uint32_t(stride));
    run.end_processor_layers();
    uint8_t *composed = stage.composed.get();
    int converted;
    if (colour.ten_bit) {
        converted = hdr_convert_to_yuv420p10(colour.bt2020, HDR_XR24, stream.width, stream.height, composed,
                                             uint32_t(stride), p.y10, p.u10, p.v10);
    } else {
        converted = colour.tone ? hdr_convert_xrgb_in_place(colour.map, HDR_XR24, stream.width, stream.height, composed,
                                                            uint32_t(stride))
                                : 0;
        if (converted == 0)
            converted = packed_to_yuv420p_bt709(&stage.scaler, PACKED_BGRA, stream.width, stream.height, composed,
                                                uint32_t(stride), p.y, p.u, p.v);
    }
    return converted == 0 ? 0 : -1;
}

// The GL path's composed picture: the planes of the event's blank and the
// cursor drawn by the conversion shaders (which sample what the GPU
// imported, tiled layouts included) and read back in the same pass, into the
// I420 planes. 1 when the frame is skipped, -1 on a failure.
int picture_from_gl_planes(PipelineRun &run, CompatibleStage &stage, EGLDisplay display, int32_t width, int32_t height,
                           uint8_t *y, uint8_t *u, uint8_t *v)
{
    if (!stage.composer_ready) {
        if (gl_cpu_init(&stage.composer, display, width, height) != 0) {
            gl_cpu_cleanup(&stage.composer);
            return -1;
        }
        stage.composer_ready = true;
        gl_cpu_set_same_frame(&stage.composer, true);
        // As the processor converts the plain frames.
        gl_cpu_set_coefficients(&stage.composer, kBt709Limited);
        // An HDR signal tone-mapped to SDR, or the 10-bit planes of a stream
        // that carries them (2 bytes a sample, rows packed as the 8-bit ones).
        if (gl_cpu_set_signal(&stage.composer, run.hdr(), run.streamer_config().hdr != nullptr) != 0)
            return -1;
    }
    if (run.refresh_frame() != 0)
        return 1;
    ShaderPicture picture;
    CursorOverlayGl cursor{};
    // Layered: the frame is imported as a 2D texture here.
    run.gl_picture(&picture, &cursor, true);
    const uint8_t *planes[3] = {};
    int32_t strides[3] = {};
    if (gl_cpu_render_and_map(&stage.composer, run.frame_texture(), watermark_wall_clock_ms(), &planes[0], &strides[0],
                              &planes[1], &strides[1], &planes[2], &strides[2], &cursor, &picture) != 0)
        return -1;
    uint8_t *out[3] = {y, u, v};
    const int32_t bytes = stage.composer.sample_bytes;
    for (int p = 0; p < 3; ++p) {
        const int32_t w = (p == 0 ? width : width / 2) * bytes, h = p == 0 ? height : height / 2;
        for (int32_t row = 0; row < h; ++row)
            std::memcpy(out[p] + size_t(row) * size_t(w), planes[p] + size_t(row) * size_t(strides[p]), size_t(w));
    }
    gl_cpu_unmap(&stage.composer);
    return 0;
}

// The compatible mode's pacing rule: its own estimate of the display's
// rate from the events it handles, and the adaptive output rate.
struct CompatiblePacing {
    double target_fps = kInitialTargetFps;
    double upstream_hz = kUnknownRefreshHz;
    uint64_t last_event_ns = 0;
    uint32_t pass = 0;
};

int run_compatible(EglContext *egl, CaptureSession *session, PipelineControl *control)
{
    FrameMetadata *frame = session->metadata;
    if (!frame || frame->fd < 0)
        return -1;
    const bool processor = reads_on_processor(egl, session);
    if (!processor && egl_context_ensure(egl, frame) != 0)
        return -1;
    const int32_t fps = session->settings.fps;
    const CapturePicture stream = capture_picture(session);
    const int32_t width = int32_t(stream.width);
    const int32_t height = int32_t(stream.height);
    const bool same_frame = !processor && session->settings.same_frame_readback;

    CompatibleStage stage;
    stage.frame = frame;
    PipelineRun run(session, control, &stage);
    if (processor) {
        if (run.import_frame(EGL_NO_DISPLAY, PIPELINE_IMPORT_MAPPED) != 0)
            return -1;
        stage.announce_cleanup = true;
    } else if (import_frame(run, stage, egl->display, same_frame) != 0) {
        return -1;
    }

    // The colour: --hdr makes the 10-bit H.265 stream; a PQ or HLG
    // connector without it is tone-mapped, by the processor or, on the GL
    // path, by the conversion shaders (which then draw every frame).
    RunColour colour;
    colour.ten_bit = session->settings.hdr;
    colour.tone = processor && !colour.ten_bit && hdr_signal_is_hdr(run.hdr());
    colour.bt2020 = run.hdr().bt2020;
    colour.map = hdr_tone_map_for(run.hdr());
    const CodecType codec_type = colour.ten_bit ? CODEC_TYPE_H265 : CODEC_TYPE_H264;

    CodecEncoderConfig encoder_config{codec_type, width, height, fps, kBitrateKbps, fps / 2};
    printf("[Capture] Init Encoder: %dx%d @ %dfps, %dkbps\n", width, height, fps, kBitrateKbps);
    const int opened = colour.ten_bit ? codec_encoder_init_hdr(&stage.codec, &encoder_config, run.hdr())
                                      : codec_encoder_init(&stage.codec, &encoder_config);
    if (opened != 0) {
        stage.codec = nullptr;
        fputs("Encoder init failed\n", stderr);
        return -1;
    }
    run.publish_encoder(stage.codec);

    StreamerConfig &streamer_config = run.fill_streamer_config(width, height, codec_type, CAPTURE_MODE_COMPATIBLE);
    streamer_config.codec_name = colour.ten_bit ? "H.265" : "H264";
    streamer_config.hdr = colour.ten_bit ? &run.hdr() : nullptr;
    streamer_config.vblank_sync = false;
    streamer_config.fps = kReportedFps;
    if (run.open_streamer() != 0) {
        fputs("Streamer init failed\n", stderr);
        return -1;
    }
    if (run.connect_streamer() != 0) {
        fputs("Streamer connect failed\n", stderr);
        return -1;
    }

    puts("[Capture] Starting VBlank Event Loop...");
    fflush(stdout);
    // Without events there is nothing to pace by: the run ends, and with it
    // the worker, once the run has released what it made.
    if (run.request_events() != 0)
        return -1;

    // Lagged read-back: the first read-back primes the pair of buffers; when
    // following the scanout it waits for the first event's buffer instead.
    // The same-frame read-back and the processor need no priming.
    bool primed = processor || same_frame || !run.follows_scanout();
    if (!processor && !same_frame && primed)
        start_pbo_read(stage.pbo[0], width, height);

    if (run.start_listener() != 0)
        return -1;
    printf("[Debug] VBlank thread created: %lu\n", static_cast<unsigned long>(run.listener()));

    const size_t luma = size_t(width) * height;
    // libswscale writes whole chroma samples, so an odd size needs a few
    // bytes past the packed picture; the 10-bit picture takes two bytes a
    // sample.
    const size_t picture_bytes = (luma * 3 / 2 + 2 * size_t(width) + 64) * (colour.ten_bit ? 2 : 1);
    stage.i420.reset(new (std::nothrow) uint8_t[picture_bytes]);
    if (!stage.i420)
        return -1;
    uint8_t *y_plane = stage.i420.get();
    uint8_t *u_plane = y_plane + luma;
    uint8_t *v_plane = u_plane + luma / 4;
    PicturePlanes planes{y_plane, u_plane, v_plane, nullptr, nullptr, nullptr};
    if (colour.ten_bit) {
        planes.y10 = reinterpret_cast<uint16_t *>(stage.i420.get());
        planes.u10 = planes.y10 + luma;
        planes.v10 = planes.u10 + luma / 4;
    }
    std::vector<uint8_t> overlay_band;  // the 10-bit picture's rows under the cursor or watermark, at 8 bits
    struct {
        CursorYuv source, drawn;
    } hdr_cursor;  // the last cursor image drawn into an HDR stream, and as it is drawn

    CompatiblePacing pacing;
    if (frame->refresh_rate > 0)
        pacing.upstream_hz = double(frame->refresh_rate);
    run.start_clocks();
    unsigned parity = 0;
    // The cursor of the blank each pixel-pack buffer's picture was read at:
    // the picture comes back a frame late, and its cursor with it.
    CursorPlacement pbo_cursor[2] = {};
    fprintf(stderr, "[Capture] Pixels %d\n", int(frame->format));

    // The GL read-back's picture: the buffer read back by the previous frame
    // while this one's copy runs on (or, same-frame, this frame's own once
    // its copy is done), converted; the cursor of its blank in *cursor.
    auto picture_from_readback = [&](CursorPlacement *cursor) {
        const unsigned reading = same_frame ? 0 : parity;
        const unsigned next = same_frame ? 0 : (parity + 1) % 2;
        if (run.refresh_frame() == 0) {
            start_pbo_read(stage.pbo[next], width, height);
            pbo_cursor[next] = run.cursor();
            if (same_frame)
                gl_cpu_fence_wait();
        }
        const GLuint pbo = stage.pbo[reading];
        const void *pixels = map_pbo(pbo, size_t(width) * height * 4);
        if (!pixels) {
            glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
            fputs("Map PBO failed\n", stderr);
            return kMapFailed;
        }
        const int converted =
            packed_to_yuv420p_bt709(&stage.scaler, PACKED_RGBA, uint32_t(width), uint32_t(height),
                                    static_cast<const uint8_t *>(pixels), uint32_t(width) * 4, y_plane, u_plane,
                                    v_plane);
        unmap_pbo(pbo);
        *cursor = pbo_cursor[reading];
        return converted;
    };

    run.for_each_event("[Pipeline] Restart requested (compatible mode), exiting loop...\n", [&](const PipelineEvent
                                                                                                      &event,
                                                                                                  int32_t) {
        if (event.restart)
            return false;
        const uint64_t t = event.time_ns;
        const int32_t n = int32_t(event.count);
        if (n > 0 && t > pacing.last_event_ns && pacing.last_event_ns != 0) {
            pacing.upstream_hz = compat_upstream_rate_update(pacing.upstream_hz, pacing.last_event_ns, t, n);
            streamer_config.upstream_fps.store(pacing.upstream_hz, std::memory_order_relaxed);
        }

        if (!primed) {
            if (run.refresh_frame() == 0) {
                start_pbo_read(stage.pbo[parity], width, height);
                pbo_cursor[parity] = run.cursor();
            }
            primed = true;
            pacing.last_event_ns = t;
            return true;
        }

        const double interval = 1e9 / pacing.target_fps;
        if (!pacing_credit_admit(&run.credit, t, pacing.target_fps)) {
            pacing.last_event_ns = t;
            pacing.pass += 1;
            return true;
        }

        const uint64_t frame_start = pipeline_now_ns();
        CursorPlacement cursor = run.cursor();
        int converted = 0;
        const uint32_t format = run.frame_mapping().format;
        const bool plain =
            run.plain_picture() &&
            (processor ? frame_map_packed(format) || deep_packed_bytes(format) || (colour.ten_bit && format == DEEP_P010)
                       : !colour.ten_bit && !hdr_signal_is_hdr(run.hdr()));
        if (!plain) {
            // Composed with its cursor: on the processor from the buffers'
            // mappings, on the GL path by the conversion shaders.
            converted = processor ? picture_from_planes(run, stage, colour, planes)
                        : colour.ten_bit
                            ? picture_from_gl_planes(run, stage, egl->display, width, height,
                                                     reinterpret_cast<uint8_t *>(planes.y10),
                                                     reinterpret_cast<uint8_t *>(planes.u10),
                                                     reinterpret_cast<uint8_t *>(planes.v10))
                            : picture_from_gl_planes(run, stage, egl->display, width, height, y_plane, u_plane, v_plane);
            cursor = CursorPlacement{};
            if (converted > 0) {
                pacing.last_event_ns = t;
                return true;
            }
        } else if (processor) {
            converted = picture_from_mapping(&stage.scaler, colour, run.frame_mapping(), planes);
            if (converted > 0) {
                pacing.last_event_ns = t;
                return true;
            }
        } else {
            converted = picture_from_readback(&cursor);
            if (converted == kMapFailed)
                return false;
        }
        const uint64_t convert_ns = pipeline_now_ns() - frame_start;
        if (converted != 0) {
            fputs("SIMD Color conversion failed\n", stderr);
            return false;
        }

        const CursorYuv *image = run.cursor_yuv(cursor);
        const uint64_t wall_ms = watermark_wall_clock_ms();
        if (colour.ten_bit) {
            // An HDR stream draws the cursor at its reference white, made
            // again only when the image changes.
            if (image && hdr_signal_is_hdr(run.hdr())) {
                if (image->width != hdr_cursor.source.width || image->height != hdr_cursor.source.height ||
                    image->y != hdr_cursor.source.y || image->u != hdr_cursor.source.u ||
                    image->v != hdr_cursor.source.v || image->a != hdr_cursor.source.a) {
                    hdr_cursor.source = *image;
                    hdr_cursor_for_stream(run.hdr(), *image, &hdr_cursor.drawn);
                }
                image = &hdr_cursor.drawn;
            }
            if (image)
                overlay_ten_bit(overlay_band, planes, width, height, cursor.y, int32_t(cursor.height),
                                [&](uint8_t *y, uint8_t *u, uint8_t *v, int32_t first, int32_t rows) {
                                    cursor_yuv_blend_i420(*image, cursor.x, cursor.y - first, cursor.width,
                                                          cursor.height, y, uint32_t(width), u, v,
                                                          (uint32_t(width) + 1) / 2, width, rows);
                                });
            overlay_ten_bit(overlay_band, planes, width, height, 0, WATERMARK_ORIGIN_Y + 8 * WATERMARK_SCALE,
                            [&](uint8_t *y, uint8_t *, uint8_t *, int32_t, int32_t rows) {
                                watermark_draw_ms(y, width, rows, width, wall_ms);
                            });
        } else {
            if (image)
                cursor_yuv_blend_i420(*image, cursor.x, cursor.y, cursor.width, cursor.height, y_plane, uint32_t(width),
                                      u_plane, v_plane, uint32_t(width) / 2, width, height);
            watermark_draw_ms(y_plane, width, height, width, wall_ms);
        }

        AVPacket *packet = nullptr;
        const uint64_t encode_start = pipeline_now_ns();
        const int encoded = codec_encode_frame(stage.codec, stage.i420.get(), &packet);
        const uint64_t encode_ns = pipeline_now_ns() - encode_start;
        if (encoded != 0) {
            fprintf(stderr, "Encode failed: %d\n", encoded);
            return false;
        }

        uint64_t send_ns = 0;
        if (packet) {
            const uint64_t pts = compat_packet_clock_next(&run.clock, t, pacing.target_fps);
            const uint64_t send_start = pipeline_now_ns();
            run.send_packet(packet, pts);
            send_ns = pipeline_now_ns() - send_start;
            av_packet_free(&packet);
        }
        parity ^= 1u;

        const uint64_t frame_end = pipeline_now_ns();
        rate_window_count(&run.window, frame_end);
        const uint64_t total_ns = frame_end - frame_start;
        pacing.target_fps =
            compat_target_fps_update(pacing.target_fps, total_ns, interval, fps, pacing.upstream_hz, pacing.pass);
        if (pacing.pass % 60 == 0) {
            const double lead = packet_clock_lead_ms(&run.clock, t);
            printf("FPS t=%.0f cur=%.1f act=%.1f up=%.1fHz diff=%+.2fms total=%.1fms yuv=%.1f enc=%.1f "
                   "send=%.1f\n",
                   double(fps), pacing.target_fps, run.window.actual_fps, pacing.upstream_hz, lead, ms(total_ns),
                   ms(convert_ns), ms(encode_ns), ms(send_ns));
            fflush(stdout);
        }
        pacing.last_event_ns = t;
        pacing.pass += 1;
        return true;
    });

    // A codec request restarts this mode like any other setting: it always
    // encodes H.264 (H.265 with --hdr).
    return run.result(0, false);
}

}  // namespace

double compat_target_fps_update(double target_fps, uint64_t total_ns, double interval_ns, int32_t fps,
                                double upstream_hz, uint32_t pass)
{
    const double total = double(total_ns);
    if (total > 0.9 * interval_ns)
        return std::max(10.0, 0.95 * target_fps);
    if (total<0.7 * interval_ns &&double(fps)> target_fps && upstream_hz - 2.0 > target_fps && pass % 10 == 0)
        return target_fps + 0.2;
    return target_fps;
}

int _capture_cpu_h264(EglContext *egl, CaptureSession *session, PipelineControl *control)
{
    return run_compatible(egl, session, control);
}
