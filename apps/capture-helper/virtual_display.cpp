#include "apps/capture-helper/virtual_display.h"

#include <drm_fourcc.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "libs/common/unique_fd.h"

namespace {

// The kernel refuses new events once a file has this many outstanding.
constexpr size_t kMaxOutstandingEvents = 128;
constexpr uint64_t kStopKey = ~0ull;

uint64_t monotonic_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

struct Rect {
    int x, y, w, h;
};

struct VFb {
    ScenarioFramebuffer desc;
    uint32_t handle = 0;
    UniqueFD memfd;
    uint8_t *map = nullptr;
    int sq_x = 0, sq_y = 0, sq_dx = 7, sq_dy = 5, sq_size = 1;
    ~VFb()
    {
        if (map)
            munmap(map, desc.size);
    }
};

struct VCrtc {
    ScenarioCrtc desc;
    uint32_t fb_id = 0;
    uint64_t seq = 0;
    uint64_t last_ns = 0;
    UniqueFD timer;
};

struct VDevice {
    ScenarioDevice desc;
    std::vector<std::unique_ptr<VFb>> fbs;
    std::vector<VCrtc> crtcs;
};

struct Pending {
    uint32_t crtc_id;
    uint64_t target;
    uint64_t user_data;
};

struct Completion {
    uint64_t sequence;
    uint64_t ns;
    uint64_t user_data;
};

struct OpenFile {
    VDevice *device = nullptr;
    UniqueFD event;
    std::vector<Pending> pending;
    std::vector<Completion> done;
};

// ---- drawing ---------------------------------------------------------------

const uint8_t kBars[8][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                             {235, 16, 235},  {235, 16, 16},  {16, 16, 235},  {128, 128, 128}};
const uint8_t kDigitSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};
constexpr int kDigitW = 48, kDigitH = 80, kDigitT = 10, kDigitGap = 14, kDigits = 6, kCounterX = 16,
              kCounterY = 16;

bool clip(const VFb &fb, Rect *r)
{
    int x1 = std::min<int>(r->x + r->w, fb.desc.width), y1 = std::min<int>(r->y + r->h, fb.desc.height);
    r->x = std::max(r->x, 0);
    r->y = std::max(r->y, 0);
    r->w = x1 - r->x;
    r->h = y1 - r->y;
    return r->w > 0 && r->h > 0;
}

// Paints a rectangle with the fixed pattern (solid = nullptr) or a solid
// colour (r, g, b; for NV12 only the luma of solid[0] is written).
void paint(VFb &fb, Rect r, const uint8_t *solid)
{
    if (!clip(fb, &r))
        return;
    const uint32_t w = fb.desc.width, h = fb.desc.height, pitch = fb.desc.pitches[0];
    if (fb.desc.format == DRM_FORMAT_NV12) {
        for (int y = r.y; y < r.y + r.h; y++) {
            uint8_t *row = fb.map + size_t(y) * pitch;
            for (int x = r.x; x < r.x + r.w; x++)
                row[x] = solid ? solid[0] : uint8_t(16 + ((x * 219u / w) * 3 + (y * 219u / h)) / 4);
        }
        return;
    }
    const bool rgb_order = fb.desc.format == DRM_FORMAT_XBGR8888;
    const uint8_t alpha = fb.desc.format == DRM_FORMAT_ARGB8888 ? 255 : 0;
    for (int y = r.y; y < r.y + r.h; y++) {
        uint8_t *row = fb.map + size_t(y) * pitch;
        const uint32_t shade = 255 - (uint32_t(y) * 128 / h);
        for (int x = r.x; x < r.x + r.w; x++) {
            uint8_t c[3];
            if (solid) {
                memcpy(c, solid, 3);
            } else {
                const uint8_t *bar = kBars[size_t(x) * 8 / w];
                for (int i = 0; i < 3; i++)
                    c[i] = uint8_t(bar[i] * shade / 255);
            }
            uint8_t *p = row + size_t(x) * 4;
            p[0] = rgb_order ? c[0] : c[2];
            p[1] = c[1];
            p[2] = rgb_order ? c[2] : c[0];
            p[3] = alpha;
        }
    }
}

