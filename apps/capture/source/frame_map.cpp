#include "apps/capture/source/frame_map.h"

#include <fcntl.h>
#include <linux/dma-buf.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "apps/capture/source/capture_session.h"

namespace {

// The fourcc as its four letters, for messages ("NV12"); unprintable bytes
// become '?'.
void fourcc_text(uint32_t fourcc, char out[5])
{
    for (int i = 0; i < 4; ++i) {
        const char c = char((fourcc >> (8 * i)) & 0xff);
        out[i] = c >= 0x20 && c < 0x7f ? c : '?';
    }
    out[4] = '\0';
}

bool two_planes(uint32_t fourcc)
{
    return fourcc == FRAME_FOURCC_NV12 || fourcc == FRAME_FOURCC_P010;
}

bool format_readable(uint32_t fourcc)
{
    return frame_map_bytes_per_pixel(fourcc) != 0;
}

uint32_t planes_of(uint32_t fourcc)
{
    return two_planes(fourcc) ? 2 : 1;
}

// One DMA_BUF_IOCTL_SYNC, again after a signal or a busy exporter.
int sync_dma_buf(int fd, uint64_t flags)
{
    dma_buf_sync sync{flags};
    for (int tries = 0; tries < 100; ++tries) {
        if (ioctl(fd, DMA_BUF_IOCTL_SYNC, &sync) == 0)
            return 0;
        if (errno != EINTR && errno != EAGAIN)
            return -1;
    }
    return -1;
}

int check_layout(const FrameMetadata *frame, bool quiet)
{
    FILE *log = quiet ? nullptr : stderr;
    auto say = [log](const char *format, auto... args) {
        if (log)
            fprintf(log, format, args...);
        return -1;
    };
    if (!frame || frame->fd < 0)
        return say("[Capture] no framebuffer to read\n");
    if (frame->modifier != FRAME_MODIFIER_LINEAR && frame->modifier != FRAME_MODIFIER_INVALID)
        return say("[Capture] framebuffer modifier 0x%016llx is tiled or compressed: the GPU does not import it "
                   "and the processor reads only linear buffers\n",
                   static_cast<unsigned long long>(frame->modifier));
    if (frame->modifier == FRAME_MODIFIER_INVALID && frame->plane_count > 1 && !two_planes(frame->format))
        return say("[Capture] framebuffer modifier 0x%016llx (implicit) with %d planes: the processor reads only "
                   "linear buffers\n",
                   static_cast<unsigned long long>(frame->modifier), frame->plane_count);
    if (!format_readable(frame->format) || uint32_t(frame->plane_count) != planes_of(frame->format)) {
        char name[5];
        fourcc_text(frame->format, name);
        if (format_readable(frame->format))
            return say("[Capture] framebuffer format %s with %d planes cannot be read on the processor\n", name,
                       frame->plane_count);
        return say("[Capture] framebuffer format %s (0x%08x) cannot be read on the processor (it reads XR24, AR24, "
                   "XB24, AB24, XR30, AR30, XB30, AB30, XR48, AR48, XB48, AB48, XR4H, AR4H, XB4H, AB4H, RG16, NV12 "
                   "and P010)\n",
                   name, frame->format);
    }
    const uint32_t bytes_per_pixel = frame_map_bytes_per_pixel(frame->format);
    if (two_planes(frame->format) &&
        (frame->planes[1].stride / bytes_per_pixel < frame->width || frame->width % 2 != 0 || frame->height % 2 != 0)) {
        char name[5];
        fourcc_text(frame->format, name);
        return say("[Capture] %s framebuffer %ux%u with chroma stride %u cannot be read\n", name, frame->width,
                   frame->height, frame->planes[1].stride);
    }
    if (frame->width == 0 || frame->height == 0 || frame->stride / bytes_per_pixel < frame->width)
        return say("[Capture] framebuffer %ux%u with stride %u cannot be read\n", frame->width, frame->height,
                   frame->stride);
    return 0;
}

}  // namespace

bool frame_map_readable(const FrameMetadata *frame)
{
    return check_layout(frame, true) == 0;
}

int frame_map_check(const FrameMetadata *frame)
{
    return check_layout(frame, false);
}

bool frame_map_packed(uint32_t fourcc)
{
    return fourcc == FRAME_FOURCC_XRGB8888 || fourcc == FRAME_FOURCC_ARGB8888 || fourcc == FRAME_FOURCC_XBGR8888 ||
           fourcc == FRAME_FOURCC_ABGR8888;
}

uint32_t frame_map_bytes_per_pixel(uint32_t fourcc)
{
    if (frame_map_packed(fourcc))
        return 4;
    if (fourcc == FRAME_FOURCC_NV12)
        return 1;
    if (fourcc == FRAME_FOURCC_P010)
        return 2;
    return deep_packed_bytes(fourcc);
}

