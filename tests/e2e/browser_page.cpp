#include "tests/e2e/browser_page.h"

#include <sched.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace {

constexpr char kChromium[] = "/usr/bin/chromium";

// Chromium's flags for a headless page with a fresh profile of its own.
std::vector<std::string> chromium_args(const std::string &name, const std::vector<std::string> &extra)
{
    std::vector<std::string> args = {"--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--user-data-dir=/tmp/chromium-" + name,
                                     "--autoplay-policy=no-user-gesture-required"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::string read_all(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::string browser_environment()
{
    if (access(kChromium, X_OK) != 0)
        return "Chromium is not installed (scripts/setup.sh installs Debian's chromium)";
    if (access("/usr/bin/janus", X_OK) != 0 || access("/usr/share/javascript/janus-gateway/janus.js", R_OK) != 0)
        return "Janus is not installed (scripts/setup.sh installs janus and libjs-janus-gateway)";
    if (access("/usr/bin/python3", X_OK) != 0 || access("/usr/sbin/ip", X_OK) != 0)
        return "python3 or iproute2 is missing (scripts/setup.sh installs them)";
    return browser_network();
}

std::string browser_network()
{
    if (unshare(CLONE_NEWNET) != 0)
        return std::string("cannot make a network namespace: ") + strerror(errno);
    const char *setup = "ip link set lo up && ip link add vistrel0 type veth peer name vistrel1 && "
                        "ip addr add 10.231.0.1/24 dev vistrel0 && ip addr add 10.231.0.2/24 dev vistrel1 && "
                        "ip link set vistrel0 up && ip link set vistrel1 up";
    if (std::system(setup) != 0)
        return "cannot make the veth pair in the test's network namespace";
    return "";
}

int browser_open(BrowserPage *page, const std::string &name, const std::string &url,
                 const std::vector<std::string> &extra)
{
    page->name = name;
    std::vector<std::string> args = chromium_args(name, extra);
    args.insert(args.end(), {"--enable-logging=stderr", "--v=0", url});
    if (e2e_spawn(&page->process, name, kChromium, args) != 0)
        return -1;
    page->err_path = page->process.err_path;
    return 0;
}

int browser_screenshot(const std::string &url, const std::string &png, const std::vector<std::string> &extra,
                       long frames, int timeout_ms, std::string *report)
{
    std::vector<std::string> args = {std::string(VISTREL_SOURCE_DIR) + "/tests/e2e/browser_shot.py",
                                     "--out",
                                     png,
                                     "--frames",
                                     std::to_string(frames),
                                     "--timeout",
                                     std::to_string(timeout_ms / 1000.0),
                                     "--",
                                     kChromium};
    for (const std::string &a : chromium_args("shot", extra))
        args.push_back(a);
    args.insert(args.end(), {"--window-size=1200,900", url});
    E2eProcess shot;
    if (e2e_spawn(&shot, "shot", "/usr/bin/python3", args) != 0) {
        *report = "cannot start browser_shot.py";
        return -1;
    }
    if (!e2e_wait_exit(&shot, timeout_ms + 20000) || !e2e_exited_with(&shot, 0)) {
        *report = e2e_stderr(&shot);
        return -1;
    }
    *report = e2e_stdout(&shot);
    return 0;
}

int browser_read_png(const std::string &path, BrowserImage *image)
{
    const std::string data = read_all(path);
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    if (data.empty() || !codec)
        return -1;
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext *)> context(
        avcodec_alloc_context3(codec), [](AVCodecContext *c) { avcodec_free_context(&c); });
    std::unique_ptr<AVPacket, void (*)(AVPacket *)> packet(av_packet_alloc(), [](AVPacket *p) { av_packet_free(&p); });
    std::unique_ptr<AVFrame, void (*)(AVFrame *)> frame(av_frame_alloc(), [](AVFrame *f) { av_frame_free(&f); });
    if (!context || !packet || !frame || avcodec_open2(context.get(), codec, nullptr) < 0 ||
        av_new_packet(packet.get(), int(data.size())) < 0)
        return -1;
    std::memcpy(packet->data, data.data(), data.size());
    if (avcodec_send_packet(context.get(), packet.get()) < 0 || avcodec_send_packet(context.get(), nullptr) < 0 ||
        avcodec_receive_frame(context.get(), frame.get()) < 0)
        return -1;
    const int w = frame->width, h = frame->height;
    std::unique_ptr<SwsContext, void (*)(SwsContext *)> scaler(sws_getContext(w, h, AVPixelFormat(frame->format), w, h,
                                                                              AV_PIX_FMT_RGB24, SWS_POINT, nullptr,
                                                                              nullptr, nullptr),
                                                               sws_freeContext);
    if (!scaler)
        return -1;
    image->width = w;
    image->height = h;
    image->rgb.assign(size_t(w) * h * 3, 0);
    uint8_t *planes[4] = {image->rgb.data(), nullptr, nullptr, nullptr};
    int strides[4] = {w * 3, 0, 0, 0};
    return sws_scale(scaler.get(), frame->data, frame->linesize, 0, h, planes, strides) == h ? 0 : -1;
}

std::string browser_figures_line(const BrowserPage *page)
{
    const std::string log = read_all(page->err_path);
    const std::string tag = "\"vistrel-figures ";
    size_t at = log.rfind(tag);
    if (at == std::string::npos)
        return "";
    at += tag.size();
    size_t end = log.find('"', at);
    return log.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::map<std::string, std::string> browser_figures(const BrowserPage *page)
{
    std::map<std::string, std::string> figures;
    std::istringstream words(browser_figures_line(page));
    std::string word;
    while (words >> word) {
        size_t eq = word.find('=');
        if (eq != std::string::npos)
            figures[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return figures;
}

double browser_number(const std::map<std::string, std::string> &figures, const std::string &key)
{
    auto it = figures.find(key);
    return it == figures.end() ? 0 : std::atof(it->second.c_str());
}

bool browser_wait_playing(const BrowserPage *page, long frames, int timeout_ms, long min_joins)
{
    for (const long long end = e2e_now_ms() + timeout_ms;; std::this_thread::sleep_for(std::chrono::milliseconds(200))) {
        auto f = browser_figures(page);
        if (browser_number(f, "frames") >= frames && browser_number(f, "mode_n") > 0 &&
            browser_number(f, "joins") >= min_joins && f["status"] == "playing")
            return true;
        if (e2e_now_ms() > end)
            return false;
    }
}

void browser_print_figures(const std::vector<std::unique_ptr<BrowserPage>> &pages)
{
    for (const auto &p : pages)
        std::fprintf(stderr, "--- %s ---\n%s\n", p->name.c_str(), browser_figures_line(p.get()).c_str());
}

std::string browser_tail(const std::string &path, size_t bytes)
{
    std::string text = read_all(path);
    return text.size() > bytes ? text.substr(text.size() - bytes) : text;
}