void paint_chroma(VFb &fb)
{
    uint8_t *plane = fb.map + fb.desc.offsets[1];
    for (uint32_t y = 0; y < fb.desc.height / 2; y++)
        for (uint32_t x = 0; x < fb.desc.width / 2; x++) {
            uint32_t bar = x * 2 * 8 / fb.desc.width;
            plane[size_t(y) * fb.desc.pitches[1] + 2 * x] = uint8_t(64 + bar * 16);
            plane[size_t(y) * fb.desc.pitches[1] + 2 * x + 1] = uint8_t(192 - bar * 16);
        }
}

void paint_counter(VFb &fb, uint64_t value)
{
    static const uint8_t white[3] = {255, 255, 255};
    Rect area{kCounterX, kCounterY, kDigits * (kDigitW + kDigitGap), kDigitH};
    paint(fb, area, nullptr);
    for (int d = kDigits - 1; d >= 0; d--, value /= 10) {
        int x = kCounterX + d * (kDigitW + kDigitGap), y = kCounterY;
        uint8_t s = kDigitSegments[value % 10];
        const Rect seg[7] = {{x, y, kDigitW, kDigitT},
                             {x + kDigitW - kDigitT, y, kDigitT, kDigitH / 2},
                             {x + kDigitW - kDigitT, y + kDigitH / 2, kDigitT, kDigitH / 2},
                             {x, y + kDigitH - kDigitT, kDigitW, kDigitT},
                             {x, y + kDigitH / 2, kDigitT, kDigitH / 2},
                             {x, y, kDigitT, kDigitH / 2},
                             {x, y + kDigitH / 2 - kDigitT / 2, kDigitW, kDigitT}};
        for (int i = 0; i < 7; i++)
            if (s & (1 << i))
                paint(fb, seg[i], white);
    }
}

// One frame: only the square's old and new places and the counter change.
void draw_frame(VFb &fb, uint64_t counter)
{
    static const uint8_t square[3] = {255, 64, 192};
    paint(fb, Rect{fb.sq_x, fb.sq_y, fb.sq_size, fb.sq_size}, nullptr);
    paint_counter(fb, counter);
    int max_x = int(fb.desc.width) - fb.sq_size, max_y = int(fb.desc.height) - fb.sq_size;
    fb.sq_x += fb.sq_dx;
    fb.sq_y += fb.sq_dy;
    if (fb.sq_x < 0 || fb.sq_x > max_x) {
        fb.sq_dx = -fb.sq_dx;
        fb.sq_x = std::clamp(fb.sq_x, 0, std::max(max_x, 0));
    }
    if (fb.sq_y < 0 || fb.sq_y > max_y) {
        fb.sq_dy = -fb.sq_dy;
        fb.sq_y = std::clamp(fb.sq_y, 0, std::max(max_y, 0));
    }
    // The square goes last so that it stays visible over the counter on
    // small buffers.
    paint(fb, Rect{fb.sq_x, fb.sq_y, fb.sq_size, fb.sq_size}, square);
}

template <typename T> T *alloc_array(size_t n)
{
    return static_cast<T *>(calloc(std::max<size_t>(n, 1), sizeof(T)));
}

drmModeModeInfo make_mode(uint32_t w, uint32_t h, uint32_t hz)
{
    drmModeModeInfo m{};
    m.hdisplay = uint16_t(w);
    m.hsync_start = uint16_t(w + 48);
    m.hsync_end = uint16_t(w + 80);
    m.htotal = uint16_t(w + 160);
    m.vdisplay = uint16_t(h);
    m.vsync_start = uint16_t(h + 3);
    m.vsync_end = uint16_t(h + 8);
    m.vtotal = uint16_t(h + 41);
    m.clock = uint32_t(uint64_t(m.htotal) * m.vtotal * hz / 1000);
    m.vrefresh = hz;
    m.flags = DRM_MODE_FLAG_PHSYNC | DRM_MODE_FLAG_NVSYNC;
    m.type = DRM_MODE_TYPE_PREFERRED | DRM_MODE_TYPE_DRIVER;
    snprintf(m.name, sizeof(m.name), "%ux%u", w, h);
    return m;
}

}  // namespace