bool frame_map_red_first(uint32_t fourcc)
{
    return fourcc == FRAME_FOURCC_XBGR8888 || fourcc == FRAME_FOURCC_ABGR8888;
}

FrameMapping::FrameMapping(FrameMapping &&other) noexcept
{
    *this = std::move(other);
}

FrameMapping &FrameMapping::operator=(FrameMapping &&other) noexcept
{
    if (this == &other)
        return *this;
    reset();
    width = other.width;
    height = other.height;
    stride = other.stride;
    offset = other.offset;
    format = other.format;
    bytes_per_pixel = other.bytes_per_pixel;
    chroma_stride = other.chroma_stride;
    chroma_offset = other.chroma_offset;
    red_first = other.red_first;
    dma_buf = other.dma_buf;
    fd_ = std::move(other.fd_);
    base_ = std::exchange(other.base_, nullptr);
    length_ = std::exchange(other.length_, 0);
    other.reset();
    return *this;
}

void FrameMapping::reset()
{
    if (base_)
        munmap(const_cast<uint8_t *>(base_), length_);
    base_ = nullptr;
    length_ = 0;
    fd_.reset();
    width = height = stride = offset = format = bytes_per_pixel = chroma_stride = chroma_offset = 0;
    red_first = dma_buf = false;
}

int frame_map_open(const FrameMetadata *frame, FrameMapping *out)
{
    out->reset();
    if (frame_map_check(frame) != 0)
        return -1;
    FrameMapping made;
    made.fd_.reset(fcntl(frame->fd, F_DUPFD_CLOEXEC, 0));
    if (!made.fd_) {
        perror("[Capture] cannot copy the framebuffer's descriptor");
        return -1;
    }
    uint64_t needed = uint64_t(frame->offset) + uint64_t(frame->stride) * frame->height;
    if (two_planes(frame->format)) {
        // Both planes are read through plane 0's mapping: they must be one object.
        struct stat luma {}, chroma {};
        if (fstat(frame->fd, &luma) != 0 || fstat(frame->planes[1].fd.get(), &chroma) != 0 ||
            luma.st_ino != chroma.st_ino || luma.st_dev != chroma.st_dev) {
            char name[5];
            fourcc_text(frame->format, name);
            fprintf(stderr,
                    "[Capture] %s framebuffer with its planes in two buffer objects cannot be read on the "
                    "processor\n",
                    name);
            return -1;
        }
        needed = std::max(needed, uint64_t(frame->planes[1].offset) +
                                      uint64_t(frame->planes[1].stride) * (frame->height / 2));
    }
    // A dma-buf reports its size through the end of the file, as a memfd does.
    const off_t size = lseek(made.fd_.get(), 0, SEEK_END);
    if (size < 0 || uint64_t(size) < needed) {
        fprintf(stderr, "[Capture] framebuffer of %lld bytes is smaller than its %llu bytes of pixels\n",
                static_cast<long long>(size), static_cast<unsigned long long>(needed));
        return -1;
    }
    void *map = mmap(nullptr, size_t(needed), PROT_READ, MAP_SHARED, made.fd_.get(), 0);
    if (map == MAP_FAILED) {
        perror("[Capture] cannot map the framebuffer");
        return -1;
    }
    made.base_ = static_cast<const uint8_t *>(map);
    made.length_ = size_t(needed);
    made.width = frame->width;
    made.height = frame->height;
    made.stride = frame->stride;
    made.offset = frame->offset;
    made.format = frame->format;
    made.bytes_per_pixel = frame_map_bytes_per_pixel(frame->format);
    if (two_planes(frame->format)) {
        made.chroma_stride = frame->planes[1].stride;
        made.chroma_offset = frame->planes[1].offset;
    }
    made.red_first = frame_map_red_first(frame->format);
    // A memory frame carries seals; a dma-buf has none. Only a dma-buf's
    // reads need the descriptor (for their brackets): a memory frame's copy
    // goes at once, so a run holds no more descriptors than before.
    made.dma_buf = fcntl(made.fd_.get(), F_GET_SEALS) < 0;
    if (!made.dma_buf)
        made.fd_.reset();
    *out = std::move(made);
    return 0;
}

int frame_map_begin_read(const FrameMapping *mapping)
{
    if (!mapping || !mapping->mapped())
        return -1;
    if (!mapping->dma_buf)
        return 0;
    if (sync_dma_buf(mapping->fd_.get(), DMA_BUF_SYNC_START | DMA_BUF_SYNC_READ) != 0) {
        perror("[Capture] DMA_BUF_IOCTL_SYNC (start of a read)");
        return -1;
    }
    return 0;
}

void frame_map_end_read(const FrameMapping *mapping)
{
    if (!mapping || !mapping->mapped() || !mapping->dma_buf)
        return;
    if (sync_dma_buf(mapping->fd_.get(), DMA_BUF_SYNC_END | DMA_BUF_SYNC_READ) != 0)
        perror("[Capture] DMA_BUF_IOCTL_SYNC (end of a read)");
}
