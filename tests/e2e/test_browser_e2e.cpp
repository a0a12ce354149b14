// Watching in a browser: the helper on the virtual display, capture, the
// relay feeding a Janus mountpoint, and headless Chromium pages, all in the
// test's own network namespace (Janus offers no loopback candidate, so the
// namespace gets a veth pair with addresses of its own).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "tests/e2e/browser_page.h"
#include "tests/e2e/system_fixture.h"

namespace {

constexpr char kJanusDir[] = "/tmp/janus";

class BrowserSystem : public E2eSystem {
protected:
    void SetUp() override
    {
        std::string why = browser_environment();
        if (!why.empty())
            GTEST_SKIP() << why;
        E2eSystem::SetUp();
    }

    void TearDown() override
    {
        if (HasFailure())
            for (auto &p : pages_)
                std::fprintf(stderr, "--- %s ---\n%s\n", p->name.c_str(), browser_figures_line(p.get()).c_str());
        pages_.clear();
        E2eSystem::TearDown();
        if (janus_started_) {
            janus_script({"stop", kJanusDir});
            if (HasFailure())
                std::fprintf(stderr, "--- janus ---\n%s\n", browser_tail("/tmp/janus/janus.log", 3000).c_str());
        }
    }

    void start_janus(const std::string &codec, const std::vector<std::string> &extra = {})
    {
        janus_started_ = true;
        std::vector<std::string> args = {"start", kJanusDir, "--codec", codec};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_EQ(janus_script(args), 0);
        std::ifstream in(std::string(kJanusDir) + "/viewer.token");
        std::getline(in, token_);
        ASSERT_FALSE(token_.empty());
    }

