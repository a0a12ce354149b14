// Long runs against the real programs: what a process holds (descriptors,
// threads, resident memory) must be the same after thousands of sessions,
// hostile lines or control records as after a short warm-up.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/e2e/system_fixture.h"
#include "tests/helper/helper_process.h"

namespace {

struct Holdings {
    int fds = -1;
    int threads = -1;
    long rss_kb = -1;
};

Holdings holdings(pid_t pid)
{
    Holdings h;
    HelperProcess process;  // any process: the counters only read /proc/PID
    process.pid = pid;
    h.fds = helper_fd_count(process);
    h.threads = helper_thread_count(process);
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            h.rss_kb = std::stol(line.substr(6));
    return h;
}

// Samples until the descriptor and thread counts stop falling (the helper
// closes a session's last copies just after its replies), at most 3 s.
Holdings settled(pid_t pid)
{
    Holdings last = holdings(pid);
    for (int i = 0; i < 30; ++i) {
        usleep(100 * 1000);
        const Holdings now = holdings(pid);
        if (now.fds == last.fds && now.threads == last.threads)
            return now;
        last = now;
    }
    return last;
}

void report(const char *what, const Holdings &before, const Holdings &after)
{
    std::printf("[ soak ] %s: descriptors %d -> %d, threads %d -> %d, resident %ld -> %ld KiB\n", what, before.fds,
                after.fds, before.threads, after.threads, before.rss_kb, after.rss_kb);
}

// Resident memory may move by allocator noise, not by what a leak of one
// session, line or record per iteration would add over thousands of them.
constexpr long kRssSlackKb = 4096;

void expect_flat(const Holdings &before, const Holdings &after)
{
    EXPECT_EQ(after.fds, before.fds);
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_LE(after.rss_kb, before.rss_kb + kRssSlackKb);
}

class HelperSoak : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(helper_start(&helper_, "1"), 0) << helper_log(helper_); }
    void TearDown() override { helper_kill(&helper_); }

    // One session: connect, target twice (the second re-targets, stopping
    // the first event service), connect the event socket, take a frame.
    void session(bool read_one_event)
    {
        UniqueFD client = command_connect();
        ASSERT_TRUE(client.valid());
        Reply reply;
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(request(client.get(), "SET_TARGET /dev/dri/card1 dp-3", &reply), 0);
            ASSERT_EQ(reply.text, "OK\n");
        }
        UniqueFD events = event_connect();
        ASSERT_TRUE(events.valid());
        if (read_one_event) {
            VBlankEvent event{};
            ASSERT_EQ(read_event(events.get(), &event), ssize_t(sizeof event));
        }
        ASSERT_EQ(request(client.get(), "GET_FRAME", &reply), 0);
        ASSERT_EQ(reply.fds.size(), 1u);
    }

    HelperProcess helper_;
};

TEST_F(HelperSoak, TenThousandReconnectAndRetargetCycles)
{
    for (int i = 0; i < 100; ++i)
        ASSERT_NO_FATAL_FAILURE(session(i == 0));
    const Holdings before = settled(helper_.pid);
    for (int i = 0; i < 10000; ++i)
        ASSERT_NO_FATAL_FAILURE(session(i % 500 == 0)) << "cycle " << i;
    const Holdings after = settled(helper_.pid);
    report("helper, 10000 sessions of two targets, an event connection and a frame", before, after);
    expect_flat(before, after);
}

