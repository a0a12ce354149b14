#include "apps/capture-helper/scenario.h"

#include <drm_fourcc.h>
#include <strings.h>
#include <xf86drmMode.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "libs/framelink/protocol.h"

namespace {

constexpr uint32_t kMaxDimension = 16384;
constexpr uint32_t kMaxRefresh = 1000;
constexpr size_t kMaxRotation = 64;

struct TypeName {
    const char *name;
    uint32_t type;
};

// The kernel's own connector type names.
constexpr TypeName kTypeNames[] = {
    {"Unknown", 0}, {"VGA", 1},       {"DVI-I", 2}, {"DVI-D", 3}, {"DVI-A", 4},      {"Composite", 5}, {"SVIDEO", 6},
    {"LVDS", 7},    {"Component", 8}, {"DIN", 9},   {"DP", 10},   {"HDMI-A", 11},    {"HDMI-B", 12},   {"TV", 13},
    {"eDP", 14},    {"Virtual", 15},  {"DSI", 16},  {"DPI", 17},  {"Writeback", 18}, {"SPI", 19},      {"USB", 20},
};

// The pixel formats a framebuffer may take, by fourcc code (and the long
// name of the 8-bit ones); depth as the legacy framebuffer query reports it.
constexpr ScenarioFormat kFormats[] = {
    {"XR24", DRM_FORMAT_XRGB8888, 4, 1, 24},       {"XRGB8888", DRM_FORMAT_XRGB8888, 4, 1, 24},
    {"AR24", DRM_FORMAT_ARGB8888, 4, 1, 32},       {"ARGB8888", DRM_FORMAT_ARGB8888, 4, 1, 32},
    {"XB24", DRM_FORMAT_XBGR8888, 4, 1, 24},       {"XBGR8888", DRM_FORMAT_XBGR8888, 4, 1, 24},
    {"AB24", DRM_FORMAT_ABGR8888, 4, 1, 24},       {"ABGR8888", DRM_FORMAT_ABGR8888, 4, 1, 24},
    {"NV12", DRM_FORMAT_NV12, 1, 2, 0},            {"XR30", DRM_FORMAT_XRGB2101010, 4, 1, 30},
    {"AR30", DRM_FORMAT_ARGB2101010, 4, 1, 30},    {"XB30", DRM_FORMAT_XBGR2101010, 4, 1, 30},
    {"AB30", DRM_FORMAT_ABGR2101010, 4, 1, 30},    {"XR48", DRM_FORMAT_XRGB16161616, 8, 1, 0},
    {"AR48", DRM_FORMAT_ARGB16161616, 8, 1, 0},    {"XB48", DRM_FORMAT_XBGR16161616, 8, 1, 0},
    {"AB48", DRM_FORMAT_ABGR16161616, 8, 1, 0},    {"XR4H", DRM_FORMAT_XRGB16161616F, 8, 1, 0},
    {"AR4H", DRM_FORMAT_ARGB16161616F, 8, 1, 0},   {"XB4H", DRM_FORMAT_XBGR16161616F, 8, 1, 0},
    {"AB4H", DRM_FORMAT_ABGR16161616F, 8, 1, 0},   {"RG16", DRM_FORMAT_RGB565, 2, 1, 16},
    {"P010", DRM_FORMAT_P010, 2, 2, 0},
    // Packed 4:2:2, which a display may scan out and capture does not read:
    // its memory stays zero.
    {"YUYV", DRM_FORMAT_YUYV, 2, 1, 0},
};

bool parse_u64(const std::string &text, uint64_t *out)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0')
        return false;
    *out = v;
    return true;
}

