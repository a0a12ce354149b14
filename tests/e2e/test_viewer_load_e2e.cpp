// Many viewers at once: the helper on the 1280x720 virtual display, capture,
// the relay feeding a Janus mountpoint, and tools/viewer/receivers.py
// holding dozens of WebRTC peer connections (aiortc, counting, not
// decoding), all in the test's own network namespace with a veth pair.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/e2e/browser_page.h"
#include "tests/e2e/system_fixture.h"

namespace {

constexpr char kJanusDir[] = "/tmp/janus";
constexpr char kReceivers[] = VISTREL_SOURCE_DIR "/tools/viewer/receivers.py";

// Viewers that watch from the start of the viewing phase to its end, and
// the waves that join and leave together meanwhile.
constexpr int kSteadyViewers = 20;
constexpr int kWaveSize = 4;
constexpr int kWaves = 7;  // one every five seconds while the 40 s last

using Fields = std::map<std::string, std::string>;

// Every line of text with a `first_key=` field, as its key=value fields.
std::vector<Fields> lines_with(const std::string &text, const std::string &first_key)
{
    std::vector<Fields> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(first_key + "=", 0) != 0)
            continue;
        Fields fields;
        std::istringstream words(line);
        for (std::string word; words >> word;) {
            const size_t eq = word.find('=');
            if (eq != std::string::npos)
                fields[word.substr(0, eq)] = word.substr(eq + 1);
        }
        lines.push_back(fields);
    }
    return lines;
}

double number(const Fields &f, const std::string &key)
{
    auto it = f.find(key);
    return it == f.end() ? -1 : std::atof(it->second.c_str());
}

class ViewerLoad : public E2eSystem {
protected:
    void SetUp() override
    {
        if (access("/usr/bin/janus", X_OK) != 0)
            GTEST_SKIP() << "Janus is not installed (scripts/setup.sh installs janus)";
        if (std::system("/usr/bin/python3 -c 'import aiortc' 2>/dev/null") != 0)
            GTEST_SKIP() << "python3-aiortc is not installed (scripts/setup.sh installs it for the tests)";
        const std::string why = browser_network();
        if (!why.empty())
            GTEST_SKIP() << why;
        E2eSystem::SetUp();
    }

    void TearDown() override
    {
        E2eSystem::TearDown();
        if (janus_started_) {
            E2eProcess stop;
            if (e2e_spawn(&stop, "janus-stop", VISTREL_SOURCE_DIR "/scripts/janus.sh", {"stop", kJanusDir}) == 0)
                e2e_wait_exit(&stop, 20000);
            if (HasFailure())
                std::fprintf(stderr, "--- janus ---\n%s\n", browser_tail("/tmp/janus/janus.log", 3000).c_str());
        }
    }

    void start_janus()
    {
        janus_started_ = true;
        E2eProcess script;
        ASSERT_EQ(e2e_spawn(&script, "janus-start", VISTREL_SOURCE_DIR "/scripts/janus.sh",
                            {"start", kJanusDir, "--codec", "h264", "--page-port", "0"}),
                  0);
        ASSERT_TRUE(e2e_wait_exit(&script, 20000) && e2e_exited_with(&script, 0)) << e2e_stderr(&script);
        std::ifstream token_file(std::string(kJanusDir) + "/viewer.token");
        std::getline(token_file, token_);
        ASSERT_FALSE(token_.empty()) << "janus.sh made no viewing token";
    }

    // Runs the receivers with args and the token; their standard output.
    std::string run_viewers(std::vector<std::string> args, const std::string &token, int timeout_ms)
    {
        // The viewers stand in for other machines: at a lower priority they
        // leave capture the processor that remote viewers would not take.
        args.insert(args.begin(), {"-n", "10", "/usr/bin/python3", kReceivers, "--api", "http://127.0.0.1:8088/janus",
                                   "--token", token});
        E2eProcess viewers;
        EXPECT_EQ(e2e_spawn(&viewers, "viewers", "/usr/bin/nice", args), 0);
        EXPECT_TRUE(e2e_wait_exit(&viewers, timeout_ms)) << "the viewers did not finish";
        EXPECT_TRUE(e2e_exited_with(&viewers, 0)) << e2e_stderr(&viewers);
        return e2e_stdout(&viewers);
    }

    bool janus_started_ = false;
    std::string token_;
};

}  // namespace