    // The relay with the Janus mountpoint of scripts/janus.sh and its
    // secret, and extra args.
    void start_relay(std::vector<std::string> extra)
    {
        std::vector<std::string> args = {"--query-config",
                                         "--udp-port",
                                         "0",
                                         "--janus-port",
                                         "5006",
                                         "--janus-api",
                                         "8088",
                                         "--janus-token-file",
                                         std::string(kJanusDir) + "/relay.token"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_EQ(e2e_start_relay(&relay_, args), 0);
    }

    void start_capture(const std::vector<std::string> &args)
    {
        ASSERT_EQ(e2e_start_capture(&capture_, args), 0);
        ASSERT_TRUE(e2e_wait_for_text(&relay_, "[Relay] stream 1:", 15000, true)) << logs(capture_);
    }

    // The page's address with the viewing token, or with `fragment` instead.
    std::string page_url(const char *fragment = nullptr, const std::string &scheme = "http") const
    {
        return scheme + "://127.0.0.1:8080/?janus=8088" + (fragment ? std::string(fragment) : "#token=" + token_);
    }

    BrowserPage *open_page(const std::string &url = "", const std::vector<std::string> &extra = {})
    {
        pages_.push_back(std::make_unique<BrowserPage>());
        BrowserPage *p = pages_.back().get();
        EXPECT_EQ(browser_open(p, "page" + std::to_string(pages_.size()), url.empty() ? page_url() : url, extra), 0);
        return p;
    }

    // Waits until the page's status is `status`; false after timeout_ms.
    static bool wait_status(BrowserPage *p, const std::string &status, int timeout_ms)
    {
        for (const long long end = e2e_now_ms() + timeout_ms; e2e_now_ms() < end; e2e_sleep_ms(200))
            if (browser_figures(p)["status"] == status)
                return true;
        return false;
    }

    // Waits until the page has shown `frames` pictures with a latency figure.
    static bool wait_playing(BrowserPage *p, long frames, int timeout_ms, long min_joins = 1)
    {
        const long long end = e2e_now_ms() + timeout_ms;
        for (;;) {
            auto f = browser_figures(p);
            if (browser_number(f, "frames") >= frames && browser_number(f, "mode_n") > 0 &&
                browser_number(f, "joins") >= min_joins && f["status"] == "playing")
                return true;
            if (e2e_now_ms() > end)
                return false;
            e2e_sleep_ms(200);
        }
    }

    static int janus_script(const std::vector<std::string> &args)
    {
        E2eProcess script;
        if (e2e_spawn(&script, "janus-script", std::string(VISTREL_SOURCE_DIR) + "/scripts/janus.sh", args) != 0)
            return -1;
        if (!e2e_wait_exit(&script, 20000) || !e2e_exited_with(&script, 0)) {
            std::fprintf(stderr, "janus.sh %s: %s\n", args[0].c_str(), e2e_stderr(&script).c_str());
            return -1;
        }
        return 0;
    }

    std::map<std::string, std::string> relay_summary()
    {
        e2e_stop(&relay_, SIGTERM, 10000);
        return e2e_values(e2e_stdout(&relay_));
    }

    std::vector<std::unique_ptr<BrowserPage>> pages_;
    bool janus_started_ = false;
    std::string token_;  // the viewing token janus.sh made
};

int count_of(const std::string &text, const std::string &needle)
{
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

long long wall_ms()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int feedback_port(const E2eProcess *relay)
{
    auto v = e2e_values(e2e_stdout(relay));
    return v.count("feedback_port") ? std::atoi(v["feedback_port"].c_str()) : 0;
}

// Where the picture lies in a screenshot of the page, found from its
// pixels: the rows and columns with anything brighter than the black bars
// in them, and the brightness (mean and spread of the luma) inside.
struct PictureArea {
    int top = -1, bottom = -1, left = -1, right = -1;  // inclusive
    double mean = 0, spread = 0;
};

PictureArea find_picture(const BrowserImage &img)
{
    auto luma = [&](int x, int y) {
        const uint8_t *p = &img.rgb[(size_t(y) * img.width + x) * 3];
        return 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
    };
    // The first and last line (rows, or columns) with a lit pixel among
    // the first `across` of it.
    auto span = [&](bool rows, int across, int *first, int *last) {
        const int lines = rows ? img.height : img.width;
        for (int i = 0; i < lines; ++i)
            for (int j = 0; j < across; ++j)
                if (rows ? luma(j, i) > 24 : luma(i, j) > 24) {
                    if (*first < 0)
                        *first = i;
                    *last = i;
                    break;
                }
    };
    // The status sits in the bottom-right corner: rows are judged by their
    // left half, columns by their upper half.
    PictureArea a;
    span(true, img.width / 2, &a.top, &a.bottom);
    span(false, img.height / 2, &a.left, &a.right);
    if (a.top < 0 || a.left < 0)
        return a;
    double sum = 0, squares = 0;
    long n = 0;
    for (int y = a.top; y <= a.bottom; ++y)
        for (int x = a.left; x <= a.right; ++x) {
            const double l = luma(x, y);
            sum += l;
            squares += l * l;
            n++;
        }
    a.mean = sum / n;
    a.spread = std::sqrt(std::max(0.0, squares / n - a.mean * a.mean));
    return a;
}

}  // namespace

// Viewers need the token: a page without one, or with a wrong one, gets no
// picture and says why, as does one asking for a stream that does not
// exist, while the page with the token plays. The picture
// fills the window at its aspect ratio (black bars above and below in a
// 4:3 window) and is not black; a double-click makes the page fullscreen.
TEST_F(BrowserSystem, OnlyThePageWithTheTokenPlaysAndItsPictureFillsTheWindow)
{
    start_janus("h264");
    for (const char *file : {"viewer.token", "relay.token", "admin.secret"}) {
        struct stat st {};
        ASSERT_EQ(stat((std::string(kJanusDir) + "/" + file).c_str(), &st), 0) << file;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
    }
    std::ifstream relay_file(std::string(kJanusDir) + "/relay.token");
    std::string relay_secret;
    std::getline(relay_file, relay_secret);
    EXPECT_EQ(token_.size(), 32u);
    EXPECT_NE(relay_secret, token_);
    start_relay({"--latency", "--watermark", "bitmap"});
    start_capture({"-m", "compatible"});

    BrowserPage *without = open_page(page_url(""));
    BrowserPage *wrong = open_page(page_url("#token=0123456789abcdef"));
    BrowserPage *elsewhere = open_page("http://127.0.0.1:8080/?janus=8088&mountpoint=2#token=" + token_);
    BrowserPage *with = open_page();
    ASSERT_TRUE(wait_playing(with, 30, 20000)) << browser_figures_line(with);
    EXPECT_TRUE(wait_status(without, "refused(no_token)", 5000)) << browser_figures_line(without);
    EXPECT_TRUE(wait_status(wrong, "refused(wrong_token)", 5000)) << browser_figures_line(wrong);
    EXPECT_TRUE(wait_status(elsewhere, "no_stream", 5000)) << browser_figures_line(elsewhere);
    for (BrowserPage *p : {without, wrong, elsewhere})
        EXPECT_EQ(browser_number(browser_figures(p), "frames"), 0) << p->name;
    for (BrowserPage *p : {without, wrong})
        EXPECT_EQ(browser_number(browser_figures(p), "joins"), 0) << p->name;

    std::string report;
    ASSERT_EQ(browser_screenshot(page_url(), "/tmp/playing.png", {}, 30, 20000, &report), 0) << report;
    EXPECT_NE(report.find("fullscreen=1"), std::string::npos) << report;
    if (const char *keep = std::getenv("VISTREL_BROWSER_SHOT"))
        std::system(("cp /tmp/playing.png '" + std::string(keep) + "'").c_str());
    BrowserImage shot;
    ASSERT_EQ(browser_read_png("/tmp/playing.png", &shot), 0);
    const PictureArea a = find_picture(shot);
    // 1280x720 fitted into the window: its whole width, centred vertically.
    const double height = 720.0 * shot.width / 1280;
    const double top = (shot.height - height) / 2;
    std::fprintf(stderr,
                 "[browser] screenshot %dx%d: picture rows %d..%d columns %d..%d (expected rows %.0f..%.0f), "
                 "luma mean %.0f spread %.0f\n",
                 shot.width, shot.height, a.top, a.bottom, a.left, a.right, top, top + height - 1, a.mean, a.spread);
    ASSERT_GT(shot.height, height + 20) << "the window is not taller than the picture";
    EXPECT_NEAR(a.top, top, 3);
    EXPECT_NEAR(a.bottom, top + height - 1, 3);
    EXPECT_LE(a.left, 2);
    EXPECT_GE(a.right, shot.width - 3);
    EXPECT_GT(a.mean, 30) << "the picture is dark";
    EXPECT_GT(a.spread, 15) << "the picture is flat";
}

// Over HTTPS: the page and Janus's API with a self-signed certificate that
// this Chromium is told to trust (by its key's SPKI hash). Janus starts with
// a VP8 mountpoint, so the page plays the H.264 stream only once the relay
// has made the mountpoint again through the HTTPS API with its secret. A
// Chromium not told to trust the certificate never gets the page.
TEST_F(BrowserSystem, OverHttpsThePagePlays)
{
    ASSERT_EQ(std::system("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                          "-addext subjectAltName=IP:127.0.0.1 -keyout /tmp/tls.key -out /tmp/tls.crt 2>/dev/null"),
              0);
    std::FILE *hash = popen("openssl x509 -in /tmp/tls.crt -pubkey -noout | openssl pkey -pubin -outform der | "
                            "openssl dgst -sha256 -binary | base64",
                            "r");
    ASSERT_NE(hash, nullptr);
    char spki[128] = {};
    const bool read = std::fgets(spki, sizeof spki, hash) != nullptr;
    pclose(hash);
    ASSERT_TRUE(read);
    spki[std::strcspn(spki, "\n")] = 0;

    start_janus("vp8", {"--tls", "/tmp/tls.crt", "/tmp/tls.key"});
    ASSERT_EQ(e2e_start_relay(&relay_, {"--query-config", "--udp-port", "0", "--janus", "127.0.0.1:5006", "--janus-api",
                                        "https://127.0.0.1:8088/janus", "--janus-token-file",
                                        std::string(kJanusDir) + "/relay.token", "--janus-ca-file", "/tmp/tls.crt"}),
              0);
    start_capture({"-m", "compatible"});
    ASSERT_TRUE(e2e_wait_for_text(&relay_, "[Relay] Janus mountpoint 1 made again for H264", 15000, true))
        << e2e_stderr(&relay_);
    BrowserPage *untrusting = open_page(page_url(nullptr, "https"));
    BrowserPage *page =
        open_page(page_url(nullptr, "https"), {"--ignore-certificate-errors-spki-list=" + std::string(spki)});
    EXPECT_TRUE(wait_playing(page, 30, 20000)) << browser_figures_line(page);
    EXPECT_EQ(browser_figures_line(untrusting), "");
}

// H.264 from the compatible mode: a joining page asks for a key frame, which
// reaches capture within a second, and sees its first picture within a
// second; three pages play at once; garbage on the relay's feedback port is
// counted and changes nothing.
TEST_F(BrowserSystem, H264PagesJoinWithAKeyFrameAndPlayTogether)
{
    start_janus("h264");
    start_relay({"--latency", "--watermark", "bitmap"});
    start_capture({"-m", "compatible"});
    const int idr_before = count_of(e2e_stderr(&capture_), "[App] Forcing IDR frame");

    BrowserPage *first = open_page();
    ASSERT_TRUE(e2e_wait_for_text(&capture_, "[App] Forcing IDR frame", 15000, true, idr_before + 1))
        << browser_tail(first->err_path, 2000);
    const long long idr_at = wall_ms();
    ASSERT_TRUE(wait_playing(first, 1, 10000)) << browser_figures_line(first);
    auto f = browser_figures(first);
    const long long joined = browser_number(f, "join_at");
    std::fprintf(stderr, "[browser] key frame %lld ms after the join, first picture %.0f ms after it\n",
                 idr_at - joined, browser_number(f, "join_first_ms"));
    EXPECT_LE(idr_at - joined, 1000) << "the key frame request came late";
    EXPECT_LE(browser_number(f, "join_first_ms"), 1000) << "the first picture came late";

    BrowserPage *second = open_page();
    BrowserPage *third = open_page();
    for (BrowserPage *p : {first, second, third})
        EXPECT_TRUE(wait_playing(p, 60, 20000)) << p->name << ": " << browser_figures_line(p);

    // Garbage on the feedback port: counted, no record, the pages play on.
    const int port = feedback_port(&relay_);
    ASSERT_GT(port, 0);
    const int idr_now = count_of(e2e_stderr(&capture_), "[App] Forcing IDR frame");
    const std::string sent_before = e2e_stdout(&relay_);
    {
        UniqueFD s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(uint16_t(port));
        const std::vector<std::vector<uint8_t>> junk = {
            {}, {0x80}, {'h', 'e', 'l', 'l', 'o'}, {0x81, 206, 0, 9, 1, 2, 3, 4}, {0x80, 96, 0, 1, 0, 0, 0, 0}};
        for (int round = 0; round < 4; ++round)
            for (const auto &j : junk)
                sendto(s.get(), j.data(), j.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
    }
    const long frames = browser_number(browser_figures(first), "frames");
    EXPECT_TRUE(wait_playing(first, frames + 30, 10000)) << browser_figures_line(first);
    EXPECT_EQ(count_of(e2e_stderr(&capture_), "[App] Forcing IDR frame"), idr_now);
    EXPECT_EQ(count_of(e2e_stdout(&relay_), "sent=IDR"), count_of(sent_before, "sent=IDR"));

    for (BrowserPage *p : {first, second, third}) {
        auto figures = browser_figures(p);
        std::fprintf(stderr, "[browser] %s: %s\n", p->name.c_str(), browser_figures_line(p).c_str());
        EXPECT_EQ(figures["size"], "1280x720");
        EXPECT_GT(browser_number(figures, "mode_p50"), 0);
    }
    pages_.clear();
    auto summary = relay_summary();
    std::fprintf(stderr, "[browser] relay latency p50 %s p95 %s ms\n", summary["latency_p50_ms"].c_str(),
                 summary["latency_p95_ms"].c_str());
    EXPECT_EQ(summary["feedback_bad"], "20");
    EXPECT_GE(std::atoi(summary["feedback_pli"].c_str()) + std::atoi(summary["feedback_fir"].c_str()), 1);
    EXPECT_EQ(summary["forward_errors"], "0");
    // The viewers' estimates reached the encoder as bit rates.
    EXPECT_GE(std::atoi(summary["feedback_remb"].c_str()), 1);
    EXPECT_GE(std::atoi(summary["feedback_bps_records"].c_str()), 1);
    EXPECT_NE(e2e_stdout(&capture_).find("[CODEC] Dynamic bitrate set to"), std::string::npos);
    EXPECT_TRUE(e2e_reap(&capture_) == false) << "capture ended";
}

// VP8 from the balanced mode: the capture switches codec on request, the
// relay makes the mountpoint again for it and the page reconnects and
// plays; Janus killed mid-run leaves relay and capture running, and once
// it is back (its configuration naming H.264) the relay makes the
// mountpoint for VP8 again and the page plays again.
TEST_F(BrowserSystem, Vp8SwitchAndJanusRestartKeepPagesPlaying)
{
    start_janus("h264");
    start_relay({"--latency", "--send", "300:CODEC:vp8"});
    start_capture({"-m", "balanced"});
    ASSERT_TRUE(e2e_wait_for_text(&relay_, "[Relay] Janus mountpoint 1 made again for VP8", 15000, true))
        << e2e_stderr(&relay_);

    BrowserPage *page = open_page();
    ASSERT_TRUE(wait_playing(page, 60, 20000)) << browser_figures_line(page);
    std::fprintf(stderr, "[browser] vp8: %s\n", browser_figures_line(page).c_str());

    std::ifstream pidfile(std::string(kJanusDir) + "/janus.pid");
    pid_t janus = 0;
    pidfile >> janus;
    ASSERT_GT(janus, 0);
    ASSERT_EQ(kill(janus, SIGKILL), 0);
    e2e_sleep_ms(2000);
    EXPECT_FALSE(e2e_reap(&relay_)) << "the relay ended without Janus";
    EXPECT_FALSE(e2e_reap(&capture_)) << "capture ended without Janus";
    const long joins = browser_number(browser_figures(page), "joins");

    // The restarted Janus has the mountpoint of its configuration, for
    // H.264: the relay makes it again for VP8.
    const std::string remade = "[Relay] Janus mountpoint 1 made again for VP8";
    const int remakes = count_of(e2e_stderr(&relay_), remade);
    ASSERT_EQ(janus_script({"start", kJanusDir, "--codec", "h264"}), 0);
    EXPECT_TRUE(e2e_wait_for_text(&relay_, remade, 10000, true, remakes + 1)) << e2e_stderr(&relay_);
    const long frames = browser_number(browser_figures(page), "frames");
    EXPECT_TRUE(wait_playing(page, frames + 60, 20000, joins + 1)) << browser_figures_line(page);
    std::fprintf(stderr, "[browser] after restart: %s\n", browser_figures_line(page).c_str());
    pages_.clear();
    auto summary = relay_summary();
    EXPECT_EQ(summary["codec"], "VP8");
    EXPECT_EQ(summary["forward_errors"], "0");
    EXPECT_EQ(summary["feedback_bad"], "0");
}

// The page's readers against each kind of time stamp drawn over a busy,
// slightly blurred picture, and against a picture without one.
TEST(BrowserStamps, ThePageReadsEveryKindOfStamp)
{
    std::string why = browser_environment();
    if (!why.empty())
        GTEST_SKIP() << why;
    BrowserPage page;
    ASSERT_EQ(
        browser_open(&page, "stamps", std::string("file://") + VISTREL_SOURCE_DIR + "/tests/e2e/stamp_check.html"), 0);
    ASSERT_TRUE(e2e_wait_for_text(&page.process, "stamp-check ", 20000, true)) << browser_tail(page.err_path, 2000);
    const std::string log = browser_tail(page.err_path, 100000);
    EXPECT_NE(log.find("stamp-check segments=1765432109876 bitmap=1790123456789 source=1708642097531 "
                       "blank=null,null,null"),
              std::string::npos)
        << log;
}