bool parse_u32(const std::string &text, uint32_t *out)
{
    uint64_t v = 0;
    if (!parse_u64(text, &v) || v > UINT32_MAX)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

// A signed number within +-100000.
bool parse_i32(const std::string &t, int32_t *out)
{
    errno = 0;
    char *end = nullptr;
    const long v = strtol(t.c_str(), &end, 10);
    if (t.empty() || errno != 0 || *end != '\0' || v < -100000 || v > 100000)
        return false;
    *out = int32_t(v);
    return true;
}

// "X,Y" with signed numbers.
bool parse_pair(const std::string &text, int32_t *a, int32_t *b)
{
    const size_t comma = text.find(',');
    return comma != std::string::npos && parse_i32(text.substr(0, comma), a) && parse_i32(text.substr(comma + 1), b);
}

// The value of a name in a table of names, case-insensitive.
template <size_t N>
bool parse_name(const std::string &text, const std::pair<const char *, uint32_t> (&names)[N], uint32_t *out)
{
    for (auto &[name, value] : names)
        if (strcasecmp(name, text.c_str()) == 0) {
            *out = value;
            return true;
        }
    return false;
}

// The element of a list with the id, or null.
template <typename List>
auto *find(List &list, uint32_t id)
{
    for (auto &item : list)
        if (item.id == id)
            return &item;
    return static_cast<decltype(&*list.begin())>(nullptr);
}

constexpr std::pair<const char *, uint32_t> kOrientations[] = {
    {"normal", 0}, {"upside-down", 1}, {"left-up", 2}, {"right-up", 3}};
constexpr std::pair<const char *, uint32_t> kBlends[] = {{"premulti", 0}, {"coverage", 1}, {"none", 2}};
constexpr std::pair<const char *, uint32_t> kEncodings[] = {{"bt601", 0}, {"bt709", 1}, {"bt2020", 2}};
constexpr std::pair<const char *, uint32_t> kRanges[] = {{"limited", 0}, {"full", 1}};
constexpr std::pair<const char *, uint32_t> kRotations[] = {
    {"0", DRM_MODE_ROTATE_0}, {"90", DRM_MODE_ROTATE_90}, {"180", DRM_MODE_ROTATE_180}, {"270", DRM_MODE_ROTATE_270}};
constexpr std::pair<const char *, uint32_t> kReflections[] = {
    {"x", DRM_MODE_REFLECT_X}, {"y", DRM_MODE_REFLECT_Y}, {"xy", DRM_MODE_REFLECT_X | DRM_MODE_REFLECT_Y}};

// Chromaticities of the primaries and white point, in 0.00002 units.
struct Primaries {
    const char *name;
    uint16_t rgb[3][2];
    uint16_t white[2];
};
constexpr Primaries kPrimaries[] = {
    {"bt2020", {{35400, 14600}, {8500, 39850}, {6550, 2300}}, {15635, 16450}},
    {"bt709", {{32000, 16500}, {15000, 30000}, {7500, 3000}}, {15635, 16450}},
};
constexpr std::pair<const char *, uint32_t> kEotfs[] = {{"off", 0}, {"pq", 2}, {"hlg", 3}};

// "2560x1440" or, with want_refresh, "2560x1440@60".
bool parse_size(const std::string &text, bool want_refresh, uint32_t *w, uint32_t *h, uint32_t *hz)
{
    size_t x = text.find('x');
    if (x == std::string::npos)
        return false;
    size_t at = text.find('@', x);
    if (want_refresh != (at != std::string::npos))
        return false;
    std::string hs = want_refresh ? text.substr(x + 1, at - x - 1) : text.substr(x + 1);
    if (!parse_u32(text.substr(0, x), w) || !parse_u32(hs, h))
        return false;
    if (want_refresh && !parse_u32(text.substr(at + 1), hz))
        return false;
    return true;
}

class Parser {
public:
    Parser(const char *origin, Scenario *out, std::string *error) : origin_(origin), out_(out), error_(error) {}

    bool line(int number, const std::string &raw)
    {
        number_ = number;
        std::string text = raw.substr(0, raw.find('#'));
        std::istringstream in(text);
        std::vector<std::string> words;
        for (std::string w; in >> w;)
            words.push_back(w);
        if (words.empty())
            return true;
        const std::string &kw = words[0];
        if (kw == "device")
            return device(words);
        if (out_->devices.empty())
            return fail("'" + kw + "' before the first 'device' line");
        // The statements that may follow a device line, by their keyword.
        static constexpr Statement kStatements[] = {
            {"framebuffer", &Parser::framebuffer},
            {"crtc", &Parser::crtc},
            {"encoder", &Parser::encoder},
            {"connector", &Parser::connector},
            {"flip", &Parser::flip},
            {"pageflip", &Parser::pageflip},
            {"mode", &Parser::mode},
            {"renew", &Parser::renew},
            {"cursor", &Parser::cursor},
            {"plane", &Parser::plane},
            {"scanout", &Parser::scanout},
            {"hdr", &Parser::hdr},
        };
        for (const Statement &statement : kStatements)
            if (kw == statement.keyword)
                return (this->*statement.parse)(words);
        return fail("unknown keyword '" + kw + "'");
    }

    // Cross-references are checked once the whole text is read, so lines may
    // come in any order within a device.
    bool finish()
    {
        if (out_->devices.empty()) {
            number_ = last_line_;
            return fail("no 'device' line");
        }
        for (size_t i = 0; i < out_->devices.size(); i++) {
            const ScenarioDevice &d = out_->devices[i];
            number_ = device_lines_[i];
            auto has_fb = [&](uint32_t id) {
                for (auto &f : d.framebuffers)
                    if (f.id == id)
                        return true;
                return false;
            };
            auto has_crtc = [&](uint32_t id) {
                for (auto &c : d.crtcs)
                    if (c.id == id)
                        return true;
                return false;
            };
            auto has_encoder = [&](uint32_t id) {
                for (auto &e : d.encoders)
                    if (e.id == id)
                        return true;
                return false;
            };
            for (auto &c : d.crtcs)
                if (c.fb_id && !has_fb(c.fb_id))
                    return fail("crtc " + std::to_string(c.id) + " shows unknown framebuffer " +
                                std::to_string(c.fb_id) + " on " + d.path);
            for (auto &e : d.encoders)
                if (e.crtc_id && !has_crtc(e.crtc_id))
                    return fail("encoder " + std::to_string(e.id) + " drives unknown crtc " +
                                std::to_string(e.crtc_id) + " on " + d.path);
            for (auto &c : d.connectors)
                for (uint32_t e : c.encoder_ids)
                    if (!has_encoder(e))
                        return fail("connector " + std::to_string(c.id) + " names unknown encoder " +
                                    std::to_string(e) + " on " + d.path);
            for (auto &f : d.flips) {
                if (!has_crtc(f.crtc_id))
                    return fail("flip on unknown crtc " + std::to_string(f.crtc_id) + " on " + d.path);
                if (f.fb_id && !has_fb(f.fb_id))
                    return fail("flip to unknown framebuffer " + std::to_string(f.fb_id) + " on " + d.path);
            }
            for (auto &r : d.renewals) {
                if (!has_crtc(r.crtc_id))
                    return fail("renew on unknown crtc " + std::to_string(r.crtc_id) + " on " + d.path);
                if (!has_fb(r.fb_id))
                    return fail("renew of unknown framebuffer " + std::to_string(r.fb_id) + " on " + d.path);
            }
            for (size_t i = 0; i < d.cursors.size(); i++) {
                if (!has_crtc(d.cursors[i].crtc_id))
                    return fail("cursor on unknown crtc " + std::to_string(d.cursors[i].crtc_id) + " on " + d.path);
                for (size_t j = 0; j < i; j++)
                    if (d.cursors[j].crtc_id == d.cursors[i].crtc_id)
                        return fail("second cursor on crtc " + std::to_string(d.cursors[i].crtc_id) + " on " + d.path);
            }
            for (auto &h : d.hdr_changes) {
                const ScenarioConnector *c = find(d.connectors, h.connector_id);
                if (!c || !c->has_hdr)
                    return fail("hdr on connector " + std::to_string(h.connector_id) + " without hdr= on " + d.path);
            }
            if (!check_planes(d, has_crtc))
                return false;
            for (auto &p : d.pageflips) {
                if (p.plane_id && !find(d.planes, p.plane_id))
                    return fail("pageflip on unknown plane " + std::to_string(p.plane_id) + " on " + d.path);
                if (!p.plane_id && !has_crtc(p.crtc_id))
                    return fail("pageflip on unknown crtc " + std::to_string(p.crtc_id) + " on " + d.path);
                for (uint32_t id : p.fb_ids)
                    if (!has_fb(id))
                        return fail("pageflip to unknown framebuffer " + std::to_string(id) + " on " + d.path);
            }
            for (auto &m : d.modes) {
                if (!has_crtc(m.crtc_id))
                    return fail("mode on unknown crtc " + std::to_string(m.crtc_id) + " on " + d.path);
                const ScenarioFramebuffer *fb = nullptr;
                for (auto &f : d.framebuffers)
                    if (f.id == m.fb_id)
                        fb = &f;
                if (!fb)
                    return fail("mode shows unknown framebuffer " + std::to_string(m.fb_id) + " on " + d.path);
                const bool placed = std::any_of(d.scanouts.begin(), d.scanouts.end(), [&](const ScenarioScanout &s) {
                    return s.crtc_id == m.crtc_id && s.fb_id == m.fb_id;
                });
                if (!placed && (fb->width != m.width || fb->height != m.height))
                    return fail("mode " + std::to_string(m.width) + "x" + std::to_string(m.height) +
                                " shows framebuffer " + std::to_string(m.fb_id) + " of another size on " + d.path);
            }
        }
        return true;
    }

    void set_last_line(int n) { last_line_ = n; }

private:
    // A view's source rectangle lies inside its buffer.
    bool check_view(const ScenarioDevice &d, const char *kw, uint32_t fb_id, const ScenarioPlaneView &v)
    {
        const ScenarioFramebuffer *fb = find(d.framebuffers, fb_id);
        if (!fb)
            return fail(std::string(kw) + " shows unknown framebuffer " + std::to_string(fb_id) + " on " + d.path);
        if (v.has_src && (uint64_t(v.src_x) + v.src_w > fb->width || uint64_t(v.src_y) + v.src_h > fb->height))
            return fail(std::string(kw) + " src reaches past framebuffer " + std::to_string(fb_id) + " on " + d.path);
        return true;
    }

    template <typename HasCrtc>
    bool check_planes(const ScenarioDevice &d, HasCrtc has_crtc)
    {
        for (auto &p : d.planes) {
            if (!has_crtc(p.crtc_id))
                return fail("plane " + std::to_string(p.id) + " on unknown crtc " + std::to_string(p.crtc_id) +
                            " on " + d.path);
            if (!check_view(d, "plane", p.fb_id, p.view))
                return false;
        }
        // The planes a client follows: the primary, the overlays, a cursor.
        if (d.planes.size() + 2 > UDS_MAX_FOLLOWED_PLANES)
            return fail("more than " + std::to_string(UDS_MAX_FOLLOWED_PLANES - 2) + " planes on " + d.path);
        for (size_t i = 0; i < d.scanouts.size(); i++) {
            const ScenarioScanout &s = d.scanouts[i];
            if (!has_crtc(s.crtc_id))
                return fail("scanout on unknown crtc " + std::to_string(s.crtc_id) + " on " + d.path);
            if (!check_view(d, "scanout", s.fb_id, s.view))
                return false;
            for (size_t j = 0; j < i; j++)
                if (d.scanouts[j].crtc_id == s.crtc_id && d.scanouts[j].fb_id == s.fb_id)
                    return fail("second scanout of framebuffer " + std::to_string(s.fb_id) + " on crtc " +
                                std::to_string(s.crtc_id) + " on " + d.path);
        }
        return true;
    }

    struct Statement {
        const char *keyword;
        bool (Parser::*parse)(const std::vector<std::string> &words);
    };

    bool fail(const std::string &what)
    {
        *error_ = std::string(origin_) + ":" + std::to_string(number_) + ": " + what;
        return false;
    }

    ScenarioDevice &dev() { return out_->devices.back(); }

    bool take_id(const std::string &kind, const std::string &text, uint32_t *id)
    {
        if (!parse_u32(text, id) || *id == 0)
            return fail(kind + " id '" + text + "' is not a positive number");
        // Object ids of one device share one namespace, as the kernel's do.
        if (!ids_.back().insert(*id).second)
            return fail("id " + text + " used twice on " + dev().path);
        return true;
    }

    // "WIDTHxHEIGHT@HZ" within the limits.
    bool take_mode(const std::string &text, uint32_t *width, uint32_t *height, uint32_t *refresh)
    {
        if (!parse_size(text, true, width, height, refresh))
            return fail("bad mode '" + text + "' (WIDTHxHEIGHT@HZ)");
        if (*width == 0 || *height == 0 || *width > kMaxDimension || *height > kMaxDimension)
            return fail("mode size out of range 1.." + std::to_string(kMaxDimension));
        if (*refresh == 0 || *refresh > kMaxRefresh)
            return fail("refresh out of range 1.." + std::to_string(kMaxRefresh));
        return true;
    }

    // The number of a vertical blank after the first picture.
    bool take_vblank(const std::string &text, uint64_t *at)
    {
        if (!parse_u64(text, at) || *at == 0)
            return fail("bad vblank number '" + text + "'");
        return true;
    }

    // Splits "key=value"; returns false (and reports) for other words.
    bool option(const std::string &word, std::string *key, std::string *value)
    {
        size_t eq = word.find('=');
        if (eq == std::string::npos || eq == 0)
            return fail("expected key=value, got '" + word + "'");
        *key = word.substr(0, eq);
        *value = word.substr(eq + 1);
        return true;
    }

    // Hands every "key=value" word of w[first, end) to take(key, value),
    // which reports and returns false for what it does not accept.
    template <typename Take>
    bool each_option(const std::vector<std::string> &w, size_t first, size_t end, Take take)
    {
        for (size_t i = first; i < end; i++) {
            std::string key, value;
            if (!option(w[i], &key, &value) || !take(key, value))
                return false;
        }
        return true;
    }

    // An object statement: at least min_words words (else the usage line is
    // the error) and a fresh id in the second; fields(object) reads the rest
    // (reporting what it refuses), and the object joins the device's list.
    template <typename Object, typename Fields>
    bool object_statement(const std::vector<std::string> &w, size_t min_words, const char *usage, const char *kind,
                          std::vector<Object> *list, Fields fields)
    {
        if (w.size() < min_words)
            return fail(std::string("usage: ") + usage);
        Object object;
        if (!take_id(kind, w[1], &object.id) || !fields(object))
            return false;
        list->push_back(std::move(object));
        return true;
    }

    // The statement's one option, "key=ID", from w[first] on.
    bool id_option(const std::vector<std::string> &w, size_t first, const char *kind, const char *key, const char *what,
                   uint32_t *id)
    {
        return each_option(w, first, w.size(), [&](const std::string &k, const std::string &value) {
            if (k != key)
                return fail(std::string("unknown ") + kind + " option '" + k + "'");
            return parse_u32(value, id) || fail(std::string("bad ") + what + " '" + value + "'");
        });
    }

    bool device(const std::vector<std::string> &w)
    {
        if (w.size() < 2)
            return fail("device needs a path");
        ScenarioDevice d;
        d.path = w[1];
        if (d.path[0] != '/')
            return fail("device path '" + d.path + "' is not absolute");
        for (auto &dv : out_->devices)
            if (dv.path == d.path)
                return fail("device " + d.path + " described twice");
        for (size_t i = 2; i < w.size(); i++) {
            if (w[i] == "no-getfb2")
                d.multi_plane_query = false;
            else if (w[i] == "no-handles")
                d.handles = false;
            else
                return fail("unknown device flag '" + w[i] + "'");
        }
        out_->devices.push_back(std::move(d));
        ids_.emplace_back();
        device_lines_.push_back(number_);
        return true;
    }

    bool framebuffer(const std::vector<std::string> &w)
    {
        return object_statement(
            w, 4, "framebuffer ID WIDTHxHEIGHT FORMAT [modifier=N] [pitch=N]", "framebuffer", &dev().framebuffers,
            [&](ScenarioFramebuffer &f) {
                if (!parse_size(w[2], false, &f.width, &f.height, nullptr))
                    return fail("bad size '" + w[2] + "' (WIDTHxHEIGHT)");
                if (f.width == 0 || f.height == 0 || f.width > kMaxDimension || f.height > kMaxDimension)
                    return fail("framebuffer size out of range 1.." + std::to_string(kMaxDimension));
                const ScenarioFormat *fmt = nullptr;
                for (auto &k : kFormats)
                    if (strcasecmp(k.name, w[3].c_str()) == 0)
                        fmt = &k;
                if (!fmt)
                    return fail("unknown pixel format '" + w[3] +
                                "' (XR24, AR24, XB24, AB24, NV12, XR30, AR30, XB30, AB30, XR48, AR48, XB48, AB48, "
                                "XR4H, AR4H, XB4H, AB4H, RG16, P010, YUYV)");
                f.format = fmt->fourcc;
                f.plane_count = fmt->planes;
                if (fmt->planes == 2 && (f.width % 2 || f.height % 2))
                    return fail(std::string(fmt->name) + " needs an even width and height");
                uint32_t pitch = f.width * fmt->bytes_per_pixel;
                const bool options_ok =
                    each_option(w, 4, w.size(), [&](const std::string &key, const std::string &value) {
                        if (key == "modifier")
                            return parse_u64(value, &f.modifier) || fail("bad modifier '" + value + "'");
                        if (key == "fill") {
                            f.filled = true;
                            return parse_u32(value, &f.fill) || fail("bad fill '" + value + "' (0xAARRGGBB)");
                        }
                        if (key == "pattern") {
                            f.chart = value == "chart";
                            return f.chart || value == "picture" ||
                                   fail("bad pattern '" + value + "' (picture or chart)");
                        }
                        if (key != "pitch")
                            return fail("unknown framebuffer option '" + key + "'");
                        uint32_t p = 0;
                        if (!parse_u32(value, &p) || p < pitch || p > 4 * kMaxDimension * 4)
                            return fail("pitch '" + value + "' is below " + std::to_string(pitch) + " or too large");
                        pitch = p;
                        return true;
                    });
                if (!options_ok)
                    return false;
                f.pitches[0] = pitch;
                f.offsets[0] = 0;
                f.size = uint64_t(pitch) * f.height;
                if (f.plane_count == 2) {
                    f.pitches[1] = pitch;
                    f.offsets[1] = static_cast<uint32_t>(f.size);
                    f.size += uint64_t(pitch) * (f.height / 2);
                }
                return true;
            });
    }

    bool crtc(const std::vector<std::string> &w)
    {
        return object_statement(
            w, 3, "crtc ID WIDTHxHEIGHT@HZ [fb=ID] [turned=90|180|270]", "crtc", &dev().crtcs, [&](ScenarioCrtc &c) {
                return take_mode(w[2], &c.width, &c.height, &c.refresh) &&
                       each_option(w, 3, w.size(), [&](const std::string &key, const std::string &value) {
                           if (key == "fb")
                               return parse_u32(value, &c.fb_id) || fail("bad framebuffer id '" + value + "'");
                           if (key != "turned")
                               return fail("unknown crtc option '" + key + "'");
                           if (value != "90" && value != "180" && value != "270")
                               return fail("bad turned '" + value + "' (90, 180 or 270)");
                           c.turned = uint32_t(std::stoul(value));
                           return true;
                       });
            });
    }

    bool encoder(const std::vector<std::string> &w)
    {
        return object_statement(w, 2, "encoder ID [crtc=ID]", "encoder", &dev().encoders, [&](ScenarioEncoder &e) {
            return id_option(w, 2, "encoder", "crtc", "crtc id", &e.crtc_id);
        });
    }

    bool connector(const std::vector<std::string> &w)
    {
        return object_statement(
            w, 4, "connector ID TYPE-INDEX connected|disconnected [encoders=ID,...] [orientation=...] [hdr=pq|hlg|off ...]", "connector", &dev().connectors,
            [&](ScenarioConnector &c) {
                size_t dash = w[2].rfind('-');
                if (dash == std::string::npos || dash == 0)
                    return fail("connector name '" + w[2] + "' is not TYPE-INDEX");
                int type = scenario_connector_type(w[2].substr(0, dash));
                if (type < 0)
                    return fail("unknown connector type '" + w[2].substr(0, dash) + "'");
                c.type = static_cast<uint32_t>(type);
                if (!parse_u32(w[2].substr(dash + 1), &c.type_id))
                    return fail("bad connector index in '" + w[2] + "'");
                if (w[3] == "connected")
                    c.connected = true;
                else if (w[3] != "disconnected")
                    return fail("expected connected or disconnected, got '" + w[3] + "'");
                bool hdr_detail = false;  // an HDR option other than hdr=
                if (!each_option(w, 4, w.size(), [&](const std::string &key, const std::string &value) {
                        bool taken = false;
                        if (!hdr_option(key, value, &c.hdr, &taken))
                            return false;
                        if (taken) {
                            c.has_hdr = c.has_hdr || key == "hdr";
                            hdr_detail = hdr_detail || key != "hdr";
                            return true;
                        }
                        if (key == "orientation") {
                            c.has_orientation = true;
                            return parse_name(value, kOrientations, &c.orientation) ||
                                   fail("bad orientation '" + value + "' (normal, upside-down, left-up, right-up)");
                        }
                        if (key != "encoders")
                            return fail("unknown connector option '" + key + "'");
                        std::stringstream list(value);
                        for (std::string item; std::getline(list, item, ',');) {
                            uint32_t id = 0;
                            if (!parse_u32(item, &id) || id == 0)
                                return fail("bad encoder id '" + item + "'");
                            c.encoder_ids.push_back(id);
                        }
                        return true;
                    }))
                    return false;
                return !hdr_detail || c.has_hdr || fail("HDR options on connector " + w[1] + " need hdr=");
            });
    }

    // The HDR options of a connector or an hdr statement; *taken false for
    // another word.
    bool hdr_option(const std::string &key, const std::string &value, ScenarioHdr *h, bool *taken)
    {
        *taken = true;
        uint32_t n = 0;
        if (key == "hdr") {
            if (!parse_name(value, kEotfs, &h->eotf))
                return fail("bad hdr '" + value + "' (pq, hlg or off)");
            // BT.2020 primaries and Colorspace unless given.
            if (!h->white[0]) {
                std::memcpy(h->primaries, kPrimaries[0].rgb, sizeof(h->primaries));
                std::memcpy(h->white, kPrimaries[0].white, sizeof(h->white));
            }
            if (!h->colorspace)
                h->colorspace = h->eotf ? 9 : 0;
            return true;
        }
        if (key == "maxcll" || key == "maxfall") {
            if (!parse_u32(value, &n) || n > 65535)
                return fail("bad " + key + " '" + value + "' (0..65535 cd/m2)");
            (key == "maxcll" ? h->max_cll : h->max_fall) = uint16_t(n);
            return true;
        }
        if (key == "mastering") {
            // "MAX,MIN": cd/m2 and 0.0001 cd/m2.
            int32_t max = -1, min = -1;
            if (!parse_pair(value, &max, &min) || max < 0 || max > 65535 || min < 0 || min > 65535)
                return fail("bad mastering '" + value + "' (MAX,MIN: cd/m2 and 0.0001 cd/m2)");
            h->max_mastering = uint16_t(max), h->min_mastering = uint16_t(min);
            return true;
        }
        if (key == "primaries") {
            for (const Primaries &p : kPrimaries)
                if (value == p.name) {
                    std::memcpy(h->primaries, p.rgb, sizeof(h->primaries));
                    std::memcpy(h->white, p.white, sizeof(h->white));
                    return true;
                }
            return fail("bad primaries '" + value + "' (bt2020 or bt709)");
        }
        if (key == "colorspace") {
            for (uint32_t i = 0; i < std::size(kScenarioColorspaces); i++)
                if (value == kScenarioColorspaces[i]) {
                    h->colorspace = i;
                    return true;
                }
            return fail("bad colorspace '" + value + "' (a kernel Colorspace name such as BT2020_RGB)");
        }
        *taken = false;
        return true;
    }

    bool hdr(const std::vector<std::string> &w)
    {
        static const char *usage =
            "usage: hdr VBLANK connector=ID hdr=pq|hlg|off [maxcll=N] [maxfall=N] [primaries=bt2020|bt709] "
            "[mastering=MAX,MIN] [colorspace=NAME]";
        if (w.size() < 4)
            return fail(usage);
        ScenarioHdrChange change;
        if (!take_vblank(w[1], &change.at_vblank))
            return false;
        std::string key, value;
        if (!option(w[2], &key, &value))
            return false;
        if (key != "connector" || !parse_u32(value, &change.connector_id))
            return fail(usage);
        bool have_hdr = false;
        if (!each_option(w, 3, w.size(), [&](const std::string &k, const std::string &v) {
                bool taken = false;
                have_hdr = have_hdr || k == "hdr";
                return hdr_option(k, v, &change.hdr, &taken) && (taken || fail("unknown hdr option '" + k + "'"));
            }))
            return false;
        if (!have_hdr)
            return fail(usage);
        dev().hdr_changes.push_back(change);
        return true;
    }

    // "KEYWORD VBLANK crtc=ID fb=ID": flip and renew, kept in the device's
    // list of that statement.
    bool blank_crtc_fb(const std::vector<std::string> &w, const char *kw, std::vector<ScenarioBlankFb> *list)
    {
        ScenarioBlankFb statement;
        if (w.size() != 4)
            return fail(std::string("usage: ") + kw + " VBLANK crtc=ID fb=ID");
        if (!take_vblank(w[1], &statement.at_vblank))
            return false;
        bool have_crtc = false, have_fb = false;
        if (!each_option(w, 2, 4, [&](const std::string &key, const std::string &value) {
                if (key == "crtc" && parse_u32(value, &statement.crtc_id))
                    return have_crtc = true;
                if (key == "fb" && parse_u32(value, &statement.fb_id))
                    return have_fb = true;
                return fail(std::string("bad ") + kw + " option '" + key + "=" + value + "'");
            }))
            return false;
        if (!have_crtc || !have_fb)
            return fail(std::string(kw) + " needs crtc=ID and fb=ID");
        list->push_back(statement);
        return true;
    }

    bool flip(const std::vector<std::string> &w) { return blank_crtc_fb(w, "flip", &dev().flips); }
    bool renew(const std::vector<std::string> &w) { return blank_crtc_fb(w, "renew", &dev().renewals); }

    bool pageflip(const std::vector<std::string> &w)
    {
        if (w.size() < 3 || w.size() > 5)
            return fail("usage: pageflip crtc=ID|plane=ID fbs=ID,ID... [every=N] [from=VBLANK]");
        ScenarioPageflip p;
        bool have_crtc = false;
        for (size_t i = 1; i < w.size(); i++) {
            std::string key, value;
            if (!option(w[i], &key, &value))
                return false;
            if (key == "crtc" && !have_crtc && parse_u32(value, &p.crtc_id)) {
                have_crtc = true;
            } else if (key == "plane" && !have_crtc && parse_u32(value, &p.plane_id) && p.plane_id) {
                have_crtc = true;
            } else if (key == "fbs" && p.fb_ids.empty()) {
                std::stringstream list(value);
                for (std::string item; std::getline(list, item, ',');) {
                    uint32_t id = 0;
                    if (!parse_u32(item, &id) || id == 0)
                        return fail("bad framebuffer id '" + item + "' in fbs");
                    if (p.fb_ids.size() == kMaxRotation)
                        return fail("more than " + std::to_string(kMaxRotation) + " buffers in fbs");
                    p.fb_ids.push_back(id);
                }
                if (p.fb_ids.empty())
                    return fail("fbs names no framebuffer");
            } else if (key == "every") {
                if (!parse_u32(value, &p.every) || p.every == 0)
                    return fail("bad every '" + value + "' (a positive number of blanks)");
            } else if (key == "from") {
                if (!parse_u64(value, &p.from_vblank))
                    return fail("bad from '" + value + "' (a vblank number)");
            } else {
                return fail("bad pageflip option '" + w[i] + "'");
            }
        }
        if (!have_crtc || p.fb_ids.empty())
            return fail("pageflip needs crtc=ID or plane=ID, and fbs=ID,ID...");
        dev().pageflips.push_back(std::move(p));
        return true;
    }

    bool cursor(const std::vector<std::string> &w)
    {
        static const char *usage =
            "usage: cursor crtc=ID WIDTHxHEIGHT at=X,Y [move=DX,DY] [hide=VBLANK] [show=VBLANK] [renew=N] "
            "[redraw=N]";
        if (w.size() < 4 || w.size() > 9)
            return fail(usage);
        ScenarioCursor c;
        std::string key, value;
        if (!option(w[1], &key, &value))
            return false;
        if (key != "crtc" || !parse_u32(value, &c.crtc_id))
            return fail(usage);
        if (!parse_size(w[2], false, &c.width, &c.height, nullptr) || c.width == 0 || c.height == 0 || c.width > 512 ||
            c.height > 512)
            return fail("bad cursor size '" + w[2] + "' (1x1 to 512x512)");
        const auto pair = parse_pair;
        bool have_at = false;
        for (size_t i = 3; i < w.size(); i++) {
            if (!option(w[i], &key, &value))
                return false;
            if (key == "at" && pair(value, &c.x, &c.y)) {
                have_at = true;
            } else if (key == "move" && pair(value, &c.dx, &c.dy)) {
            } else if (key == "hide" && parse_u64(value, &c.hide_at)) {
                c.hides = true;
            } else if (key == "show" && parse_u64(value, &c.show_at)) {
                c.shows = true;
            } else if (key == "renew" && parse_u32(value, &c.renew_every) && c.renew_every > 0) {
            } else if (key == "redraw" && parse_u32(value, &c.redraw_every) && c.redraw_every > 0) {
            } else {
                return fail("bad cursor option '" + w[i] + "'");
            }
        }
        if (!have_at)
            return fail("cursor needs at=X,Y");
        if (c.renew_every && c.redraw_every)
            return fail("a cursor is either renewed or redrawn, not both");
        dev().cursors.push_back(c);
        return true;
    }

    // The options a plane and a scanout statement share (a plane takes
    // more): the rectangles and the rotation. False (reported) for a word
    // neither knows; *taken false for a word left to the plane.
    bool view_option(const std::string &key, const std::string &value, ScenarioPlaneView *v, bool *taken)
    {
        *taken = true;
        if (key == "at")
            return parse_pair(value, &v->x, &v->y) || fail("bad at '" + value + "' (X,Y)");
        if (key == "size") {
            v->has_size = true;
            return (parse_size(value, false, &v->w, &v->h, nullptr) && v->w && v->h && v->w <= kMaxDimension &&
                    v->h <= kMaxDimension) ||
                   fail("bad size '" + value + "' (WIDTHxHEIGHT)");
        }
        if (key == "src") {
            // "X,Y,WxH"
            const size_t second = value.find(',', value.find(',') + 1);
            int32_t x = -1, y = -1;
            v->has_src = true;
            if (value.find(',') == std::string::npos || second == std::string::npos ||
                !parse_pair(value.substr(0, second), &x, &y) || x < 0 || y < 0 ||
                !parse_size(value.substr(second + 1), false, &v->src_w, &v->src_h, nullptr) || !v->src_w || !v->src_h)
                return fail("bad src '" + value + "' (X,Y,WIDTHxHEIGHT)");
            v->src_x = uint32_t(x);
            v->src_y = uint32_t(y);
            return true;
        }
        if (key == "rotate") {
            uint32_t turn = 0;
            if (!parse_name(value, kRotations, &turn))
                return fail("bad rotate '" + value + "' (0, 90, 180 or 270)");
            v->rotation = turn | (v->rotation & (DRM_MODE_REFLECT_X | DRM_MODE_REFLECT_Y));
            return true;
        }
        *taken = false;
        return true;
    }

    // "KEYWORD crtc=ID fb=ID" at the head of a plane or scanout statement.
    bool crtc_fb_options(const std::vector<std::string> &w, size_t first, const char *kw, uint32_t *crtc, uint32_t *fb)
    {
        bool have_crtc = false, have_fb = false;
        const bool ok = each_option(w, first, first + 2, [&](const std::string &key, const std::string &value) {
            if (key == "crtc" && parse_u32(value, crtc) && *crtc)
                return have_crtc = true;
            if (key == "fb" && parse_u32(value, fb) && *fb)
                return have_fb = true;
            return fail(std::string("bad ") + kw + " option '" + key + "=" + value + "'");
        });
        return ok && ((have_crtc && have_fb) || fail(std::string(kw) + " needs crtc=ID and fb=ID"));
    }

    bool plane(const std::vector<std::string> &w)
    {
        return object_statement(
            w, 4,
            "plane ID crtc=ID fb=ID [zpos=N] [at=X,Y] [size=WxH] [src=X,Y,WxH] [alpha=N] [blend=MODE] [rotate=DEG] "
            "[reflect=x|y] [move=DX,DY] [encoding=bt601|bt709|bt2020] [range=limited|full]",
            "plane", &dev().planes, [&](ScenarioPlane &p) {
                if (!crtc_fb_options(w, 2, "plane", &p.crtc_id, &p.fb_id))
                    return false;
                return each_option(w, 4, w.size(), [&](const std::string &key, const std::string &value) {
                    bool taken = false;
                    if (!view_option(key, value, &p.view, &taken))
                        return false;
                    if (taken)
                        return true;
                    if (key == "zpos") {
                        p.has_zpos = true;
                        return (parse_u32(value, &p.zpos) && p.zpos < 256) || fail("bad zpos '" + value + "'");
                    }
                    if (key == "alpha")
                        return (parse_u32(value, &p.alpha) && p.alpha <= 0xffff) ||
                               fail("bad alpha '" + value + "' (0..65535)");
                    if (key == "blend")
                        return parse_name(value, kBlends, &p.blend) ||
                               fail("bad blend '" + value + "' (premulti, coverage, none)");
                    if (key == "reflect") {
                        uint32_t bits = 0;
                        if (!parse_name(value, kReflections, &bits))
                            return fail("bad reflect '" + value + "' (x, y or xy)");
                        p.view.rotation |= bits;
                        return true;
                    }
                    if (key == "move")
                        return parse_pair(value, &p.dx, &p.dy) || fail("bad move '" + value + "' (DX,DY)");
                    if (key == "encoding")
                        return parse_name(value, kEncodings, &p.encoding) ||
                               fail("bad encoding '" + value + "' (bt601, bt709, bt2020)");
                    if (key == "range")
                        return parse_name(value, kRanges, &p.range) || fail("bad range '" + value + "' (limited, full)");
                    return fail("unknown plane option '" + key + "'");
                });
            });
    }

    bool scanout(const std::vector<std::string> &w)
    {
        if (w.size() < 3)
            return fail("usage: scanout crtc=ID fb=ID [src=X,Y,WxH] [at=X,Y] [size=WxH] [rotate=DEG]");
        ScenarioScanout s;
        if (!crtc_fb_options(w, 1, "scanout", &s.crtc_id, &s.fb_id))
            return false;
        if (!each_option(w, 3, w.size(), [&](const std::string &key, const std::string &value) {
                bool taken = false;
                return view_option(key, value, &s.view, &taken) &&
                       (taken || fail("unknown scanout option '" + key + "'"));
            }))
            return false;
        dev().scanouts.push_back(s);
        return true;
    }

    bool mode(const std::vector<std::string> &w)
    {
        if (w.size() != 5)
            return fail("usage: mode VBLANK crtc=ID WIDTHxHEIGHT@HZ fb=ID");
        ScenarioModeChange m;
        if (!take_vblank(w[1], &m.at_vblank))
            return false;
        std::string key, value;
        if (!option(w[2], &key, &value))
            return false;
        if (key != "crtc" || !parse_u32(value, &m.crtc_id))
            return fail("mode needs crtc=ID, got '" + w[2] + "'");
        if (!take_mode(w[3], &m.width, &m.height, &m.refresh))
            return false;
        if (!option(w[4], &key, &value))
            return false;
        if (key != "fb" || !parse_u32(value, &m.fb_id) || m.fb_id == 0)
            return fail("mode needs fb=ID of a framebuffer, got '" + w[4] + "'");
        dev().modes.push_back(m);
        return true;
    }

    const char *origin_;
    Scenario *out_;
    std::string *error_;
    int number_ = 0;
    int last_line_ = 0;
    std::vector<std::set<uint32_t>> ids_;
    std::vector<int> device_lines_;
};

}  // namespace

