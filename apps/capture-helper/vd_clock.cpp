#include "apps/capture-helper/vd_clock.h"

#include <drm_fourcc.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <tuple>

namespace {

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

// Applies the CRTC's statements due at blank b; the framebuffers to renew
// are added to *renewed. True when any statement acted.
bool apply_due(const ScenarioDevice &desc, VdSchedule *s, uint64_t b, VdScreen *screen, std::vector<uint32_t> *renewed)
{
    bool any = false;
    for (; s->next < s->changes.size() && s->changes[s->next].at <= b; s->next++) {
        const VdChange &ch = s->changes[s->next];
        if (ch.kind == VdChange::Renew) {
            renewed->push_back(desc.renewals[ch.index].fb_id);
            continue;
        }
        any = true;
        if (ch.kind == VdChange::Mode) {
            const ScenarioModeChange &m = desc.modes[ch.index];
            *screen = VdScreen{m.width, m.height, m.refresh, m.fb_id};
            s->rotation = nullptr;
        } else if (ch.kind == VdChange::Rotation) {
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
bool advance(const ScenarioDevice &desc, VdSchedule *s, uint64_t b, VdScreen *screen, std::vector<uint32_t> *renewed)
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
void cursor_at(const VdCursor &k, const VdScreen &screen, uint64_t b, uint32_t *fb_id, int32_t *x, int32_t *y)
{
    const ScenarioCursor &c = *k.desc;
    *fb_id = cursor_visible(c, b) ? k.fb_ids[k.current] : 0;
    *x = cursor_path(c.x, c.dx, b, int32_t(screen.width) - int32_t(c.width));
    *y = cursor_path(c.y, c.dy, b, int32_t(screen.height) - int32_t(c.height));
}

// The framebuffer an overlay plane shows at blank b of its CRTC.
uint32_t overlay_fb_at(const VdOverlay &o, uint64_t b)
{
    for (auto it = o.flips.rbegin(); it != o.flips.rend(); ++it) {
        const ScenarioPageflip &p = **it;
        if (b >= p.from_vblank)
            return p.fb_ids[((b - p.from_vblank) / p.every) % p.fb_ids.size()];
    }
    return o.desc->fb_id;
}

// A plane's rectangles for a buffer: the view's, its defaults the whole
// buffer at the source's size (or at `whole` w x h when given).
VdPlaneState place(const ScenarioPlaneView &v, const VdBuffer &fb, uint32_t whole_w, uint32_t whole_h)
{
    VdPlaneState s;
    s.fb_id = fb.desc.id;
    s.src_x = v.has_src ? v.src_x : 0;
    s.src_y = v.has_src ? v.src_y : 0;
    s.src_w = v.has_src ? v.src_w : fb.desc.width;
    s.src_h = v.has_src ? v.src_h : fb.desc.height;
    s.x = v.x;
    s.y = v.y;
    s.w = v.has_size ? v.w : whole_w ? whole_w : s.src_w;
    s.h = v.has_size ? v.h : whole_h ? whole_h : s.src_h;
    s.rotation = v.rotation;
    return s;
}

VdPlaneState overlay_at(const VdDevice &d, const VdOverlay &o, uint64_t b)
{
    const VdBuffer *fb = vd_clock_buffer(const_cast<VdDevice *>(&d), overlay_fb_at(o, b));
    if (!fb)
        return VdPlaneState{};
    VdPlaneState s = place(o.desc->view, *fb, 0, 0);
    const VdScreen &screen = d.crtcs[o.crtc_index].screen;
    s.x = cursor_path(s.x, o.desc->dx, b, int32_t(screen.width) - int32_t(s.w));
    s.y = cursor_path(s.y, o.desc->dy, b, int32_t(screen.height) - int32_t(s.h));
    return s;
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

// The CRTC's next `expirations` blanks, taken together: the schedule
// advances through each, the picture going on screen is drawn once, the
// cursor moves, and the sequence requests due complete on their files.
void blank(VirtualWorld *w, VdDevice *d, VdCrtc *c, uint64_t expirations)
{
    const uint64_t late_ns = blank_lateness_ns(c->timer.get(), c->screen.refresh);
    const uint64_t now_ns = monotonic_ns() - late_ns, wall_ns = clock_ns(CLOCK_REALTIME) - late_ns;
    // Only this thread changes the count, the screen and the schedule, so
    // it reads them without the lock; readers take the lock.
    const uint64_t seq = c->seq + expirations;
    VdScreen next = c->screen;
    bool flipped = false;
    std::vector<uint32_t> renewed;
    for (uint64_t b = c->seq + 1; b <= seq; b++)
        flipped |= advance(d->desc, &c->schedule, b, &next, &renewed);
    // A renewed id names new memory from this blank on; whoever holds an
    // export of the old memory keeps it. Exports read the memfd under the
    // lock, so the swap takes it.
    for (uint32_t id : renewed) {
        VdBuffer *old = vd_clock_buffer(d, id);
        std::unique_ptr<VdBuffer> fresh = vd_picture_make_buffer(old->desc, d->next_handle, wall_ns, false, old->turn);
        if (!fresh) {
            perror("[Virtual Display] cannot renew a framebuffer");
            continue;
        }
        d->next_handle++;
        std::lock_guard<std::mutex> lock(w->mutex);
        for (auto &slot : d->fbs)
            if (slot.get() == old)
                slot = std::move(fresh);
        flipped |= next.fb_id == id;
    }
    // A buffer is drawn just before it goes on screen. One that stays on
    // screen is redrawn in place, as a compositor with a single scanout
    // buffer draws, unless the CRTC flips between buffers: then it is left
    // alone until the next flip.
    VdBuffer *draw = nullptr;
    if (next.fb_id && (flipped || !c->schedule.rotation))
        draw = vd_clock_buffer(d, next.fb_id);
    // The picture is drawn first; the blank's count, time and screen then
    // take effect together with its events, as a flip has happened when a
    // real blank's event arrives. Only this thread draws, so the buffer
    // needs no lock; readers of the exported descriptors see a buffer that
    // stays on screen change in place, as on real hardware.
    if (draw)
        vd_picture_draw_frame(*draw, seq, wall_ns / 1000000);
    // An overlay's buffer is drawn as it is flipped to; the single buffer
    // of an overlay that does not flip is redrawn in place, as the CRTC's.
    for (const VdOverlay &o : d->overlays) {
        if (&d->crtcs[o.crtc_index] != c)
            continue;
        const uint32_t now = overlay_fb_at(o, seq);
        if (!o.flips.empty() && now == overlay_fb_at(o, c->seq))
            continue;
        VdBuffer *fb = vd_clock_buffer(d, now);
        if (fb && fb != draw)
            vd_picture_draw_frame(*fb, seq, wall_ns / 1000000);
    }
    // A cursor due for a new image flips to its other id, which names fresh
    // memory from now on (as a compositor uploading a new image does).
    std::unique_ptr<VdBuffer> cursor_image;
    VdCursor &k = c->cursor;
    int cursor_index = k.current;
    if (k.desc && k.desc->renew_every && seq / k.desc->renew_every != c->seq / k.desc->renew_every) {
        cursor_index = 1 - k.current;
        VdBuffer *old = vd_clock_buffer(d, k.fb_ids[cursor_index]);
        cursor_image = vd_picture_make_buffer(old->desc, d->next_handle, wall_ns, true);
        if (cursor_image)
            d->next_handle++;
        else
            perror("[Virtual Display] cannot renew a cursor image");
    } else if (k.desc && k.desc->redraw_every && seq / k.desc->redraw_every != c->seq / k.desc->redraw_every) {
        // The image on the plane is drawn again where it is and set again:
        // the other id now names the same memory.
        cursor_index = 1 - k.current;
        const VdBuffer *shown = vd_clock_buffer(d, k.fb_ids[k.current]);
        cursor_image =
            vd_picture_alias_buffer(*shown, vd_clock_buffer(d, k.fb_ids[cursor_index])->desc, d->next_handle);
        if (cursor_image) {
            d->next_handle++;
            vd_picture_paint_cursor(*cursor_image, (seq / k.desc->redraw_every) % 2 ? 0xFFFF0000u : 0xFF00FF00u);
        } else {
            perror("[Virtual Display] cannot redraw the cursor image");
        }
    }
    const bool new_rate = next.refresh != c->screen.refresh;
    {
        std::lock_guard<std::mutex> lock(w->mutex);
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
        for (auto &entry : w->files) {
            const int fd = entry.first;
            auto &of = entry.second;  // not a structured binding: clang 14 cannot capture one in a lambda
            if (of->device != d)
                continue;
            size_t added = 0;
            auto due = [&](const VdPending &p) {
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

// The clock thread: every CRTC's timer and the stop event on one epoll.
void run_clock(VirtualWorld *w)
{
    epoll_event events[8];
    for (;;) {
        int n = epoll_wait(w->epoll.get(), events, 8, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (int i = 0; i < n; i++) {
            uint64_t key = events[i].data.u64;
            if (key == kStopKey)
                return;
            VdDevice *d = w->devices[key >> 32].get();
            VdCrtc *c = &d->crtcs[key & 0xffffffff];
            uint64_t expirations = 0;
            if (read(c->timer.get(), &expirations, sizeof(expirations)) == sizeof(expirations) && expirations)
                blank(w, d, c, expirations);
        }
    }
}

}  // namespace

VirtualWorld *vd_clock_create_world(const Scenario &scenario)
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
        auto d = std::make_unique<VdDevice>();
        d->desc = scenario.devices[di];
        // A turned CRTC's buffers hold its picture turned.
        std::map<uint32_t, int> turns;
        for (auto &c : d->desc.crtcs) {
            if (!c.turned)
                continue;
            const int turn = int(c.turned / 90);
            turns.emplace(c.fb_id, turn);
            for (auto &f : d->desc.flips)
                if (f.crtc_id == c.id)
                    turns.emplace(f.fb_id, turn);
            for (auto &m : d->desc.modes)
                if (m.crtc_id == c.id)
                    turns.emplace(m.fb_id, turn);
            for (auto &p : d->desc.pageflips)
                if (p.crtc_id == c.id)
                    for (uint32_t id : p.fb_ids)
                        turns.emplace(id, turn);
        }
        for (auto &fdesc : d->desc.framebuffers) {
            auto f = vd_picture_make_buffer(fdesc, d->next_handle++, start_wall_ns, false,
                                            turns.count(fdesc.id) ? turns[fdesc.id] : 0);
            if (!f)
                return nullptr;
            d->fbs.push_back(std::move(f));
        }
        d->crtcs.resize(d->desc.crtcs.size());
        for (size_t ci = 0; ci < d->crtcs.size(); ci++) {
            VdCrtc &c = d->crtcs[ci];
            c.desc = d->desc.crtcs[ci];
            c.screen = VdScreen{c.desc.width, c.desc.height, c.desc.refresh, c.desc.fb_id};
            VdSchedule &sc = c.schedule;
            // Every scheduled statement of this CRTC, by the blank it acts at.
            auto schedule = [&](const auto &list, VdChange::Kind kind, auto at) {
                for (size_t i = 0; i < list.size(); i++)
                    if (list[i].crtc_id == c.desc.id)
                        sc.changes.push_back({at(list[i]), kind, i});
            };
            schedule(d->desc.modes, VdChange::Mode, [](const auto &m) { return m.at_vblank; });
            schedule(d->desc.pageflips, VdChange::Rotation, [](const auto &p) { return p.from_vblank; });
            schedule(d->desc.flips, VdChange::Flip, [](const auto &f) { return f.at_vblank; });
            schedule(d->desc.renewals, VdChange::Renew, [](const auto &r) { return r.at_vblank; });
            std::sort(sc.changes.begin(), sc.changes.end(), [](const VdChange &a, const VdChange &b) {
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
        for (auto &p : d->desc.planes)
            top = std::max(top, p.id);
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
                auto f = vd_picture_make_buffer(image, d->next_handle++, start_wall_ns, true);
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
        for (uint32_t *id : {&d->src_x_property_id, &d->src_y_property_id, &d->src_w_property_id,
                             &d->src_h_property_id, &d->zpos_property_id, &d->rotation_property_id,
                             &d->alpha_property_id, &d->blend_property_id, &d->encoding_property_id,
                             &d->range_property_id, &d->orientation_property_id, &d->hdr_property_id,
                             &d->colorspace_property_id})
            *id = ++top;
        d->first_blob_id = top + 1;
        top += uint32_t(d->desc.connectors.size() + d->desc.hdr_changes.size());
        for (auto &p : d->desc.planes) {
            VdOverlay o;
            o.desc = &p;
            for (size_t ci = 0; ci < d->desc.crtcs.size(); ci++)
                if (d->desc.crtcs[ci].id == p.crtc_id)
                    o.crtc_index = ci;
            for (auto &f : d->desc.pageflips)
                if (f.plane_id == p.id)
                    o.flips.push_back(&f);
            std::stable_sort(o.flips.begin(), o.flips.end(), [](const ScenarioPageflip *a, const ScenarioPageflip *b) {
                return a->from_vblank < b->from_vblank;
            });
            d->overlays.push_back(std::move(o));
        }
        w->devices.push_back(std::move(d));
    }
    VirtualWorld *raw = w.get();
    w->clock = std::thread([raw] { run_clock(raw); });
    return w.release();
}

void vd_clock_stop(VirtualWorld *w)
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

VdCrtc *vd_clock_crtc(VdDevice *d, uint32_t id)
{
    for (auto &c : d->crtcs)
        if (c.desc.id == id)
            return &c;
    return nullptr;
}

VdBuffer *vd_clock_buffer(VdDevice *d, uint32_t id)
{
    for (auto &f : d->fbs)
        if (f->desc.id == id)
            return f.get();
    return nullptr;
}

void vd_clock_cursor_seen(const VdOpenFile &of, const VdCrtc &c, uint32_t *fb_id, int32_t *x, int32_t *y)
{
    *fb_id = c.cursor.fb_id;
    *x = c.cursor.x;
    *y = c.cursor.y;
    if (of.delivering_wall_ns && of.delivering_seq < c.seq) {
        cursor_at(c.cursor, c.screen, of.delivering_seq, fb_id, x, y);
    }
}

VdPlaneState vd_clock_overlay_seen(const VdOpenFile &of, const VdDevice &d, const VdOverlay &o)
{
    const VdCrtc &c = d.crtcs[o.crtc_index];
    return overlay_at(d, o, of.delivering_wall_ns && of.delivering_seq < c.seq ? of.delivering_seq : c.seq);
}

VdPlaneState vd_clock_primary_state(const VdDevice &d, const VdCrtc &c)
{
    const VdBuffer *fb = c.screen.fb_id ? vd_clock_buffer(const_cast<VdDevice *>(&d), c.screen.fb_id) : nullptr;
    if (!fb)
        return VdPlaneState{};
    for (auto &s : d.desc.scanouts)
        if (s.crtc_id == c.desc.id && s.fb_id == fb->desc.id)
            return place(s.view, *fb, c.screen.width, c.screen.height);
    return place(ScenarioPlaneView{}, *fb, c.screen.width, c.screen.height);
}

uint64_t vd_clock_realtime_ns()
{
    return clock_ns(CLOCK_REALTIME);
}
