// Several WebRTC servers fed by one relay: two Janus servers, each in a
// network namespace of its own joined to the test's namespace by a veth pair
// (Janus offers no loopback candidate), the relay sending both the same RTP
// and combining their viewers' feedback, and a headless Chromium page on
// each.
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "tests/e2e/browser_page.h"
#include "tests/e2e/system_fixture.h"
#include "tools/relay/relay_feedback.h"

namespace {

// One Janus server: 10.232.K.2 in its namespace, 10.232.K.1 on the test's side.
struct JanusServer {
    int number = 0;
    E2eProcess holder;  // keeps the namespace: `unshare -n sleep`
    std::string dir, addr, page;
    bool started = false;
};

std::string net_namespace(pid_t pid)
{
    char link[128] = "";
    const std::string path = "/proc/" + (pid ? std::to_string(pid) : std::string("self")) + "/ns/net";
    const ssize_t n = readlink(path.c_str(), link, sizeof(link) - 1);
    return n > 0 ? std::string(link, size_t(n)) : "";
}

// Runs a command in the namespace of pid (0: the test's own); its exit code.
int run_in(pid_t pid, const std::vector<std::string> &args, std::string *out = nullptr)
{
    std::vector<std::string> all = {"-t", std::to_string(pid), "-n"};
    all.insert(all.end(), args.begin(), args.end());
    E2eProcess p;
    const int spawned = pid ? e2e_spawn(&p, "nsenter", "/usr/bin/nsenter", all)
                            : e2e_spawn(&p, "command", args[0], {args.begin() + 1, args.end()});
    if (spawned != 0 || !e2e_wait_exit(&p, 30000))
        return -1;
    if (out)
        *out = e2e_stdout(&p);
    if (!e2e_exited_with(&p, 0)) {
        std::fprintf(stderr, "%s: %s\n", args[0].c_str(), e2e_stderr(&p).c_str());
        return 1;
    }
    return 0;
}

// Milliseconds from a page's join; -1: did not come.
struct KeyFrameTimes {
    long long join_to_ask = -1;      // Janus's first key-frame request reaches the relay's side
    long long join_to_relay = -1;    // the relay's "sent=IDR"
    long long join_to_capture = -1;  // capture's "[App] Forcing IDR frame"
    long long ask_to_capture = -1;   // from Janus's first request to capture's log
};

// A packet socket on the test's end of a veth pair, stamping each packet
// with its arrival time.
UniqueFD open_sniffer(const std::string &interface)
{
    UniqueFD fd(socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_IP)));
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_IP);
    at.sll_ifindex = int(if_nametoindex(interface.c_str()));
    const int on = 1;
    if (!fd || bind(fd.get(), reinterpret_cast<sockaddr *>(&at), sizeof(at)) != 0 ||
        setsockopt(fd.get(), SOL_SOCKET, SO_TIMESTAMP, &on, sizeof(on)) != 0)
        return UniqueFD();
    return fd;
}

// Appends the arrival times (wall-clock ms) of the queued RTCP datagrams
// from Janus (address `from`, its mountpoint's RTCP port 5007) that ask for
// a key frame.
void read_key_frame_requests(int fd, in_addr_t from, std::vector<long long> *times)
{
    uint8_t packet[2048];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timeval))];
    for (;;) {
        iovec io{packet, sizeof(packet)};
        msghdr m{};
        m.msg_iov = &io;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof(control);
        const ssize_t n = recvmsg(fd, &m, 0);
        if (n < 0)
            return;
        const size_t header = size_t(packet[0] & 15) * 4;
        if (size_t(n) < header + 8 || packet[9] != IPPROTO_UDP || std::memcmp(packet + 12, &from, 4) != 0 ||
            (packet[header] << 8 | packet[header + 1]) != 5007)
            continue;
        RelayRtcpFeedback f;
        if (relay_rtcp_parse(packet + header + 8, size_t(n) - header - 8, &f) != 0 || f.picture_loss + f.full_intra == 0)
            continue;
        long long at = e2e_wall_ms();
        for (cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP) {
                timeval tv;
                std::memcpy(&tv, CMSG_DATA(c), sizeof(tv));
                at = (long long)tv.tv_sec * 1000 + tv.tv_usec / 1000;
            }
        times->push_back(at);
    }
}

class TwoJanusServers : public E2eSystem {
protected:
    void SetUp() override
    {
        std::string why = browser_environment();
        if (!why.empty())
            GTEST_SKIP() << why;
        if (access("/usr/bin/nsenter", X_OK) != 0 || access("/usr/bin/unshare", X_OK) != 0)
            GTEST_SKIP() << "nsenter or unshare (util-linux) is missing";
        E2eSystem::SetUp();
    }