// Lines of every kind a careless or hostile client sends, each with the
// reply it must get; an over-long line ends the connection without one.
TEST_F(HelperSoak, HundredThousandHostileLines)
{
    std::mt19937 random(18);
    auto garbage = [&](size_t max) {
        std::string s(1 + random() % max, ' ');
        for (char &c : s) {
            c = char(1 + random() % 255);
            if (c == '\n')
                c = '#';
        }
        return s;
    };
    const std::string refused_path = "ERROR: Cannot open DRM device\n";
    const std::string no_connector = "ERROR: Cannot update state\n";
    const std::string no_target = "ERROR: No target set. Call SET_TARGET first\n";

    UniqueFD client;
    bool targeted = false;
    Holdings before;
    int lines = 0, reconnects = 0;
    std::vector<std::string> expected;
    std::string batch;
    auto flush = [&] {
        ASSERT_EQ(send_all(client.get(), batch), 0);
        for (const std::string &want : expected) {
            Reply reply;
            ASSERT_EQ(read_reply(client.get(), &reply), 0) << "line " << lines;
            if (want == "<frame>") {
                ASSERT_EQ(reply.header.error, 0u);
                ASSERT_EQ(reply.fds.size(), 1u);
            } else {
                ASSERT_EQ(reply.text, want) << "line " << lines;
            }
        }
        batch.clear();
        expected.clear();
    };
    for (int i = 0; i < 100000; ++i) {
        if (i == 1000) {
            // The first sample, like the last, with no connection open.
            ASSERT_NO_FATAL_FAILURE(flush());
            client.reset();
            ASSERT_TRUE(helper_wait_for_text(helper_, "[Helper Server] 客户端已断开。", 10000, reconnects));
            before = settled(helper_.pid);
        }
        if (!client.valid()) {
            client = command_connect();
            ASSERT_TRUE(client.valid());
            targeted = false;
            ++reconnects;
        }
        const unsigned kind = random() % 100;
        if (kind == 0) {
            // 300 bytes without a newline: the connection ends, no reply.
            ASSERT_NO_FATAL_FAILURE(flush());
            batch = "X" + std::string(299, 'y') + "\n";
            ASSERT_EQ(send_all(client.get(), batch), 0);
            batch.clear();
            ASSERT_TRUE(closes_without_reply(client.get(), 5000)) << "line " << i;
            client.reset();
        } else if (kind < 40) {
            batch += "X" + garbage(200) + "\n";
            expected.push_back("ERROR: Unknown command\n");
        } else if (kind < 50) {
            batch += "SET_TARGET " + std::string(1, char('a' + random() % 26)) + "\n";
            expected.push_back("ERROR: SET_TARGET needs 2 args\n");
        } else if (kind < 60) {
            batch += "SET_TARGET /dev/" + std::to_string(random()) + " dp-3 extra\n";
            expected.push_back(refused_path);
        } else if (kind < 70) {
            batch += "SET_TARGET /dev/dri/card1 nodash" + std::to_string(random()) + "\r\n";
            expected.push_back(no_connector);
        } else if (kind < 75) {
            batch += "SET_TARGET /dev/dri/card1 zz-" + std::to_string(random() % 9) + "\n";
            expected.push_back(refused_path);
        } else if (kind < 77) {
            batch += "SET_TARGET /dev/dri/card1 dp-3\n";
            expected.push_back("OK\n");
            targeted = true;
        } else if (kind < 90) {
            batch += "GET_FRAME junk\n";
            expected.push_back(targeted ? "<frame>" : no_target);
        } else {
            batch += "\n \t \r\n";  // blank lines: no reply
        }
        ++lines;
        if (expected.size() >= 100 || batch.size() > 16384) {
            ASSERT_NO_FATAL_FAILURE(flush());
        }
    }
    ASSERT_NO_FATAL_FAILURE(flush());
    client.reset();
    ASSERT_TRUE(helper_wait_for_text(helper_, "[Helper Server] 客户端已断开。", 10000, reconnects));
    const Holdings after = settled(helper_.pid);
    std::printf("[ soak ] %d hostile lines over %d connections\n", lines, reconnects);
    report("helper, hostile lines", before, after);
    expect_flat(before, after);
}

// The balanced worker at 1280x720 under control records that act on the
// running encoder or change nothing: bit rates, key frames, CONFIG
// queries, SDPs, malformed and unknown records.
class CaptureSoak : public E2eSystem {};

TEST_F(CaptureSoak, FiveThousandControlRecords)
{
    ASSERT_EQ(e2e_start_relay(&relay_, {"--udp-port", "0"}), 0);
    ASSERT_EQ(e2e_start_capture(&capture_, {"-m", "balanced", "-s", "0", "-f", "15"}), 0);
    ASSERT_TRUE(e2e_wait_for_text(&capture_, "[GL+CPU] Frame ", 20000, true)) << logs(capture_);
    const pid_t worker = e2e_wait_child(capture_.pid, 1000);
    ASSERT_GT(worker, 0);

    const std::vector<std::string> records = {
        "BPS:2000000",
        "IDR",
        "CONFIG",
        "SDP:v=0\\r\\ns=soak\\r\\n",
        "RESOLUTION:bogus",
        "CODEC:none",
        "MODE:",
        "HELLO",
        "BPS:-5",
        "RESOLUTION:12",
        "BPS:1500000",
        "MODE:x",
        "CODEC:" + std::string(100, 'z'),
        "BPS:" + std::string(50, '9'),
    };
    int configs = 0;
    auto send = [&](int count) {
        for (int i = 0; i < count; ++i) {
            const std::string &r = records[size_t(i) % records.size()];
            configs += r == "CONFIG";
            ASSERT_EQ(e2e_send_line(&relay_, r), 0);
            if (i % 50 == 49)
                e2e_sleep_ms(20);  // the relay's standard input is a pipe
        }
    };
    ASSERT_NO_FATAL_FAILURE(send(280));
    ASSERT_TRUE(e2e_wait_for_text(&capture_, "CONFIG query received", 30000, true, configs));
    const Holdings before = settled(worker);
    ASSERT_NO_FATAL_FAILURE(send(5000));
    ASSERT_TRUE(e2e_wait_for_text(&capture_, "CONFIG query received", 120000, true, configs))
        << "not every record reached the worker";
    e2e_sleep_ms(1000);
    const Holdings after = settled(worker);
    report("capture worker, 5000 control records", before, after);
    EXPECT_EQ(e2e_children(capture_.pid).size(), 1u) << "the worker restarted";
    expect_flat(before, after);
}

}  // namespace
