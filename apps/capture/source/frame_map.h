// Frames read on the processor: a framebuffer that the GPU does not import
// (the virtual display's memory frames, and dma-bufs on machines whose EGL
// has no dma-buf import or refuses the buffer) is mapped through its
// descriptor and read in place. A dma-buf's reads are bracketed by
// DMA_BUF_IOCTL_SYNC so the exporter can make the memory coherent for the
// processor; a memory frame needs no bracket.
//
// Only linear layouts can be read this way: modifier LINEAR, or INVALID
// (implicit) with a single plane. The packed 32-bit formats XR24, AR24,
// XB24 and AB24 are read, the packed deep-colour ones (XR30, AR30, XB30,
// AB30, XR48, AR48, XB48, AB48, XR4H, AR4H, XB4H, AB4H, RG16: see
// deep_convert.h), and NV12 and P010 (video on an overlay plane) whose two
// planes lie in one buffer object.
#pragma once

#include <cstddef>
#include <cstdint>

#include "apps/capture/core/deep_formats.h"
#include "libs/common/unique_fd.h"

struct FrameMetadata;

inline constexpr uint32_t frame_fourcc(char a, char b, char c, char d)
{
    return deep_fourcc(a, b, c, d);
}
inline constexpr uint32_t FRAME_FOURCC_XRGB8888 = frame_fourcc('X', 'R', '2', '4');
inline constexpr uint32_t FRAME_FOURCC_ARGB8888 = frame_fourcc('A', 'R', '2', '4');
inline constexpr uint32_t FRAME_FOURCC_XBGR8888 = frame_fourcc('X', 'B', '2', '4');
inline constexpr uint32_t FRAME_FOURCC_ABGR8888 = frame_fourcc('A', 'B', '2', '4');
inline constexpr uint32_t FRAME_FOURCC_NV12 = frame_fourcc('N', 'V', '1', '2');
inline constexpr uint32_t FRAME_FOURCC_P010 = DEEP_P010;
inline constexpr uint64_t FRAME_MODIFIER_LINEAR = 0;
inline constexpr uint64_t FRAME_MODIFIER_INVALID = 0x00ffffffffffffffull;

// Whether the processor can read the frame as it is laid out. 0, or -1 after
// one line on stderr that names what it cannot read: the modifier (tiled or
// compressed, or implicit with several planes), the fourcc, or a size that
// does not add up (stride below the format's bytes a pixel, no pixels).
int frame_map_check(const FrameMetadata *frame);

// The same test without a message.
bool frame_map_readable(const FrameMetadata *frame);

// True for a fourcc whose bytes are R, G, B, X in memory (XB24, AB24);
// false for B, G, R, X (XR24, AR24).
bool frame_map_red_first(uint32_t fourcc);

// True for the packed 32-bit formats above (one plane of four bytes a pixel).
bool frame_map_packed(uint32_t fourcc);

// Bytes a pixel of plane 0 (a sample for NV12 and P010); 0 for a format the
// processor does not read.
uint32_t frame_map_bytes_per_pixel(uint32_t fourcc);

// One mapping of a frame's plane 0, read-only. A dma-buf's mapping owns its
// own copy of the descriptor for the sync calls (the frame record may be
// closed while the mapping lives); a memory frame's needs none. Unmaps when
// it goes. Move-only.
class FrameMapping {
public:
    FrameMapping() = default;
    ~FrameMapping() { reset(); }
    FrameMapping(const FrameMapping &) = delete;
    FrameMapping &operator=(const FrameMapping &) = delete;
    FrameMapping(FrameMapping &&other) noexcept;
    FrameMapping &operator=(FrameMapping &&other) noexcept;

    bool mapped() const { return base_ != nullptr; }
    // The first pixel of row 0 (the plane's offset applied), or null.
    const uint8_t *pixels() const { return base_ ? base_ + offset : nullptr; }
    // NV12, P010: the first row of the interleaved chroma plane, or null.
    const uint8_t *chroma() const { return base_ && chroma_stride ? base_ + chroma_offset : nullptr; }
    // Unmaps and closes; the record is empty afterwards.
    void reset();

    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t stride = 0;
    uint32_t offset = 0;
    uint32_t format = 0;
    uint32_t bytes_per_pixel = 0;  // of plane 0 (a luma sample for NV12, P010)
    uint32_t chroma_stride = 0;    // NV12's and P010's chroma plane, 0 for the packed formats
    uint32_t chroma_offset = 0;
    bool red_first = false;  // see frame_map_red_first
    bool dma_buf = false;    // reads are bracketed with DMA_BUF_IOCTL_SYNC

private:
    friend int frame_map_open(const FrameMetadata *frame, FrameMapping *out);
    friend int frame_map_begin_read(const FrameMapping *mapping);
    friend void frame_map_end_read(const FrameMapping *mapping);
    UniqueFD fd_;
    const uint8_t *base_ = nullptr;
    size_t length_ = 0;
};

// Checks the frame (frame_map_check) and maps its plane 0 (and NV12's or
// P010's chroma plane, which must be in the same buffer object): the buffer must
// hold every row of them. 0 with *out holding the mapping, or
// -1 after one line (out is left empty).
int frame_map_open(const FrameMetadata *frame, FrameMapping *out);

// Starts a read of the mapped pixels (DMA_BUF_SYNC_START | READ on a
// dma-buf; nothing on a memory frame). 0, or -1 after a line when the
// exporter refuses: the frame must not be read then.
int frame_map_begin_read(const FrameMapping *mapping);

// Ends the read begun above (DMA_BUF_SYNC_END | READ on a dma-buf).
void frame_map_end_read(const FrameMapping *mapping);