    void TearDown() override
    {
        if (HasFailure())
            browser_print_figures(pages_);
        pages_.clear();
        E2eSystem::TearDown();
        for (JanusServer &s : servers_) {
            if (!s.started)
                continue;
            run_in(s.holder.pid, {std::string(VISTREL_SOURCE_DIR) + "/scripts/janus.sh", "stop", s.dir});
            if (HasFailure())
                std::fprintf(stderr, "--- janus %d ---\n%s\n", s.number,
                             browser_tail(s.dir + "/janus.log", 3000).c_str());
        }
    }

    // Makes server k's namespace and veth pair, and starts Janus and the
    // page server there with the mountpoint listening on its address.
    void start_server(JanusServer *s, int k)
    {
        s->number = k;
        s->addr = "10.232." + std::to_string(k) + ".2";
        s->dir = "/tmp/janus-" + std::to_string(k);
        ASSERT_EQ(e2e_spawn(&s->holder, "netns-" + std::to_string(k), "/usr/bin/unshare", {"-n", "sleep", "3600"}), 0);
        const std::string ours = net_namespace(0);
        for (int i = 0; i < 200 && net_namespace(s->holder.pid) == ours; ++i)
            e2e_sleep_ms(10);
        ASSERT_NE(net_namespace(s->holder.pid), ours) << "unshare made no namespace";
        const std::string near = "vj" + std::to_string(k) + "a", far = "vj" + std::to_string(k) + "b";
        const std::string pid = std::to_string(s->holder.pid);
        const std::string prefix = "10.232." + std::to_string(k);
        ASSERT_EQ(run_in(0, {"/bin/sh", "-c",
                             "ip link add " + near + " type veth peer name " + far + " netns " + pid +
                                 " && ip addr add " + prefix + ".1/24 dev " + near + " && ip link set " + near +
                                 " up"}),
                  0);
        ASSERT_EQ(run_in(s->holder.pid, {"sh", "-c",
                                         "ip link set lo up && ip addr add " + s->addr + "/24 dev " + far +
                                             " && ip link set " + far + " up"}),
                  0);
        s->started = true;
        std::string out;
        ASSERT_EQ(run_in(s->holder.pid,
                         {std::string(VISTREL_SOURCE_DIR) + "/scripts/janus.sh", "start", s->dir, "--bind", s->addr,
                          "--rtp-addr", s->addr},
                         &out),
                  0);
        s->page = e2e_values(out)["page"];
        ASSERT_NE(s->page, "") << out;
    }

    // The relay feeding both servers, with extra args.
    void start_relay()
    {
        std::vector<std::string> args = {"--query-config", "--udp-port", "0"};
        for (JanusServer &s : servers_) {
            args.insert(args.end(), {"--janus", s.addr + ":5006", "--janus-api", "8088"});
            // Where the script makes a relay secret, the relay sends it.
            if (access((s.dir + "/relay.token").c_str(), R_OK) == 0)
                args.insert(args.end(), {"--janus-token-file", s.dir + "/relay.token"});
        }
        ASSERT_EQ(e2e_start_relay(&relay_, args), 0);
    }

    BrowserPage *open_page(const JanusServer &s)
    {
        pages_.push_back(std::make_unique<BrowserPage>());
        BrowserPage *p = pages_.back().get();
        EXPECT_EQ(browser_open(p, "page" + std::to_string(pages_.size()), s.page), 0);
        return p;
    }

    // Opens a page on server s and watches, every 5 ms, for the key-frame
    // requests that Janus sends the relay (caught on the veth pair with the
    // kernel's arrival time), the relay's "sent=IDR" and capture's log of
    // it. Fills the milliseconds from the page's join (its watch request) to
    // the first of each after it, and from Janus's first request to the key
    // frame at capture; -1 for what did not come within 15 s.
    void join_and_time_key_frame(const JanusServer &s, KeyFrameTimes *t)
    {
        UniqueFD sniffer = open_sniffer("vj" + std::to_string(s.number) + "a");
        ASSERT_TRUE(sniffer.valid()) << "cannot watch the veth pair: " << strerror(errno);
        in_addr janus{};
        inet_pton(AF_INET, s.addr.c_str(), &janus);
        std::vector<long long> asked, sent, forced;
        int sent_seen = e2e_count(e2e_stdout(&relay_), "sent=IDR");
        int forced_seen = e2e_count(e2e_stderr(&capture_), "[App] Forcing IDR frame");
        BrowserPage *page = open_page(s);
        long long join = 0, next_look = 0;
        const auto first_after = [](const std::vector<long long> &times, long long from) {
            for (long long t : times)
                if (from > 0 && t >= from)
                    return t;
            return -1LL;
        };
        for (const long long end = e2e_now_ms() + 15000; e2e_now_ms() < end; e2e_sleep_ms(5)) {
            const long long now = e2e_wall_ms();
            read_key_frame_requests(sniffer.get(), janus.s_addr, &asked);
            for (int n = e2e_count(e2e_stdout(&relay_), "sent=IDR"); sent_seen < n; ++sent_seen)
                sent.push_back(now);
            for (int n = e2e_count(e2e_stderr(&capture_), "[App] Forcing IDR frame"); forced_seen < n; ++forced_seen)
                forced.push_back(now);
            if (join == 0 && now >= next_look) {
                join = (long long)browser_number(browser_figures(page), "join_at");
                next_look = now + 100;
            }
            const long long ask = first_after(asked, join);
            if (first_after(sent, join) >= 0 && first_after(forced, ask) >= 0)
                break;
        }
        ASSERT_GT(join, 0) << "the page never joined: " << browser_figures_line(page);
        const auto since = [](long long at, long long from) { return at < 0 || from < 0 ? -1 : at - from; };
        const long long ask = first_after(asked, join);
        t->join_to_ask = since(ask, join);
        t->join_to_relay = since(first_after(sent, join), join);
        t->join_to_capture = since(first_after(forced, join), join);
        t->ask_to_capture = since(first_after(forced, ask), ask);
    }