struct VirtualWorld {
    std::vector<std::unique_ptr<VDevice>> devices;
    std::mutex mutex;
    std::map<int, std::unique_ptr<OpenFile>> files;
    UniqueFD epoll;
    UniqueFD stop_event;
    std::thread clock;
    bool stopped = false;
    std::once_flag stop_once;

    OpenFile *file(int fd)
    {
        auto it = files.find(fd);
        return it == files.end() ? nullptr : it->second.get();
    }
    VCrtc *crtc(VDevice *d, uint32_t id)
    {
        for (auto &c : d->crtcs)
            if (c.desc.id == id)
                return &c;
        return nullptr;
    }
    VFb *fb(VDevice *d, uint32_t id)
    {
        for (auto &f : d->fbs)
            if (f->desc.id == id)
                return f.get();
        return nullptr;
    }

    void blank(VDevice *d, VCrtc *c, uint64_t expirations);
    void run_clock();
};

void VirtualWorld::blank(VDevice *d, VCrtc *c, uint64_t expirations)
{
    const uint64_t now_ns = monotonic_ns();
    uint64_t seq = 0;
    uint32_t fb_id = 0;
    VFb *draw = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        seq = c->seq + expirations;
        fb_id = c->fb_id;
        for (auto &f : d->desc.flips)
            if (f.crtc_id == c->desc.id && f.at_vblank > c->seq && f.at_vblank <= seq)
                fb_id = f.fb_id;
        draw = fb_id ? fb(d, fb_id) : nullptr;
    }
    // The picture is drawn first; the blank's count, time and flip then take
    // effect together with its events, as a flip has happened when a real
    // blank's event arrives. Only this thread draws or advances the count,
    // so the buffer needs no lock; readers of the exported descriptors see
    // it change in place, as on real hardware.
    if (draw)
        draw_frame(*draw, seq);
    std::lock_guard<std::mutex> lock(mutex);
    c->seq = seq;
    c->last_ns = now_ns;
    c->fb_id = fb_id;
    for (auto &entry : files) {
        const int fd = entry.first;
        auto &of = entry.second;  // not a structured binding: clang 14 cannot capture one in a lambda
        if (of->device != d)
            continue;
        size_t added = 0;
        auto due = [&](const Pending &p) {
            if (p.crtc_id != c->desc.id || p.target > seq)
                return false;
            of->done.push_back({seq, now_ns, p.user_data});
            added++;
            return true;
        };
        of->pending.erase(std::remove_if(of->pending.begin(), of->pending.end(), due), of->pending.end());
        if (added) {
            uint64_t one = 1;
            (void)!write(fd, &one, sizeof(one));
        }
    }
}

