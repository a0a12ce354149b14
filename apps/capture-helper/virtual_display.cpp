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
#include <tuple>
#include <vector>

#include "libs/common/unique_fd.h"

namespace {

// The kernel refuses new events once a file has this many outstanding.
constexpr size_t kMaxOutstandingEvents = 128;
constexpr uint64_t kStopKey = ~0ull;

uint64_t clock_ns(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

uint64_t monotonic_ns()
{
    return clock_ns(CLOCK_MONOTONIC);
}

struct Rect {
    int x, y, w, h;
};

struct VFb {
    ScenarioFramebuffer desc;
    uint32_t handle = 0;
    UniqueFD memfd;
    uint8_t *map = nullptr;
    int sq_size = 1;
    Rect square{0, 0, 0, 0};  // where the square was last drawn
    ~VFb()
    {
        if (map)
            munmap(map, desc.size);
    }
};

// What a CRTC scans out: its mode and the buffer on screen (0 = dark).
struct Screen {
    uint32_t width = 0, height = 0, refresh = 0;
    uint32_t fb_id = 0;
};

// The CRTC's statements in the order they act: by blank, and at one blank
// a renewal first, then a mode change, then a rotation's start, then a flip.
struct Change {
    enum Kind {
        Renew = 0,
        Mode = 1,
        Rotation = 2,
        Flip = 3
    };
    uint64_t at;
    Kind kind;
    size_t index;  // into the device's list of that kind
};

// The CRTC's page flipping, advanced by the clock thread alone.
struct Schedule {
    std::vector<Change> changes;
    size_t next = 0;
    const ScenarioPageflip *rotation = nullptr;
    size_t position = 0;  // of the rotation's buffer on screen (or last on screen)
};

// The CRTC's cursor plane, when its scenario gives it one.
struct VCursor {
    const ScenarioCursor *desc = nullptr;  // null: no cursor plane
    uint32_t plane_id = 0;
    uint32_t fb_ids[2] = {};  // the two images it flips between when renewed
    int current = 0;          // index of the image on the plane
    // What the plane shows after the last blank (written under the world's
    // mutex by the clock thread only).
    uint32_t fb_id = 0;  // 0: hidden
    int32_t x = 0, y = 0;
};

struct VCrtc {
    ScenarioCrtc desc;
    Screen screen;  // written under the world's mutex by the clock thread only
    uint64_t seq = 0;
    uint64_t last_ns = 0;       // CLOCK_MONOTONIC of the last blank
    uint64_t last_wall_ns = 0;  // CLOCK_REALTIME of the last blank
    Schedule schedule;
    UniqueFD timer;
    uint32_t plane_id = 0;  // its primary plane
    VCursor cursor;
};

struct VDevice {
    ScenarioDevice desc;
    std::vector<std::unique_ptr<VFb>> fbs;
    std::vector<VCrtc> crtcs;
    uint32_t next_handle = 1;
    uint32_t type_property_id = 0;  // the planes' "type" property
    // The atomic plane properties (listed for files with the atomic capability).
    uint32_t fb_property_id = 0, crtc_property_id = 0, x_property_id = 0, y_property_id = 0, w_property_id = 0,
             h_property_id = 0;
};

struct Pending {
    uint32_t crtc_id;
    uint64_t target;
    uint64_t user_data;
};

struct Completion {
    uint64_t sequence;
    uint64_t ns;
    uint64_t wall_ns;
    uint64_t user_data;
};

struct OpenFile {
    VDevice *device = nullptr;
    UniqueFD event;
    std::vector<Pending> pending;
    std::vector<Completion> done;
    uint64_t delivering_wall_ns = 0;  // of the completion whose handler runs
    uint64_t delivering_seq = 0;      // its blank (while delivering_wall_ns is set)
    bool universal_planes = false;
    bool atomic = false;
};

// ---- drawing ---------------------------------------------------------------

const uint8_t kBars[8][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                             {235, 16, 235},  {235, 16, 16},  {16, 16, 235},  {128, 128, 128}};
const uint8_t kDigitSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};
// Seven-segment digits, white on a black backdrop, in the bottom-left
// corner where no watermark of the capture side lands: the blank number
// (kCounterDigits) with its first cell's top-left at (16, H-96), and above
// it the blank's wall-clock milliseconds (kStampDigits) at (16, H-192).
constexpr int kDigitW = 48, kDigitH = 80, kDigitT = 10, kDigitGap = 14, kDigitX = 16, kCounterDigits = 6,
              kCounterRise = 96, kStampDigits = 13, kStampRise = 192, kBackdropMargin = 8;
// The square keeps above this many rows from the bottom (the digits' band).
constexpr int kDigitBand = 200;

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

// `digits` decimal digits of value (the lowest ones), the first cell's
// top-left at (kDigitX, y), on a black box reaching kBackdropMargin around
// the cells.
void paint_digits(VFb &fb, uint64_t value, int digits, int y)
{
    static const uint8_t white[3] = {255, 255, 255}, black[3] = {0, 0, 0};
    const int pitch = kDigitW + kDigitGap;
    paint(fb,
          Rect{kDigitX - kBackdropMargin, y - kBackdropMargin, digits * pitch - kDigitGap + 2 * kBackdropMargin,
               kDigitH + 2 * kBackdropMargin},
          black);
    for (int d = digits - 1; d >= 0; d--, value /= 10) {
        int x = kDigitX + d * pitch;
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

// Position v on a path bouncing between 0 and range.
int bounce(uint64_t v, int range)
{
    if (range <= 0)
        return 0;
    const uint64_t period = 2 * uint64_t(range), m = v % period;
    return int(m <= uint64_t(range) ? m : period - m);
}

// The square at blank t: it moves 7 pixels right and 5 down a blank and
// bounces off the edges and the digits' band, so every buffer of a CRTC
// shows it where that blank puts it. A buffer too low for the band lets it
// use the whole height.
Rect square_at(const VFb &fb, uint64_t t)
{
    const int w = int(fb.desc.width), h = int(fb.desc.height), size = fb.sq_size;
    const int range_x = std::max(w - size, 0);
    const int range_y = h - kDigitBand - size >= 0 ? h - kDigitBand - size : std::max(h - size, 0);
    return Rect{bounce(uint64_t(w / 2) + 7 * t, range_x), bounce(uint64_t(std::min(h / 2, range_y)) + 5 * t, range_y),
                size, size};
}

// The picture of blank `counter`: the square moves, the digits show the
// blank and its wall-clock milliseconds; the rest stays as it is.
void draw_frame(VFb &fb, uint64_t counter, uint64_t wall_ms)
{
    static const uint8_t square[3] = {255, 64, 192};
    paint(fb, fb.square, nullptr);
    const int h = int(fb.desc.height);
    paint_digits(fb, wall_ms, kStampDigits, h - kStampRise);
    paint_digits(fb, counter, kCounterDigits, h - kCounterRise);
    // The square goes last so that it stays visible over the digits on
    // small buffers.
    fb.square = square_at(fb, counter);
    paint(fb, fb.square, square);
}

template <typename T>
T *alloc_array(size_t n)
{
    return static_cast<T *>(calloc(std::max<size_t>(n, 1), sizeof(T)));
}

// Frees a record made by alloc_array and the arrays it points to (made the
// same way); a null record frees nothing.
template <typename Record, typename... Arrays>
void free_with_arrays(Record *r, Arrays Record::*...arrays)
{
    if (r)
        (free(r->*arrays), ...);
    free(r);
}

// The object an id named, or null with errno ENOENT.
template <typename T>
T *known(T *object)
{
    if (!object)
        errno = ENOENT;
    return object;
}

// The element of a scenario list with the id, or null.
template <typename List>
auto *find_id(List &list, uint32_t id)
{
    for (auto &item : list)
        if (item.id == id)
            return &item;
    return static_cast<decltype(&*list.begin())>(nullptr);
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

// The cursor image, premultiplied ARGB8888: an opaque pure green 16x16
// square at the top-left, a 4 pixel band of 50% white around it (its right
// and bottom, inside the image), the rest transparent.
constexpr int kCursorSquare = 16, kCursorBorder = 4;

void paint_cursor(VFb &fb, uint32_t square = 0xFF00FF00u)
{
    for (uint32_t y = 0; y < fb.desc.height; y++) {
        uint32_t *row = reinterpret_cast<uint32_t *>(fb.map + size_t(y) * fb.desc.pitches[0]);
        for (uint32_t x = 0; x < fb.desc.width; x++) {
            uint32_t pixel = 0;
            if (x < uint32_t(kCursorSquare) && y < uint32_t(kCursorSquare))
                pixel = square;
            else if (x < uint32_t(kCursorSquare + kCursorBorder) && y < uint32_t(kCursorSquare + kCursorBorder))
                pixel = 0x80808080u;
            row[x] = pixel;
        }
    }
}

// Position on a path from v0 moving by dv a blank, bouncing between 0 and
// range; a cursor that does not move stays where it was put, on or off the
// picture.
int32_t cursor_path(int32_t v0, int32_t dv, uint64_t blank, int32_t range)
{
    if (dv == 0)
        return v0;
    if (range <= 0)
        return 0;
    const int64_t period = 2 * int64_t(range);
    int64_t m = (int64_t(v0) + int64_t(dv) * int64_t(blank % uint64_t(period))) % period;
    if (m < 0)
        m += period;
    return int32_t(m <= range ? m : period - m);
}

bool cursor_visible(const ScenarioCursor &c, uint64_t blank)
{
    // Hidden from the start when the first statement is a show; then the
    // latest statement that has acted decides (a show on the hide's blank wins).
    const bool hid = c.hides && blank >= c.hide_at, showed = c.shows && blank >= c.show_at;
    if (hid && showed)
        return c.show_at >= c.hide_at;
    if (hid || showed)
        return showed;
    return !(c.shows && (!c.hides || c.show_at < c.hide_at));
}

// A framebuffer's memory: a sealed memfd, mapped, painted with the pattern
// and the picture of blank 0 (a cursor image with its picture). nullptr with
// errno set.
std::unique_ptr<VFb> make_buffer(const ScenarioFramebuffer &fdesc, uint32_t handle, uint64_t wall_ns,
                                 bool cursor = false)
{
    auto f = std::make_unique<VFb>();
    f->desc = fdesc;
    f->handle = handle;
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
    if (cursor) {
        paint_cursor(*f);
        return f;
    }
    paint(*f, Rect{0, 0, int(fdesc.width), int(fdesc.height)}, nullptr);
    if (fdesc.format == DRM_FORMAT_NV12)
        paint_chroma(*f);
    draw_frame(*f, 0, wall_ns / 1000000);
    return f;
}

// A second framebuffer over the memory of shown, described as desc (the
// same size and format): the export of either is the same memory. nullptr
// with errno set.
std::unique_ptr<VFb> alias_buffer(const VFb &shown, const ScenarioFramebuffer &desc, uint32_t handle)
{
    auto f = std::make_unique<VFb>();
    f->desc = desc;
    f->handle = handle;
    f->sq_size = shown.sq_size;
    f->memfd.reset(fcntl(shown.memfd.get(), F_DUPFD_CLOEXEC, 0));
    if (!f->memfd)
        return nullptr;
    void *map = mmap(nullptr, desc.size, PROT_READ | PROT_WRITE, MAP_SHARED, f->memfd.get(), 0);
    if (map == MAP_FAILED)
        return nullptr;
    f->map = static_cast<uint8_t *>(map);
    return f;
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

namespace {

// Applies the CRTC's statements due at blank b; the framebuffers to renew
// are added to *renewed. True when any statement acted.
bool apply_due(const ScenarioDevice &desc, Schedule *s, uint64_t b, Screen *screen, std::vector<uint32_t> *renewed)
{
    bool any = false;
    for (; s->next < s->changes.size() && s->changes[s->next].at <= b; s->next++) {
        const Change &ch = s->changes[s->next];
        if (ch.kind == Change::Renew) {
            renewed->push_back(desc.renewals[ch.index].fb_id);
            continue;
        }
        any = true;
        if (ch.kind == Change::Mode) {
            const ScenarioModeChange &m = desc.modes[ch.index];
            *screen = Screen{m.width, m.height, m.refresh, m.fb_id};
            s->rotation = nullptr;
        } else if (ch.kind == Change::Rotation) {
            s->rotation = &desc.pageflips[ch.index];
            s->position = 0;
            screen->fb_id = s->rotation->fb_ids[0];
        } else {
            screen->fb_id = desc.flips[ch.index].fb_id;
            // A rotation goes on from the buffer flipped to, when it has it.
            if (s->rotation && screen->fb_id) {
                auto &ids = s->rotation->fb_ids;
                auto it = std::find(ids.begin(), ids.end(), screen->fb_id);
                if (it != ids.end())
                    s->position = size_t(it - ids.begin());
            }
        }
    }
    return any;
}

// Moves the CRTC's schedule to blank b: the rotation's flip (none while
// dark), then the statements. True when a buffer was flipped to.
bool advance(const ScenarioDevice &desc, Schedule *s, uint64_t b, Screen *screen, std::vector<uint32_t> *renewed)
{
    bool flipped = false;
    const ScenarioPageflip *r = s->rotation;
    if (r && screen->fb_id && b > r->from_vblank && (b - r->from_vblank) % r->every == 0) {
        s->position = (s->position + 1) % r->fb_ids.size();
        screen->fb_id = r->fb_ids[s->position];
        flipped = true;
    }
    return apply_due(desc, s, b, screen, renewed) || flipped;
}

// The cursor plane at blank b on a screen: its image (0 hidden) and place.
void cursor_at(const VCursor &k, const Screen &screen, uint64_t b, uint32_t *fb_id, int32_t *x, int32_t *y)
{
    const ScenarioCursor &c = *k.desc;
    *fb_id = cursor_visible(c, b) ? k.fb_ids[k.current] : 0;
    *x = cursor_path(c.x, c.dx, b, int32_t(screen.width) - int32_t(c.width));
    *y = cursor_path(c.y, c.dy, b, int32_t(screen.height) - int32_t(c.height));
}

// The cursor plane as a query on a file sees it: inside a sequence handler,
// at the blank being delivered (as the blank's time is), so a reader that
// runs late still reads that blank's place; elsewhere, now.
void cursor_seen(const OpenFile &of, const VCrtc &c, uint32_t *fb_id, int32_t *x, int32_t *y)
{
    *fb_id = c.cursor.fb_id;
    *x = c.cursor.x;
    *y = c.cursor.y;
    if (of.delivering_wall_ns && of.delivering_seq < c.seq) {
        cursor_at(c.cursor, c.screen, of.delivering_seq, fb_id, x, y);
    }
}

int set_blank_timer(int timer, uint32_t refresh)
{
    long period = long(1000000000ull / refresh);
    itimerspec blank_timer{};
    blank_timer.it_interval.tv_sec = period / 1000000000;
    blank_timer.it_interval.tv_nsec = period % 1000000000;
    blank_timer.it_value = blank_timer.it_interval;
    return timerfd_settime(timer, 0, &blank_timer, nullptr);
}

// How long ago the timer's latest expiration was: the blank happened then,
// however late this thread woke up for it, and a display controller stamps
// a blank with the time it happened.
uint64_t blank_lateness_ns(int timer, uint32_t refresh)
{
    const uint64_t period = 1000000000ull / refresh;
    itimerspec left{};
    if (timerfd_gettime(timer, &left) != 0)
        return 0;
    const uint64_t to_next = uint64_t(left.it_value.tv_sec) * 1000000000ull + uint64_t(left.it_value.tv_nsec);
    return to_next < period ? period - to_next : 0;
}

}  // namespace

void VirtualWorld::blank(VDevice *d, VCrtc *c, uint64_t expirations)
{
    const uint64_t late_ns = blank_lateness_ns(c->timer.get(), c->screen.refresh);
    const uint64_t now_ns = monotonic_ns() - late_ns, wall_ns = clock_ns(CLOCK_REALTIME) - late_ns;
    // Only this thread changes the count, the screen and the schedule, so
    // it reads them without the lock; readers take the lock.
    const uint64_t seq = c->seq + expirations;
    Screen next = c->screen;
    bool flipped = false;
    std::vector<uint32_t> renewed;
    for (uint64_t b = c->seq + 1; b <= seq; b++)
        flipped |= advance(d->desc, &c->schedule, b, &next, &renewed);
    // A renewed id names new memory from this blank on; whoever holds an
    // export of the old memory keeps it. Exports read the memfd under the
    // lock, so the swap takes it.
    for (uint32_t id : renewed) {
        VFb *old = fb(d, id);
        std::unique_ptr<VFb> fresh = make_buffer(old->desc, d->next_handle, wall_ns);
        if (!fresh) {
            perror("[Virtual Display] cannot renew a framebuffer");
            continue;
        }
        d->next_handle++;
        std::lock_guard<std::mutex> lock(mutex);
        for (auto &slot : d->fbs)
            if (slot.get() == old)
                slot = std::move(fresh);
        flipped |= next.fb_id == id;
    }
    // A buffer is drawn just before it goes on screen. One that stays on
    // screen is redrawn in place, as a compositor with a single scanout
    // buffer draws, unless the CRTC flips between buffers: then it is left
    // alone until the next flip.
    VFb *draw = nullptr;
    if (next.fb_id && (flipped || !c->schedule.rotation))
        draw = fb(d, next.fb_id);
    // The picture is drawn first; the blank's count, time and screen then
    // take effect together with its events, as a flip has happened when a
    // real blank's event arrives. Only this thread draws, so the buffer
    // needs no lock; readers of the exported descriptors see a buffer that
    // stays on screen change in place, as on real hardware.
    if (draw)
        draw_frame(*draw, seq, wall_ns / 1000000);
    // A cursor due for a new image flips to its other id, which names fresh
    // memory from now on (as a compositor uploading a new image does).
    std::unique_ptr<VFb> cursor_image;
    VCursor &k = c->cursor;
    int cursor_index = k.current;
    if (k.desc && k.desc->renew_every && seq / k.desc->renew_every != c->seq / k.desc->renew_every) {
        cursor_index = 1 - k.current;
        VFb *old = fb(d, k.fb_ids[cursor_index]);
        cursor_image = make_buffer(old->desc, d->next_handle, wall_ns, true);
        if (cursor_image)
            d->next_handle++;
        else
            perror("[Virtual Display] cannot renew a cursor image");
    } else if (k.desc && k.desc->redraw_every && seq / k.desc->redraw_every != c->seq / k.desc->redraw_every) {
        // The image on the plane is drawn again where it is and set again:
        // the other id now names the same memory.
        cursor_index = 1 - k.current;
        const VFb *shown = fb(d, k.fb_ids[k.current]);
        cursor_image = alias_buffer(*shown, fb(d, k.fb_ids[cursor_index])->desc, d->next_handle);
        if (cursor_image) {
            d->next_handle++;
            paint_cursor(*cursor_image, (seq / k.desc->redraw_every) % 2 ? 0xFFFF0000u : 0xFF00FF00u);
        } else {
            perror("[Virtual Display] cannot redraw the cursor image");
        }
    }
    const bool new_rate = next.refresh != c->screen.refresh;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (cursor_image) {
            const uint32_t id = cursor_image->desc.id;
            for (auto &slot : d->fbs)
                if (slot->desc.id == id)
                    slot = std::move(cursor_image);
            k.current = cursor_index;
        }
        if (k.desc)
            cursor_at(k, next, seq, &k.fb_id, &k.x, &k.y);
        c->seq = seq;
        c->last_ns = now_ns;
        c->last_wall_ns = wall_ns;
        c->screen = next;
        for (auto &entry : files) {
            const int fd = entry.first;
            auto &of = entry.second;  // not a structured binding: clang 14 cannot capture one in a lambda
            if (of->device != d)
                continue;
            size_t added = 0;
            auto due = [&](const Pending &p) {
                if (p.crtc_id != c->desc.id || p.target > seq)
                    return false;
                of->done.push_back({seq, now_ns, wall_ns, p.user_data});
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
    // The next blank comes one period of the new mode after this one.
    if (new_rate && set_blank_timer(c->timer.get(), next.refresh) != 0)
        perror("[Virtual Display] timerfd_settime");
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

    const uint64_t start_wall_ns = clock_ns(CLOCK_REALTIME);
    for (size_t di = 0; di < scenario.devices.size(); di++) {
        auto d = std::make_unique<VDevice>();
        d->desc = scenario.devices[di];
        for (auto &fdesc : d->desc.framebuffers) {
            auto f = make_buffer(fdesc, d->next_handle++, start_wall_ns);
            if (!f)
                return nullptr;
            d->fbs.push_back(std::move(f));
        }
        d->crtcs.resize(d->desc.crtcs.size());
        for (size_t ci = 0; ci < d->crtcs.size(); ci++) {
            VCrtc &c = d->crtcs[ci];
            c.desc = d->desc.crtcs[ci];
            c.screen = Screen{c.desc.width, c.desc.height, c.desc.refresh, c.desc.fb_id};
            Schedule &sc = c.schedule;
            for (size_t i = 0; i < d->desc.modes.size(); i++)
                if (d->desc.modes[i].crtc_id == c.desc.id)
                    sc.changes.push_back({d->desc.modes[i].at_vblank, Change::Mode, i});
            for (size_t i = 0; i < d->desc.pageflips.size(); i++)
                if (d->desc.pageflips[i].crtc_id == c.desc.id)
                    sc.changes.push_back({d->desc.pageflips[i].from_vblank, Change::Rotation, i});
            for (size_t i = 0; i < d->desc.flips.size(); i++)
                if (d->desc.flips[i].crtc_id == c.desc.id)
                    sc.changes.push_back({d->desc.flips[i].at_vblank, Change::Flip, i});
            for (size_t i = 0; i < d->desc.renewals.size(); i++)
                if (d->desc.renewals[i].crtc_id == c.desc.id)
                    sc.changes.push_back({d->desc.renewals[i].at_vblank, Change::Renew, i});
            std::sort(sc.changes.begin(), sc.changes.end(), [](const Change &a, const Change &b) {
                return std::tie(a.at, a.kind, a.index) < std::tie(b.at, b.kind, b.index);
            });
            std::vector<uint32_t> at_start;  // a renewal at blank 0 has nothing to replace
            apply_due(d->desc, &sc, 0, &c.screen, &at_start);
            c.last_ns = monotonic_ns();
            c.last_wall_ns = start_wall_ns;
            c.timer.reset(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
            if (!c.timer || set_blank_timer(c.timer.get(), c.screen.refresh) != 0)
                return nullptr;
            epoll_event tev{};
            tev.events = EPOLLIN;
            tev.data.u64 = (uint64_t(di) << 32) | ci;
            if (epoll_ctl(w->epoll.get(), EPOLL_CTL_ADD, c.timer.get(), &tev) != 0)
                return nullptr;
        }
        // The planes and their property take ids after every scenario id.
        uint32_t top = 0;
        for (auto &f : d->desc.framebuffers)
            top = std::max(top, f.id);
        for (auto &c : d->desc.crtcs)
            top = std::max(top, c.id);
        for (auto &e : d->desc.encoders)
            top = std::max(top, e.id);
        for (auto &c : d->desc.connectors)
            top = std::max(top, c.id);
        for (auto &c : d->crtcs)
            c.plane_id = ++top;
        d->type_property_id = ++top;
        // Cursor planes, their two images each and the atomic properties
        // come after those.
        for (auto &c : d->crtcs) {
            for (auto &cd : d->desc.cursors)
                if (cd.crtc_id == c.desc.id)
                    c.cursor.desc = &cd;
            if (!c.cursor.desc)
                continue;
            c.cursor.plane_id = ++top;
            for (uint32_t &id : c.cursor.fb_ids) {
                ScenarioFramebuffer image;
                image.id = id = ++top;
                image.width = c.cursor.desc->width;
                image.height = c.cursor.desc->height;
                image.format = DRM_FORMAT_ARGB8888;
                image.plane_count = 1;
                image.pitches[0] = image.width * 4;
                image.size = uint64_t(image.pitches[0]) * image.height;
                auto f = make_buffer(image, d->next_handle++, start_wall_ns, true);
                if (!f)
                    return nullptr;
                d->fbs.push_back(std::move(f));
            }
            cursor_at(c.cursor, c.screen, 0, &c.cursor.fb_id, &c.cursor.x, &c.cursor.y);
        }
        d->fb_property_id = ++top;
        d->crtc_property_id = ++top;
        d->x_property_id = ++top;
        d->y_property_id = ++top;
        d->w_property_id = ++top;
        d->h_property_id = ++top;
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

#define VD_DEVICE_OR(fail)                                                                                             \
    std::lock_guard<std::mutex> lock(w->mutex);                                                                        \
    OpenFile *of = w->file(fd);                                                                                        \
    if (!of || w->stopped) {                                                                                           \
        errno = of ? EIO : EBADF;                                                                                      \
        return fail;                                                                                                   \
    }                                                                                                                  \
    VDevice *d = of->device;

drmModeResPtr vd_get_resources(VirtualWorld *w, int fd)
{
    VD_DEVICE_OR(nullptr);
    auto *r = alloc_array<drmModeRes>(1);
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
        vd_free(r);
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
    const auto *c = known(find_id(d->desc.connectors, connector_id));
    auto *r = c ? alloc_array<drmModeConnector>(1) : nullptr;
    if (!r)
        return nullptr;
    r->connector_id = c->id;
    r->connector_type = c->type;
    r->connector_type_id = c->type_id;
    r->connection = c->connected ? DRM_MODE_CONNECTED : DRM_MODE_DISCONNECTED;
    r->subpixel = DRM_MODE_SUBPIXEL_UNKNOWN;
    r->count_encoders = int(c->encoder_ids.size());
    r->encoders = alloc_array<uint32_t>(c->encoder_ids.size());
    r->props = alloc_array<uint32_t>(0);
    r->prop_values = alloc_array<uint64_t>(0);
    r->modes = alloc_array<drmModeModeInfo>(1);
    if (!r->encoders || !r->props || !r->prop_values || !r->modes) {
        vd_free(r);
        errno = ENOMEM;
        return nullptr;
    }
    for (size_t i = 0; i < c->encoder_ids.size(); i++) {
        r->encoders[i] = c->encoder_ids[i];
        for (auto &e : d->desc.encoders)
            if (e.id == c->encoder_ids[i] && e.crtc_id && !r->encoder_id) {
                r->encoder_id = e.id;
                const Screen &screen = w->crtc(d, e.crtc_id)->screen;
                r->modes[0] = make_mode(screen.width, screen.height, screen.refresh);
            }
    }
    if (c->connected) {
        if (!r->encoder_id)
            r->modes[0] = make_mode(1920, 1080, 60);
        r->count_modes = 1;
        r->mmWidth = r->modes[0].hdisplay * 254 / 1000;
        r->mmHeight = r->modes[0].vdisplay * 254 / 1000;
    }
    return r;
}

drmModeEncoderPtr vd_get_encoder(VirtualWorld *w, int fd, uint32_t encoder_id)
{
    VD_DEVICE_OR(nullptr);
    const auto *e = known(find_id(d->desc.encoders, encoder_id));
    auto *r = e ? alloc_array<drmModeEncoder>(1) : nullptr;
    if (!r)
        return nullptr;
    r->encoder_id = e->id;
    r->encoder_type = DRM_MODE_ENCODER_TMDS;
    r->crtc_id = e->crtc_id;
    r->possible_crtcs = uint32_t((1ull << d->crtcs.size()) - 1);
    return r;
}

drmModeCrtcPtr vd_get_crtc(VirtualWorld *w, int fd, uint32_t crtc_id)
{
    VD_DEVICE_OR(nullptr);
    VCrtc *c = known(w->crtc(d, crtc_id));
    auto *r = c ? alloc_array<drmModeCrtc>(1) : nullptr;
    if (!r)
        return nullptr;
    r->crtc_id = c->desc.id;
    r->buffer_id = c->screen.fb_id;
    r->width = c->screen.width;
    r->height = c->screen.height;
    r->mode_valid = 1;
    r->mode = make_mode(c->screen.width, c->screen.height, c->screen.refresh);
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
    VFb *f = known(w->fb(d, fb_id));
    auto *r = f ? alloc_array<drmModeFB2>(1) : nullptr;
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
    VFb *f = known(w->fb(d, fb_id));
    if (!f)
        return nullptr;
    // The single-plane query refuses multi-plane framebuffers.
    if (f->desc.plane_count != 1) {
        errno = EINVAL;
        return nullptr;
    }
    auto *r = alloc_array<drmModeFB>(1);
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

void vd_free(drmModeResPtr r)
{
    free_with_arrays(r, &drmModeRes::fbs, &drmModeRes::crtcs, &drmModeRes::encoders, &drmModeRes::connectors);
}

void vd_free(drmModeConnectorPtr r)
{
    free_with_arrays(r, &drmModeConnector::encoders, &drmModeConnector::props, &drmModeConnector::prop_values,
                     &drmModeConnector::modes);
}

int vd_set_client_cap(VirtualWorld *w, int fd, uint64_t capability, uint64_t value)
{
    VD_DEVICE_OR(-1);
    (void)d;
    if ((capability != DRM_CLIENT_CAP_UNIVERSAL_PLANES && capability != DRM_CLIENT_CAP_ATOMIC) || value > 1) {
        errno = EINVAL;
        return -1;
    }
    if (value)
        of->universal_planes = true;
    else if (capability == DRM_CLIENT_CAP_UNIVERSAL_PLANES)
        of->universal_planes = false;
    if (capability == DRM_CLIENT_CAP_ATOMIC)
        of->atomic = value != 0;
    return 0;
}

drmModePlaneResPtr vd_get_plane_resources(VirtualWorld *w, int fd)
{
    VD_DEVICE_OR(nullptr);
    // Without the capability only overlay planes are listed, and there are none.
    std::vector<uint32_t> listed;
    if (of->universal_planes) {
        for (auto &c : d->crtcs)
            listed.push_back(c.plane_id);
        for (auto &c : d->crtcs)
            if (c.cursor.desc)
                listed.push_back(c.cursor.plane_id);
    }
    const size_t count = listed.size();
    auto *r = alloc_array<drmModePlaneRes>(1);
    uint32_t *ids = alloc_array<uint32_t>(count);
    if (!r || !ids) {
        free(r);
        free(ids);
        errno = ENOMEM;
        return nullptr;
    }
    r->count_planes = uint32_t(count);
    r->planes = ids;
    std::copy(listed.begin(), listed.end(), ids);
    return r;
}

drmModePlanePtr vd_get_plane(VirtualWorld *w, int fd, uint32_t plane_id)
{
    VD_DEVICE_OR(nullptr);
    for (size_t i = 0; i < d->crtcs.size(); i++) {
        const VCrtc &c = d->crtcs[i];
        const bool cursor = c.cursor.desc && c.cursor.plane_id == plane_id;
        if (c.plane_id != plane_id && !cursor)
            continue;
        auto *r = alloc_array<drmModePlane>(1);
        uint32_t *formats = alloc_array<uint32_t>(1);
        if (!r || !formats) {
            free(r);
            free(formats);
            errno = ENOMEM;
            return nullptr;
        }
        formats[0] = cursor ? DRM_FORMAT_ARGB8888 : DRM_FORMAT_XRGB8888;
        r->count_formats = 1;
        r->formats = formats;
        r->plane_id = plane_id;
        r->fb_id = c.screen.fb_id;
        if (cursor) {
            int32_t x = 0, y = 0;
            cursor_seen(*of, c, &r->fb_id, &x, &y);
            r->crtc_x = uint32_t(x);
            r->crtc_y = uint32_t(y);
        }
        r->crtc_id = r->fb_id ? c.desc.id : 0;
        r->possible_crtcs = 1u << i;
        return r;
    }
    errno = ENOENT;
    return nullptr;
}

drmModeObjectPropertiesPtr vd_get_object_properties(VirtualWorld *w, int fd, uint32_t object_id, uint32_t object_type)
{
    VD_DEVICE_OR(nullptr);
    const VCrtc *owner = nullptr;
    bool cursor = false;
    for (auto &c : d->crtcs) {
        if (c.plane_id == object_id)
            owner = &c;
        if (c.cursor.desc && c.cursor.plane_id == object_id) {
            owner = &c;
            cursor = true;
        }
    }
    if (object_type != DRM_MODE_OBJECT_PLANE || !owner) {
        errno = ENOENT;
        return nullptr;
    }
    // The type always; the atomic properties for a file that asked for them.
    std::vector<std::pair<uint32_t, uint64_t>> list{
        {d->type_property_id, cursor ? DRM_PLANE_TYPE_CURSOR : DRM_PLANE_TYPE_PRIMARY}};
    if (of->atomic) {
        uint32_t fb_id = owner->screen.fb_id;
        int32_t x = 0, y = 0;
        if (cursor)
            cursor_seen(*of, *owner, &fb_id, &x, &y);
        const uint32_t w = cursor ? owner->cursor.desc->width : owner->screen.width;
        const uint32_t h = cursor ? owner->cursor.desc->height : owner->screen.height;
        list.insert(list.end(), {{d->fb_property_id, fb_id},
                                 {d->crtc_property_id, fb_id ? owner->desc.id : 0},
                                 {d->x_property_id, uint64_t(int64_t(x))},
                                 {d->y_property_id, uint64_t(int64_t(y))},
                                 {d->w_property_id, fb_id ? w : 0},
                                 {d->h_property_id, fb_id ? h : 0}});
    }
    auto *r = alloc_array<drmModeObjectProperties>(1);
    uint32_t *props = alloc_array<uint32_t>(list.size());
    uint64_t *values = alloc_array<uint64_t>(list.size());
    if (!r || !props || !values) {
        free(r);
        free(props);
        free(values);
        errno = ENOMEM;
        return nullptr;
    }
    for (size_t i = 0; i < list.size(); i++) {
        props[i] = list[i].first;
        values[i] = list[i].second;
    }
    r->count_props = uint32_t(list.size());
    r->props = props;
    r->prop_values = values;
    return r;
}

drmModePropertyPtr vd_get_property(VirtualWorld *w, int fd, uint32_t property_id)
{
    VD_DEVICE_OR(nullptr);
    struct Known {
        uint32_t id;
        const char *name;
        uint32_t flags;
    };
    const Known all[] = {{d->type_property_id, "type", DRM_MODE_PROP_ENUM | DRM_MODE_PROP_IMMUTABLE},
                         {d->fb_property_id, "FB_ID", DRM_MODE_PROP_OBJECT | DRM_MODE_PROP_ATOMIC},
                         {d->crtc_property_id, "CRTC_ID", DRM_MODE_PROP_OBJECT | DRM_MODE_PROP_ATOMIC},
                         {d->x_property_id, "CRTC_X", DRM_MODE_PROP_SIGNED_RANGE | DRM_MODE_PROP_ATOMIC},
                         {d->y_property_id, "CRTC_Y", DRM_MODE_PROP_SIGNED_RANGE | DRM_MODE_PROP_ATOMIC},
                         {d->w_property_id, "CRTC_W", DRM_MODE_PROP_RANGE | DRM_MODE_PROP_ATOMIC},
                         {d->h_property_id, "CRTC_H", DRM_MODE_PROP_RANGE | DRM_MODE_PROP_ATOMIC}};
    const Known *k = nullptr;
    for (auto &candidate : all)
        if (candidate.id == property_id && (candidate.id == d->type_property_id || of->atomic))
            k = &candidate;
    if (!k) {
        errno = ENOENT;
        return nullptr;
    }
    auto *r = alloc_array<drmModePropertyRes>(1);
    if (!r)
        return nullptr;
    r->prop_id = property_id;
    r->flags = k->flags;
    snprintf(r->name, sizeof(r->name), "%s", k->name);
    return r;
}

void vd_free(drmModePlaneResPtr r)
{
    free_with_arrays(r, &drmModePlaneRes::planes);
}

void vd_free(drmModePlanePtr r)
{
    free_with_arrays(r, &drmModePlane::formats);
}

void vd_free(drmModeObjectPropertiesPtr r)
{
    free_with_arrays(r, &drmModeObjectProperties::props, &drmModeObjectProperties::prop_values);
}

int vd_close_buffer_handle(VirtualWorld *w, int fd, uint32_t handle)
{
    VD_DEVICE_OR(-1);
    for (auto &f : d->fbs)
        if (f->handle == handle)
            return 0;
    errno = EINVAL;
    return -1;
}

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
        of->done.push_back({seq, c->last_ns, c->last_wall_ns, user_data});
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
    if (!context || context->version < 4 || !context->sequence_handler)
        return 0;
    for (auto &c : done) {
        {
            std::lock_guard<std::mutex> lock(w->mutex);
            if (OpenFile *of = w->file(fd)) {
                of->delivering_wall_ns = c.wall_ns;
                of->delivering_seq = c.sequence;
            }
        }
        context->sequence_handler(fd, c.sequence, c.ns, c.user_data);
    }
    std::lock_guard<std::mutex> lock(w->mutex);
    if (OpenFile *of = w->file(fd))
        of->delivering_wall_ns = 0;
    return 0;
}

uint64_t vd_event_time_ns(VirtualWorld *w, int fd)
{
    {
        std::lock_guard<std::mutex> lock(w->mutex);
        OpenFile *of = w->file(fd);
        if (of && of->delivering_wall_ns)
            return of->delivering_wall_ns;
    }
    return clock_ns(CLOCK_REALTIME);
}