// A viewer without the token is refused. Capture at 30 fps alone for ten
// seconds, then for 40 s with 20 viewers that join 0.2 s apart and stay
// and waves of 4 that join and leave every five seconds, then alone again
// for ten: every viewer gets at least 95% of the frames the relay forwarded
// from its first to its last, capture's rate with the viewers stays within
// 5% of its rate alone (before and after, which agree within 5%), and the
// joins cost at most 4 key frames in any one second (the relay holds
// viewers' key-frame requests 250 ms apart).
TEST_F(ViewerLoad, DozensOfViewersGetTheFramesWithoutSlowingCapture)
{
    start_janus();
    ASSERT_EQ(e2e_start_relay(&relay_, {"--query-config", "--udp-port", "5004", "--janus-port", "5006", "--janus-api",
                                        "8088", "--janus-token-file", std::string(kJanusDir) + "/relay.token"}),
              0);
    ASSERT_EQ(e2e_start_capture(&capture_, {"-m", "compatible", "-f", "30"}), 0);
    ASSERT_TRUE(e2e_wait_for_text(&relay_, "[Relay] stream 1:", 15000, true)) << logs(capture_);
    // The compatible mode lowers its rate quickly and raises it slowly: the
    // start-up's stalls are behind it before the rate alone is measured.
    e2e_sleep_ms(8000);

    // Without the viewing token Janus lets no one in.
    const auto refused =
        lines_with(run_viewers({"--viewers", "1", "--seconds", "1"}, "not-the-token", 20000), "viewer");
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].count("frames") ? refused[0].at("frames") : "", "0");
    EXPECT_NE(refused[0].count("error") ? refused[0].at("error") : "", "") << "a viewer without the token got in";

    const std::string out = run_viewers({"--reference",  "5004",
                                         "--idle",       "10",
                                         "--idle-after", "10",
                                         "--viewers",    std::to_string(kSteadyViewers),
                                         "--join-gap",   "0.2",
                                         "--seconds",    "40",
                                         "--waves",      std::to_string(kWaves),
                                         "--wave-size",  std::to_string(kWaveSize),
                                         "--wave-stay",  "3",
                                         "--wave-every", "5"},
                                        token_, 120000);
    const auto summaries = lines_with(out, "idle_fps");
    ASSERT_EQ(summaries.size(), 1u) << out;
    const Fields &s = summaries[0];
    const auto each = lines_with(out, "viewer");
    // As many waves as fit after the steady viewers play, one at least.
    ASSERT_GE(each.size(), size_t(kSteadyViewers + kWaveSize)) << out;
    const int waves = int(each.size() - kSteadyViewers) / kWaveSize;

    std::vector<double> ratios;
    for (const Fields &v : each) {
        EXPECT_EQ(v.count("error"), 0u) << "viewer " << v.at("viewer") << ": " << v.at("error");
        EXPECT_GE(number(v, "ratio"), 0.95) << "viewer " << v.at("viewer") << " (" << v.at("kind") << ") got "
                                            << number(v, "received") << " frames of " << number(v, "expected");
        ratios.push_back(number(v, "ratio"));
    }
    std::sort(ratios.begin(), ratios.end());
    // The rate without viewers: before they came and after they left.
    const double idle = (number(s, "idle_fps") + number(s, "after_fps")) / 2;
    const double watched = number(s, "viewers_fps");
    std::fprintf(stderr,
                 "[viewers] %zu viewers (%d steady): frames received min %.3f median %.3f of the relay's; capture "
                 "%.2f fps alone (%.2f before, %.2f after), %.2f with viewers; key frames %d, at most %d in a "
                 "second; first frame within %.0f ms\n",
                 each.size(), kSteadyViewers, ratios.front(), ratios[ratios.size() / 2], idle, number(s, "idle_fps"),
                 number(s, "after_fps"), watched, int(number(s, "key_frames")), int(number(s, "key_frames_max_per_s")),
                 number(s, "first_frame_max_ms"));

    const auto timeline = lines_with(out, "reference_fps_by_second");
    const std::string per_second = timeline.empty() ? "" : timeline[0].at("reference_fps_by_second");
    EXPECT_GT(idle, 10) << "capture hardly ran without viewers";
    // A rate that moved between before and after the viewers (a busy machine,
    // or a drop that never recovered) is no baseline to compare with.
    EXPECT_NEAR(number(s, "after_fps"), number(s, "idle_fps"), 0.05 * number(s, "idle_fps"))
        << "capture's rate without viewers differs before and after them; frames per second: " << per_second;
    EXPECT_NEAR(watched, idle, 0.05 * idle)
        << "capture's rate changed with the viewers; frames per second: " << per_second;
    EXPECT_LE(number(s, "key_frames_max_per_s"), 4);

    e2e_stop(&relay_, SIGTERM, 10000);
    auto summary = e2e_values(e2e_stdout(&relay_));
    EXPECT_EQ(summary["forward_errors"], "0");
    // Every wave's joins asked for a key frame, and so did the steady viewers'.
    EXPECT_GT(std::atoi(summary["feedback_idr_records"].c_str()), waves);
}