void VirtualWorld::run_clock()
{
    epoll_event events[8];
    for (;;) {
        int n = epoll_wait(epoll.get(), events, 8, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (int i = 0; i < n; i++) {
            uint64_t key = events[i].data.u64;
            if (key == kStopKey)
                return;
            VDevice *d = devices[key >> 32].get();
            VCrtc *c = &d->crtcs[key & 0xffffffff];
            uint64_t expirations = 0;
            if (read(c->timer.get(), &expirations, sizeof(expirations)) == sizeof(expirations) && expirations)
                blank(d, c, expirations);
        }
    }
}

VirtualWorld *vd_world_create(const Scenario &scenario)
{
    auto w = std::make_unique<VirtualWorld>();
    w->epoll.reset(epoll_create1(EPOLL_CLOEXEC));
    w->stop_event.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!w->epoll || !w->stop_event)
        return nullptr;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kStopKey;
    if (epoll_ctl(w->epoll.get(), EPOLL_CTL_ADD, w->stop_event.get(), &ev) != 0)
        return nullptr;

    for (size_t di = 0; di < scenario.devices.size(); di++) {
        auto d = std::make_unique<VDevice>();
        d->desc = scenario.devices[di];
        uint32_t handle = 1;
        for (auto &fdesc : d->desc.framebuffers) {
            auto f = std::make_unique<VFb>();
            f->desc = fdesc;
            f->handle = handle++;
            char name[32];
            snprintf(name, sizeof(name), "vistrel-fb-%u", fdesc.id);
            f->memfd.reset(memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING));
            if (!f->memfd || ftruncate(f->memfd.get(), off_t(fdesc.size)) != 0)
                return nullptr;
            // A client given a writable export must not be able to shrink the
            // buffer under the clock thread's mapping.
            fcntl(f->memfd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
            void *map = mmap(nullptr, fdesc.size, PROT_READ | PROT_WRITE, MAP_SHARED, f->memfd.get(), 0);
            if (map == MAP_FAILED)
                return nullptr;
            f->map = static_cast<uint8_t *>(map);
            f->sq_size = int(std::max<uint32_t>(1, std::min({160u, fdesc.width / 4, fdesc.height / 4})));
            f->sq_x = int(fdesc.width / 2);
            f->sq_y = int(fdesc.height / 2);
            paint(*f, Rect{0, 0, int(fdesc.width), int(fdesc.height)}, nullptr);
            if (fdesc.format == DRM_FORMAT_NV12)
                paint_chroma(*f);
            draw_frame(*f, 0);
            d->fbs.push_back(std::move(f));
        }
        d->crtcs.resize(d->desc.crtcs.size());
        for (size_t ci = 0; ci < d->crtcs.size(); ci++) {
            VCrtc &c = d->crtcs[ci];
            c.desc = d->desc.crtcs[ci];
            c.fb_id = c.desc.fb_id;
            c.last_ns = monotonic_ns();
            c.timer.reset(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
            if (!c.timer)
                return nullptr;
            long period = long(1000000000ull / c.desc.refresh);
            itimerspec blank_timer{};
            blank_timer.it_interval.tv_sec = period / 1000000000;
            blank_timer.it_interval.tv_nsec = period % 1000000000;
            blank_timer.it_value = blank_timer.it_interval;
            if (timerfd_settime(c.timer.get(), 0, &blank_timer, nullptr) != 0)
                return nullptr;
            epoll_event tev{};
            tev.events = EPOLLIN;
            tev.data.u64 = (uint64_t(di) << 32) | ci;
            if (epoll_ctl(w->epoll.get(), EPOLL_CTL_ADD, c.timer.get(), &tev) != 0)
                return nullptr;
        }
        w->devices.push_back(std::move(d));
    }
    VirtualWorld *raw = w.get();
    w->clock = std::thread([raw] { raw->run_clock(); });
    return w.release();
}

void vd_world_stop(VirtualWorld *w)
{
    std::call_once(w->stop_once, [w] {
        uint64_t one = 1;
        (void)!write(w->stop_event.get(), &one, sizeof(one));
        if (w->clock.joinable())
            w->clock.join();
        std::lock_guard<std::mutex> lock(w->mutex);
        w->stopped = true;
        // Wake any reader waiting for an event so that it sees the end.
        for (auto &[fd, of] : w->files)
            (void)!write(fd, &one, sizeof(one));
    });
}

void vd_world_destroy(VirtualWorld *w)
{
    if (!w)
        return;
    vd_world_stop(w);
    delete w;
}

int vd_device_open(VirtualWorld *w, const char *path)
{
    std::lock_guard<std::mutex> lock(w->mutex);
    if (w->stopped) {
        errno = ENODEV;
        return -1;
    }
    for (auto &d : w->devices) {
        if (d->desc.path != path)
            continue;
        auto of = std::make_unique<OpenFile>();
        of->device = d.get();
        of->event.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!of->event)
            return -1;
        int fd = of->event.get();
        w->files[fd] = std::move(of);
        return fd;
    }
    errno = ENODEV;
    return -1;
}