    JanusServer servers_[2];
    std::vector<std::unique_ptr<BrowserPage>> pages_;
};

}  // namespace

// One relay feeds both servers: a page on each plays; a viewer joining on
// either makes the relay ask capture for a key frame at once; both servers'
// feedback reaches the relay and is combined; one server gone leaves the
// other's page playing.
TEST_F(TwoJanusServers, OneRelayFeedsBothAndEitherJoinBringsAKeyFrame)
{
    ASSERT_NO_FATAL_FAILURE(start_server(&servers_[0], 1));
    ASSERT_NO_FATAL_FAILURE(start_server(&servers_[1], 2));
    ASSERT_NO_FATAL_FAILURE(start_relay());
    ASSERT_EQ(e2e_start_capture(&capture_, {"-m", "compatible"}), 0);
    ASSERT_TRUE(e2e_wait_for_text(&relay_, "[Relay] stream 1:", 15000, true)) << logs(capture_);
    e2e_sleep_ms(500);  // past the start's own key frame and its spacing

    for (int k = 0; k < 2; ++k) {
        KeyFrameTimes t;
        ASSERT_NO_FATAL_FAILURE(join_and_time_key_frame(servers_[k], &t));
        std::fprintf(stderr,
                     "[browser] Janus %d: after the join, Janus asks for a key frame at %lld ms, the relay sends "
                     "IDR at %lld ms, capture forces it at %lld ms: %lld ms after Janus asked\n",
                     k + 1, t.join_to_ask, t.join_to_relay, t.join_to_capture, t.ask_to_capture);
        ASSERT_TRUE(browser_wait_playing(pages_[k].get(), 60, 20000))
            << "Janus " << k + 1 << ": " << browser_figures_line(pages_[k].get());
        // The join includes the WebRTC set-up (ICE, DTLS) before Janus asks;
        // from its request on, the key frame is the relay's doing.
        EXPECT_GE(t.join_to_ask, 0) << "Janus " << k + 1 << " asked for no key frame";
        EXPECT_GE(t.ask_to_capture, 0) << "no key frame at capture after Janus " << k + 1 << " asked";
        EXPECT_LE(t.ask_to_capture, 250) << "the key frame request from Janus " << k + 1 << " came late";
        EXPECT_LE(t.join_to_capture, 1000) << "the key frame came late after the join on Janus " << k + 1;
    }
    const std::string relay_log = e2e_stderr(&relay_);
    EXPECT_NE(relay_log.find("[Relay] a viewer of Janus 1 asks for IDR"), std::string::npos);
    EXPECT_NE(relay_log.find("[Relay] a viewer of Janus 2 asks for IDR"), std::string::npos);
    for (auto &p : pages_) {
        auto f = browser_figures(p.get());
        std::fprintf(stderr, "[browser] %s: %s\n", p->name.c_str(), browser_figures_line(p.get()).c_str());
        EXPECT_EQ(f["size"], "1280x720");
    }

    // Janus 2 gone: the relay and the page on Janus 1 go on.
    std::ifstream pidfile(servers_[1].dir + "/janus.pid");
    pid_t janus = 0;
    pidfile >> janus;
    ASSERT_GT(janus, 0);
    ASSERT_EQ(kill(janus, SIGKILL), 0);
    const long frames = (long)browser_number(browser_figures(pages_[0].get()), "frames");
    EXPECT_TRUE(browser_wait_playing(pages_[0].get(), frames + 60, 10000)) << browser_figures_line(pages_[0].get());
    EXPECT_FALSE(e2e_reap(&relay_)) << "the relay ended with a server gone";

    pages_.clear();
    e2e_stop(&relay_, SIGTERM, 10000);
    auto summary = e2e_values(e2e_stdout(&relay_));
    EXPECT_EQ(summary["feedback_bad"], "0");
    EXPECT_EQ(summary["forward_errors"], "0");
    EXPECT_GE(std::atoi(summary["feedback_remb"].c_str()), 1);
    EXPECT_GE(std::atoi(summary["feedback_bps_records"].c_str()), 1);
}