const char *const kScenarioColorspaces[13] = {
    "Default",   "SMPTE_170M_YCC", "BT709_YCC",   "XVYCC_601",  "XVYCC_709",      "SYCC_601",          "opYCC_601",
    "opRGB",     "BT2020_CYCC",    "BT2020_RGB",  "BT2020_YCC", "DCI-P3_RGB_D65", "DCI-P3_RGB_Theater",
};

const ScenarioFormat *scenario_format(uint32_t fourcc)
{
    for (auto &f : kFormats)
        if (f.fourcc == fourcc)
            return &f;
    return nullptr;
}

int scenario_connector_type(const std::string &name)
{
    for (auto &t : kTypeNames)
        if (strcasecmp(t.name, name.c_str()) == 0)
            return static_cast<int>(t.type);
    uint32_t v = 0;
    if (parse_u32(name, &v) && v < 1000)
        return static_cast<int>(v);
    return -1;
}

int scenario_parse(const std::string &text, const char *origin, Scenario *out, std::string *error)
{
    Scenario result;
    Parser parser(origin, &result, error);
    std::istringstream in(text);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        number++;
        if (!parser.line(number, line))
            return -1;
    }
    parser.set_last_line(number);
    if (!parser.finish())
        return -1;
    *out = std::move(result);
    return 0;
}

int scenario_load(const char *path, Scenario *out, std::string *error)
{
    std::ifstream in(path);
    if (!in) {
        *error = std::string(path) + ": " + strerror(errno);
        return -1;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) {
        *error = std::string(path) + ": read error";
        return -1;
    }
    return scenario_parse(buffer.str(), path, out, error);
}

const char *scenario_default_text()
{
    return "device /dev/dri/card1\n"
           "framebuffer 200 2560x1440 XR24\n"
           "crtc 50 2560x1440@60 fb=200\n"
           "encoder 80 crtc=50\n"
           "connector 100 DP-3 connected encoders=80\n";
}