void vd_device_close(VirtualWorld *w, int fd)
{
    std::unique_ptr<OpenFile> gone;
    std::lock_guard<std::mutex> lock(w->mutex);
    auto it = w->files.find(fd);
    if (it != w->files.end()) {
        gone = std::move(it->second);
        w->files.erase(it);
    }
}

#define VD_DEVICE_OR(fail)                  \
    std::lock_guard<std::mutex> lock(w->mutex); \
    OpenFile *of = w->file(fd);             \
    if (!of || w->stopped) {                \
        errno = of ? EIO : EBADF;           \
        return fail;                        \
    }                                       \
    VDevice *d = of->device;

drmModeResPtr vd_get_resources(VirtualWorld *w, int fd)
{
    VD_DEVICE_OR(nullptr);
    auto *r = static_cast<drmModeResPtr>(calloc(1, sizeof(drmModeRes)));
    if (!r)
        return nullptr;
    r->count_crtcs = int(d->crtcs.size());
    r->count_encoders = int(d->desc.encoders.size());
    r->count_connectors = int(d->desc.connectors.size());
    r->fbs = alloc_array<uint32_t>(0);
    r->crtcs = alloc_array<uint32_t>(d->crtcs.size());
    r->encoders = alloc_array<uint32_t>(d->desc.encoders.size());
    r->connectors = alloc_array<uint32_t>(d->desc.connectors.size());
    if (!r->fbs || !r->crtcs || !r->encoders || !r->connectors) {
        vd_free_resources(r);
        errno = ENOMEM;
        return nullptr;
    }
    for (size_t i = 0; i < d->crtcs.size(); i++)
        r->crtcs[i] = d->crtcs[i].desc.id;
    for (size_t i = 0; i < d->desc.encoders.size(); i++)
        r->encoders[i] = d->desc.encoders[i].id;
    for (size_t i = 0; i < d->desc.connectors.size(); i++)
        r->connectors[i] = d->desc.connectors[i].id;
    r->min_width = r->min_height = 1;
    r->max_width = r->max_height = 16384;
    return r;
}

drmModeConnectorPtr vd_get_connector(VirtualWorld *w, int fd, uint32_t connector_id)
{
    VD_DEVICE_OR(nullptr);
    for (auto &c : d->desc.connectors) {
        if (c.id != connector_id)
            continue;
        auto *r = static_cast<drmModeConnectorPtr>(calloc(1, sizeof(drmModeConnector)));
        if (!r)
            return nullptr;
        r->connector_id = c.id;
        r->connector_type = c.type;
        r->connector_type_id = c.type_id;
        r->connection = c.connected ? DRM_MODE_CONNECTED : DRM_MODE_DISCONNECTED;
        r->subpixel = DRM_MODE_SUBPIXEL_UNKNOWN;
        r->count_encoders = int(c.encoder_ids.size());
        r->encoders = alloc_array<uint32_t>(c.encoder_ids.size());
        r->props = alloc_array<uint32_t>(0);
        r->prop_values = alloc_array<uint64_t>(0);
        r->modes = alloc_array<drmModeModeInfo>(1);
        if (!r->encoders || !r->props || !r->prop_values || !r->modes) {
            vd_free_connector(r);
            errno = ENOMEM;
            return nullptr;
        }
        for (size_t i = 0; i < c.encoder_ids.size(); i++) {
            r->encoders[i] = c.encoder_ids[i];
            for (auto &e : d->desc.encoders)
                if (e.id == c.encoder_ids[i] && e.crtc_id && !r->encoder_id) {
                    r->encoder_id = e.id;
                    VCrtc *crtc = w->crtc(d, e.crtc_id);
                    r->modes[0] = make_mode(crtc->desc.width, crtc->desc.height, crtc->desc.refresh);
                }
        }
        if (c.connected) {
            if (!r->encoder_id)
                r->modes[0] = make_mode(1920, 1080, 60);
            r->count_modes = 1;
            r->mmWidth = r->modes[0].hdisplay * 254 / 1000;
            r->mmHeight = r->modes[0].vdisplay * 254 / 1000;
        }
        return r;
    }
    errno = ENOENT;
    return nullptr;
}

drmModeEncoderPtr vd_get_encoder(VirtualWorld *w, int fd, uint32_t encoder_id)
{
    VD_DEVICE_OR(nullptr);
    for (auto &e : d->desc.encoders) {
        if (e.id != encoder_id)
            continue;
        auto *r = static_cast<drmModeEncoderPtr>(calloc(1, sizeof(drmModeEncoder)));
        if (!r)
            return nullptr;
        r->encoder_id = e.id;
        r->encoder_type = DRM_MODE_ENCODER_TMDS;
        r->crtc_id = e.crtc_id;
        r->possible_crtcs = uint32_t((1ull << d->crtcs.size()) - 1);
        return r;
    }
    errno = ENOENT;
    return nullptr;
}

drmModeCrtcPtr vd_get_crtc(VirtualWorld *w, int fd, uint32_t crtc_id)
{
    VD_DEVICE_OR(nullptr);
    VCrtc *c = w->crtc(d, crtc_id);
    if (!c) {
        errno = ENOENT;
        return nullptr;
    }
    auto *r = static_cast<drmModeCrtcPtr>(calloc(1, sizeof(drmModeCrtc)));
    if (!r)
        return nullptr;
    r->crtc_id = c->desc.id;
    r->buffer_id = c->fb_id;
    r->width = c->desc.width;
    r->height = c->desc.height;
    r->mode_valid = 1;
    r->mode = make_mode(c->desc.width, c->desc.height, c->desc.refresh);
    r->gamma_size = 256;
    return r;
}

drmModeFB2Ptr vd_get_fb2(VirtualWorld *w, int fd, uint32_t fb_id)
{
    VD_DEVICE_OR(nullptr);
    if (!d->desc.multi_plane_query) {
        errno = EINVAL;
        return nullptr;
    }
    VFb *f = w->fb(d, fb_id);
    if (!f) {
        errno = ENOENT;
        return nullptr;
    }
    auto *r = static_cast<drmModeFB2Ptr>(calloc(1, sizeof(drmModeFB2)));
    if (!r)
        return nullptr;
    r->fb_id = f->desc.id;
    r->width = f->desc.width;
    r->height = f->desc.height;
    r->pixel_format = f->desc.format;
    r->modifier = f->desc.modifier;
    r->flags = DRM_MODE_FB_MODIFIERS;
    for (int i = 0; i < f->desc.plane_count; i++) {
        r->handles[i] = d->desc.handles ? f->handle : 0;
        r->pitches[i] = f->desc.pitches[i];
        r->offsets[i] = f->desc.offsets[i];
    }
    return r;
}

drmModeFBPtr vd_get_fb(VirtualWorld *w, int fd, uint32_t fb_id)
{
    VD_DEVICE_OR(nullptr);
    VFb *f = w->fb(d, fb_id);
    if (!f) {
        errno = ENOENT;
        return nullptr;
    }
    // The single-plane query refuses multi-plane framebuffers.
    if (f->desc.plane_count != 1) {
        errno = EINVAL;
        return nullptr;
    }
    auto *r = static_cast<drmModeFBPtr>(calloc(1, sizeof(drmModeFB)));
    if (!r)
        return nullptr;
    r->fb_id = f->desc.id;
    r->width = f->desc.width;
    r->height = f->desc.height;
    r->pitch = f->desc.pitches[0];
    r->bpp = 32;
    r->depth = f->desc.format == DRM_FORMAT_ARGB8888 ? 32 : 24;
    r->handle = d->desc.handles ? f->handle : 0;
    return r;
}

void vd_free_resources(drmModeResPtr r)
{
    if (!r)
        return;
    free(r->fbs);
    free(r->crtcs);
    free(r->encoders);
    free(r->connectors);
    free(r);
}

void vd_free_connector(drmModeConnectorPtr r)
{
    if (!r)
        return;
    free(r->encoders);
    free(r->props);
    free(r->prop_values);
    free(r->modes);
    free(r);
}

void vd_free_encoder(drmModeEncoderPtr r) { free(r); }
void vd_free_crtc(drmModeCrtcPtr r) { free(r); }
void vd_free_fb2(drmModeFB2Ptr r) { free(r); }
void vd_free_fb(drmModeFBPtr r) { free(r); }

int vd_prime_handle_to_fd(VirtualWorld *w, int fd, uint32_t handle, uint32_t flags, int *prime_fd)
{
    VD_DEVICE_OR(-1);
    if (flags & ~uint32_t(DRM_CLOEXEC | DRM_RDWR)) {
        errno = EINVAL;
        return -1;
    }
    for (auto &f : d->fbs) {
        if (handle == 0 || f->handle != handle)
            continue;
        // A new open file of the same memory on every export.
        char proc[64];
        snprintf(proc, sizeof(proc), "/proc/self/fd/%d", f->memfd.get());
        int mode = (flags & DRM_RDWR) ? O_RDWR : O_RDONLY;
        int out = open(proc, mode | ((flags & DRM_CLOEXEC) ? O_CLOEXEC : 0));
        if (out < 0)
            return -1;
        *prime_fd = out;
        return 0;
    }
    errno = ENOENT;
    return -1;
}

int vd_crtc_queue_sequence(VirtualWorld *w, int fd, uint32_t crtc_id, uint32_t flags, uint64_t sequence,
                           uint64_t *sequence_queued, uint64_t user_data)
{
    VD_DEVICE_OR(-1);
    if (flags & ~uint32_t(DRM_CRTC_SEQUENCE_RELATIVE | DRM_CRTC_SEQUENCE_NEXT_ON_MISS)) {
        errno = EINVAL;
        return -1;
    }
    VCrtc *c = w->crtc(d, crtc_id);
    if (!c) {
        errno = ENOENT;
        return -1;
    }
    if (of->pending.size() + of->done.size() >= kMaxOutstandingEvents) {
        errno = ENOMEM;
        return -1;
    }
    uint64_t seq = c->seq;
    uint64_t target = (flags & DRM_CRTC_SEQUENCE_RELATIVE) ? seq + sequence : sequence;
    if ((flags & DRM_CRTC_SEQUENCE_NEXT_ON_MISS) && target <= seq)
        target = seq + 1;
    if (target <= seq) {
        // Already passed: completes at once with the current count.
        of->done.push_back({seq, c->last_ns, user_data});
        uint64_t one = 1;
        (void)!write(fd, &one, sizeof(one));
        target = seq;
    } else {
        of->pending.push_back({crtc_id, target, user_data});
    }
    if (sequence_queued)
        *sequence_queued = target;
    return 0;
}

int vd_handle_event(VirtualWorld *w, int fd, drmEventContextPtr context)
{
    std::vector<Completion> done;
    for (;;) {
        {
            VD_DEVICE_OR(-1);
            (void)d;
            uint64_t count = 0;
            (void)!read(fd, &count, sizeof(count));
            done.swap(of->done);
        }
        if (!done.empty())
            break;
        // Nothing pending: wait as a read of a real device would.
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, -1) < 0 && errno != EINTR)
            return -1;
    }
    if (context && context->version >= 4 && context->sequence_handler)
        for (auto &c : done)
            context->sequence_handler(fd, c.sequence, c.ns, c.user_data);
    return 0;
}
