// The relay's event loop: the RTP socket, the control connections,
// standard input and the decoding sessions, until a signal or a limit.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "libs/common/unique_fd.h"
#include "libs/common/unix_socket.h"
#include "tools/relay/decoder.h"
#include "tools/relay/relay_feedback.h"
#include "tools/relay/relay_janus.h"
#include "tools/relay/relay_loop.h"
#include "tools/relay/relay_summary.h"
#include "tools/relay/relay_text.h"
#include "tools/relay/rtp_check.h"
#include "libs/common/relay_protocol.h"

namespace {

constexpr const char *kRtpPath = relay_protocol::kRtpSocketPath;
constexpr const char *kControlPath = relay_protocol::kControlSocketPath;
constexpr size_t kBacklogBytes = 2u << 20;

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    return a;
}

// host is a dotted IPv4 address (the options resolved it).
sockaddr_in ipv4(const std::string &host, int port)
{
    sockaddr_in a = loopback(port);
    inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    return a;
}

// One Janus server: RTP goes to rtp_addr; the feedback socket sends RTCP to
// rtcp_addr and receives that server's viewers' feedback.
struct JanusLink {
    RelayJanusServer server;
    sockaddr_in rtp_addr{}, rtcp_addr{};
    UniqueFD feedback;
    int64_t last_rtcp_out_ns = 0;
    RelayJanusKeeperPtr keeper;  // with an API address
    uint64_t remakes_seen = 0;   // the keeper's count the loop last saw
};

int64_t now_ns(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

UniqueFD bind_unix(const char *path, int type)
{
    UnixBindOptions options;
    options.flags = SOCK_NONBLOCK;
    options.backlog = type == SOCK_SEQPACKET ? 8 : -1;
    const char *failed = nullptr;
    UniqueFD fd = unix_bind(path, type, options, &failed);
    if (!fd)
        std::fprintf(stderr, "[Relay] %s %s: %s\n", failed ? failed : "socket", path, strerror(errno));
    return fd;
}

struct Datagram {
    std::vector<uint8_t> bytes;
    uint32_t timestamp;
    int64_t arrival_ns;
};

class Relay {
public:
    explicit Relay(RelayOptions o) : opt_(std::move(o)) {}
    int run();

private:
    bool decoding() const { return relay_options_decoding(opt_); }
    void write_sdp();
    void on_datagram(const uint8_t *data, size_t size, int64_t arrival_ns);
    void start_session(bool replay);
    void retire_session(bool hard);
    void collect(RelayDecoder *d, int wait_ms);
    void on_control_record(const std::string &record);
    void send_record(const std::string &record);
    void read_stdin();
    int open_feedback(size_t index);
    void send_rtcp_to_janus(JanusLink *link, const uint8_t *data, size_t size, int64_t now);
    void on_feedback(size_t index, const uint8_t *data, size_t size);
    void remake_mountpoint();
    void print_summary();

    RelayOptions opt_;
    UniqueFD rtp_, listen_, forward_;
    sockaddr_in forward_addr_{};
    std::vector<JanusLink> janus_;  // the servers fed, in the order given
    RelayFeedbackState feedback_state_;  // their feedback combined
    std::vector<UniqueFD> controls_;    // newest last; records go to the newest
    int64_t first_control_ns_ = 0;
    std::vector<bool> sent_;
    std::string stdin_buf_;
    bool stdin_open_ = true;
    int payload_type_ = 96;
    RelayColour colour_;  // the stream's, from its CONFIG reply

    RelayDecoder *session_ = nullptr;
    int session_index_ = 0;  // recording number of the current session
    int sessions_started_ = 0;
    std::vector<RelayDecoder *> retired_;
    std::vector<Datagram> backlog_;
    size_t backlog_bytes_ = 0;
    bool backlog_complete_ = true;

    RelaySummary summary_;  // counters and the decoding sessions' figures
};

void Relay::write_sdp()
{
    if (opt_.udp_port == 0 || opt_.sdp_path.empty())
        return;
    if (relay_write_file(opt_.sdp_path, relay_sdp_text(opt_.codec, payload_type_, opt_.udp_port, colour_)) != 0)
        std::fprintf(stderr, "[Relay] cannot write %s: %s\n", opt_.sdp_path.c_str(), strerror(errno));
}

void Relay::start_session(bool replay)
{
    RelayDecoderOptions d;
    d.codec = opt_.codec;
    d.payload_type = payload_type_;
    if (!opt_.record_path.empty()) {
        d.record_path = opt_.record_path;
        if (session_index_ > 0) {
            size_t slash = d.record_path.rfind('/');
            size_t dot = d.record_path.rfind('.');
            if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
                dot = d.record_path.size();
            d.record_path.insert(dot, "-" + std::to_string(session_index_));
        }
    }
    d.snapshot_path = summary_.decoded.snapshot_written ? "" : opt_.snapshot_path;
    d.snapshot_frame = opt_.snapshot_frame;
    d.latency = opt_.latency;
    d.per_frame = opt_.per_frame;
    d.bitmap_digits = opt_.bitmap_digits;
    d.source_stamp = opt_.source_stamp;
    std::string error;
    if (relay_decoder_create(&session_, &d, &error) != 0) {
        std::fprintf(stderr, "[Relay] cannot start decoding: %s\n", error.c_str());
        session_ = nullptr;
        return;
    }
    sessions_started_++;
    std::fprintf(stderr, "[Relay] decoding stream %d as %s\n", session_index_, relay_codec_rtp_name(opt_.codec));
    if (replay)
        for (const Datagram &g : backlog_)
            relay_decoder_feed(session_, g.bytes.data(), g.bytes.size(), g.timestamp, g.arrival_ns);
}

void Relay::collect(RelayDecoder *d, int wait_ms)
{
    RelayDecoderResult r;
    relay_decoder_destroy(d, wait_ms, &r);
    if (!r.error.empty())
        std::fprintf(stderr, "[Relay] decoding: %s\n", r.error.c_str());
    relay_summary_add_session(&summary_, r);
}

void Relay::retire_session(bool hard)
{
    if (!session_)
        return;
    if (hard) {
        collect(session_, 0);
    } else {
        relay_decoder_close_input(session_);
        retired_.push_back(session_);
    }
    session_ = nullptr;
}

void Relay::on_datagram(const uint8_t *data, size_t size, int64_t arrival_ns)
{
    RelayRtpHeader h;
    bool new_stream = false;
    int verdict = relay_rtp_check(&summary_.rtp, data, size, arrival_ns, &h, &new_stream);
    if (verdict == RELAY_RTP_CONTROL) {
        if (opt_.udp_port != 0)
            sendto(forward_.get(), data, size, 0, reinterpret_cast<sockaddr *>(&forward_addr_), sizeof(forward_addr_));
        for (JanusLink &link : janus_)
            send_rtcp_to_janus(&link, data, size, now_ns(CLOCK_MONOTONIC));
        return;
    }
    if (verdict != RELAY_RTP_OK) {
        // Only the first few are worth a line each; the summary counts them all.
        uint64_t bad = summary_.rtp.bad_version + summary_.rtp.oversize + summary_.rtp.malformed;
        if (bad <= 5)
            std::fprintf(stderr, "[Relay] invalid RTP datagram of %zu bytes (%d)\n", size, verdict);
        return;
    }
    if (opt_.udp_port != 0 &&
        sendto(forward_.get(), data, size, 0, reinterpret_cast<sockaddr *>(&forward_addr_), sizeof(forward_addr_)) <
            0 &&
        errno != ECONNREFUSED)
        summary_.forward_errors++;
    for (JanusLink &link : janus_)
        if (sendto(forward_.get(), data, size, 0, reinterpret_cast<sockaddr *>(&link.rtp_addr),
                   sizeof(link.rtp_addr)) < 0 &&
            errno != ECONNREFUSED)
            summary_.forward_errors++;
    if (new_stream) {
        std::fprintf(stderr, "[Relay] stream %llu: SSRC %08x, payload type %u\n",
                     static_cast<unsigned long long>(summary_.rtp.streams), h.ssrc, h.payload_type);
        if (h.payload_type != payload_type_) {
            payload_type_ = h.payload_type;
            write_sdp();
            for (JanusLink &link : janus_)
                if (link.keeper)
                    relay_janus_keeper_want(link.keeper.get(), opt_.codec, payload_type_);
        }
        backlog_.clear();
        backlog_bytes_ = 0;
        backlog_complete_ = true;
        if (decoding()) {
            if (session_)
                session_index_++;
            retire_session(false);
            start_session(false);
        }
    }
    if (!decoding())
        return;
    if (backlog_complete_) {
        if (backlog_bytes_ + size > kBacklogBytes) {
            backlog_complete_ = false;
            backlog_.clear();
            backlog_.shrink_to_fit();
        } else {
            backlog_.push_back(Datagram{std::vector<uint8_t>(data, data + size), h.timestamp, arrival_ns});
            backlog_bytes_ += size;
        }
    }
    if (session_ && relay_decoder_feed(session_, data, size, h.timestamp, arrival_ns) != 0)
        summary_.decoder_feed_errors++;
}

void Relay::send_record(const std::string &record)
{
    if (controls_.empty()) {
        std::fprintf(stderr, "[Relay] no control connection for: %s\n", relay_escape(record).c_str());
        return;
    }
    if (send(controls_.back().get(), record.data(), record.size(), MSG_NOSIGNAL) < 0) {
        std::fprintf(stderr, "[Relay] send failed: %s\n", strerror(errno));
        return;
    }
    std::printf("sent=%s\n", relay_escape(record).c_str());
    std::fflush(stdout);
}

void Relay::on_control_record(const std::string &record)
{
    summary_.replies++;
    std::printf("reply=%s\n", relay_escape(record).c_str());
    std::map<std::string, std::string> fields;
    if (relay_parse_config(record, &fields) == 0) {
        for (const auto &[k, v] : fields)
            std::printf("config.%s=%s\n", k.c_str(), v.c_str());
        auto it = fields.find("codec");
        int codec = it == fields.end() ? -1 : relay_codec_from_name(it->second);
        // A 10-bit stream's colour goes into the SDP; a codec change below
        // writes it anew anyway.
        const RelayColour colour = relay_colour_from_config(fields);
        if (!relay_colour_equal(colour, colour_)) {
            colour_ = colour;
            if (codec < 0 || codec == opt_.codec)
                write_sdp();
        }
        if (codec >= 0 && codec != opt_.codec) {
            std::fprintf(stderr, "[Relay] the stream is %s\n", relay_codec_rtp_name(codec));
            opt_.codec = codec;
            write_sdp();
            remake_mountpoint();
            if (decoding() && summary_.rtp.packets > 0) {
                // The session was guessing the wrong codec: start it again,
                // from the stream's first packet when that is still held.
                retire_session(true);
                start_session(backlog_complete_);
            }
        }
    }
    std::fflush(stdout);
}

void Relay::read_stdin()
{
    char buf[4096];
    ssize_t n = read(STDIN_FILENO, buf, sizeof(buf));
    if (n <= 0) {
        if (n == 0 || (errno != EINTR && errno != EAGAIN))
            stdin_open_ = false;
        return;
    }
    stdin_buf_.append(buf, size_t(n));
    size_t nl;
    while ((nl = stdin_buf_.find('\n')) != std::string::npos) {
        std::string line = stdin_buf_.substr(0, nl);
        stdin_buf_.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            send_record(relay_unescape(line));
    }
}

int Relay::open_feedback(size_t index)
{
    JanusLink &link = janus_[index];
    link.rtp_addr = ipv4(link.server.host, link.server.rtp_port);
    link.rtcp_addr = ipv4(link.server.host, link.server.rtcp_port);
    // On loopback for a server on this machine, else on every address.
    const bool local = (ntohl(link.rtcp_addr.sin_addr.s_addr) >> 24) == 127;
    sockaddr_in bound = loopback(0);
    if (!local)
        bound.sin_addr.s_addr = htonl(INADDR_ANY);
    link.feedback.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    socklen_t len = sizeof(bound);
    if (!link.feedback || bind(link.feedback.get(), reinterpret_cast<sockaddr *>(&bound), sizeof(bound)) != 0 ||
        getsockname(link.feedback.get(), reinterpret_cast<sockaddr *>(&bound), &len) != 0) {
        std::fprintf(stderr, "[Relay] feedback socket: %s\n", strerror(errno));
        return -1;
    }
    const unsigned port = ntohs(bound.sin_port);
    if (janus_.size() == 1) {
        std::fprintf(stderr, "[Relay] Janus mountpoint on %s:%d, RTCP %d; feedback on %s:%u\n",
                     link.server.host.c_str(), link.server.rtp_port, link.server.rtcp_port,
                     local ? "127.0.0.1" : "0.0.0.0", port);
        std::printf("feedback_port=%u\n", port);
    } else {
        std::fprintf(stderr, "[Relay] Janus %zu: mountpoint on %s:%d, RTCP %d; feedback on %s:%u\n", index + 1,
                     link.server.host.c_str(), link.server.rtp_port, link.server.rtcp_port,
                     local ? "127.0.0.1" : "0.0.0.0", port);
        // The first server's line is the one a single server prints.
        if (index == 0)
            std::printf("feedback_port=%u\n", port);
        else
            std::printf("feedback_port_%zu=%u\n", index + 1, port);
    }
    if (!link.server.api_url.empty()) {
        RelayJanusMountpoint m;
        m.id = opt_.janus_mountpoint;
        m.codec = opt_.codec;
        m.payload_type = payload_type_;
        m.iface = link.server.host;
        m.rtp_port = link.server.rtp_port;
        m.rtcp_port = link.server.rtcp_port;
        RelayJanusApi api{link.server.api_url, link.server.token_file, link.server.ca_file};
        link.keeper.reset(relay_janus_keeper_start(api, m, janus_.size() > 1));
    }
    return 0;
}

void Relay::send_rtcp_to_janus(JanusLink *link, const uint8_t *data, size_t size, int64_t now)
{
    sendto(link->feedback.get(), data, size, 0, reinterpret_cast<sockaddr *>(&link->rtcp_addr),
           sizeof(link->rtcp_addr));
    link->last_rtcp_out_ns = now;
}

void Relay::on_feedback(size_t index, const uint8_t *data, size_t size)
{
    std::vector<std::string> records;
    const uint64_t bad = feedback_state_.bad;
    relay_feedback_on_datagram(&feedback_state_, index, data, size, now_ns(CLOCK_MONOTONIC), &records);
    if (feedback_state_.bad != bad && feedback_state_.bad <= 5)
        std::fprintf(stderr, "[Relay] ignored a feedback datagram of %zu bytes that is no valid RTCP\n", size);
    for (const std::string &r : records) {
        if (janus_.size() == 1)
            std::fprintf(stderr, "[Relay] a viewer asks for %s\n", r.c_str());
        else
            std::fprintf(stderr, "[Relay] a viewer of Janus %zu asks for %s\n", index + 1, r.c_str());
        send_record(r);
    }
}

void Relay::remake_mountpoint()
{
    for (JanusLink &link : janus_) {
        if (link.keeper)
            relay_janus_keeper_want(link.keeper.get(), opt_.codec, payload_type_);
        else
            std::fprintf(stderr, "[Relay] the Janus mountpoint%s still expects the old codec (no --janus-api)\n",
                         janus_.size() > 1 ? (" at " + link.server.host).c_str() : "");
    }
}

int Relay::run()
{
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);
    UniqueFD sig(signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK));

    rtp_ = bind_unix(kRtpPath, SOCK_DGRAM);
    listen_ = bind_unix(kControlPath, SOCK_SEQPACKET);
    if (!sig || !rtp_ || !listen_)
        return 1;
    int rcvbuf = 4 << 20;
    setsockopt(rtp_.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    if (opt_.udp_port != 0 || !opt_.janus_servers.empty()) {
        forward_.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!forward_) {
            std::fprintf(stderr, "[Relay] socket: %s\n", strerror(errno));
            return 1;
        }
    }
    if (opt_.udp_port != 0) {
        forward_addr_ = loopback(opt_.udp_port);
        write_sdp();
    }
    janus_.resize(opt_.janus_servers.size());
    for (size_t i = 0; i < janus_.size(); ++i) {
        janus_[i].server = opt_.janus_servers[i];
        if (open_feedback(i) != 0)
            return 1;
    }
    sent_.assign(opt_.sends.size(), false);
    std::fprintf(stderr, "[Relay] listening on %s and %s\n", kRtpPath, kControlPath);
    std::printf("ready=1\n");
    std::fflush(stdout);

    const int64_t start = now_ns(CLOCK_MONOTONIC);
    int64_t last_datagram = 0;
    std::vector<uint8_t> buf(65536);
    bool stop = false;
    while (!stop) {
        int64_t now = now_ns(CLOCK_MONOTONIC);
        // Records that are due go out now; the next one sets the wait.
        int64_t wait_ms = 200;
        if (first_control_ns_ != 0) {
            for (size_t i = 0; i < opt_.sends.size(); ++i) {
                if (sent_[i])
                    continue;
                int64_t due = first_control_ns_ + opt_.sends[i].delay_ms * 1000000;
                if (due <= now && !controls_.empty()) {
                    send_record(opt_.sends[i].record);
                    sent_[i] = true;
                } else if (due > now) {
                    wait_ms = std::min(wait_ms, (due - now) / 1000000 + 1);
                }
            }
        }
        if (opt_.duration_s > 0 && now - start >= int64_t(opt_.duration_s * 1e9))
            break;
        for (JanusLink &link : janus_) {
            // Janus sends the feedback to whoever sent RTCP to its port last:
            // without the stream's own reports, an empty one every second.
            // A mountpoint made anew learns the address from the next report.
            const uint64_t remakes = link.keeper ? relay_janus_keeper_remakes(link.keeper.get()) : 0;
            if (now - link.last_rtcp_out_ns >= 1000000000 || remakes != link.remakes_seen) {
                link.remakes_seen = remakes;
                std::vector<uint8_t> rr = relay_rtcp_empty_report(0x56545231);
                send_rtcp_to_janus(&link, rr.data(), rr.size(), now);
            }
            wait_ms = std::min(wait_ms, (link.last_rtcp_out_ns + 1000000000 - now) / 1000000 + 1);
        }
        if (!janus_.empty()) {
            std::vector<std::string> records;
            int64_t due = relay_feedback_due(&feedback_state_, now, &records);
            for (const std::string &r : records)
                send_record(r);
            if (due >= 0)
                wait_ms = std::min(wait_ms, due / 1000000 + 1);
        }
        if (opt_.idle_exit_ms > 0 && last_datagram != 0 && now - last_datagram >= opt_.idle_exit_ms * 1000000)
            break;
        for (auto it = retired_.begin(); it != retired_.end();) {
            if (relay_decoder_done(*it)) {
                collect(*it, 0);
                it = retired_.erase(it);
            } else {
                ++it;
            }
        }

        std::vector<pollfd> fds;
        fds.push_back({sig.get(), POLLIN, 0});
        fds.push_back({rtp_.get(), POLLIN, 0});
        fds.push_back({listen_.get(), POLLIN, 0});
        fds.push_back({stdin_open_ ? STDIN_FILENO : -1, POLLIN, 0});
        for (const JanusLink &link : janus_)
            fds.push_back({link.feedback.get(), POLLIN, 0});
        const size_t first_control = fds.size();
        for (const UniqueFD &c : controls_)
            fds.push_back({c.get(), POLLIN, 0});
        if (poll(fds.data(), fds.size(), int(wait_ms)) < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "[Relay] poll: %s\n", strerror(errno));
            break;
        }
        if (fds[0].revents)
            stop = true;
        if (fds[1].revents & POLLIN) {
            // Drain what is queued: the sender blocks when a few datagrams wait.
            for (int k = 0; k < 256; ++k) {
                ssize_t n = recv(rtp_.get(), buf.data(), buf.size(), MSG_TRUNC);
                if (n < 0)
                    break;
                int64_t arrival = now_ns(CLOCK_REALTIME);
                last_datagram = now_ns(CLOCK_MONOTONIC);
                // A datagram longer than the buffer still counts with its full size.
                on_datagram(buf.data(), std::min(size_t(n), buf.size()), arrival);
                if (size_t(n) > buf.size())
                    summary_.rtp.largest = std::max<uint64_t>(summary_.rtp.largest, uint64_t(n));
            }
        }
        if (fds[2].revents & POLLIN) {
            int c;
            while ((c = accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0) {
                controls_.emplace_back(c);
                summary_.control_connections++;
                if (first_control_ns_ == 0)
                    first_control_ns_ = now_ns(CLOCK_MONOTONIC);
                std::fprintf(stderr, "[Relay] control connection %lld\n",
                             static_cast<long long>(summary_.control_connections));
                if (opt_.query_config)
                    send_record(relay_protocol::kConfig.text);
            }
        }
        if (fds[3].fd >= 0 && (fds[3].revents & (POLLIN | POLLHUP | POLLERR)))
            read_stdin();
        for (size_t j = 0; j < janus_.size(); ++j) {
            if (!(fds[4 + j].revents & POLLIN))
                continue;
            for (int k = 0; k < 64; ++k) {
                ssize_t n = recv(janus_[j].feedback.get(), buf.data(), buf.size(), MSG_TRUNC);
                if (n < 0)
                    break;
                on_feedback(j, buf.data(), size_t(n) > buf.size() ? 0 : size_t(n));
            }
        }
        // Control connections: indices from first_control match controls_ as
        // polled; one accepted above was not polled yet and waits for the next round.
        std::vector<bool> closed(fds.size() - first_control, false);
        for (size_t i = 0; i < closed.size(); ++i) {
            short ev = fds[first_control + i].revents;
            if (!ev)
                continue;
            for (;;) {
                ssize_t n = recv(controls_[i].get(), buf.data(), buf.size(), 0);
                if (n > 0) {
                    on_control_record(std::string(reinterpret_cast<char *>(buf.data()), size_t(n)));
                    continue;
                }
                if (n == 0 || (errno != EAGAIN && errno != EINTR))
                    closed[i] = true;
                break;
            }
        }
        for (size_t i = closed.size(); i-- > 0;)
            if (closed[i]) {
                std::fprintf(stderr, "[Relay] control connection closed\n");
                controls_.erase(controls_.begin() + long(i));
            }
    }

    if (session_) {
        relay_decoder_close_input(session_);
        retired_.push_back(session_);
        session_ = nullptr;
    }
    for (RelayDecoder *d : retired_)
        collect(d, 5000);
    retired_.clear();
    janus_.clear();
    print_summary();
    ::unlink(kRtpPath);
    ::unlink(kControlPath);
    return 0;
}

void Relay::print_summary()
{
    summary_.unsent_records = 0;
    for (bool s : sent_)
        summary_.unsent_records += !s;
    summary_.codec = opt_.codec;
    summary_.decoding = decoding();
    summary_.decode_sessions = sessions_started_;
    summary_.recording = !opt_.record_path.empty();
    summary_.snapshot_path = opt_.snapshot_path;
    summary_.latency = opt_.latency;
    summary_.source_stamp = opt_.source_stamp;
    summary_.feedback = !opt_.janus_servers.empty();
    summary_.feedback_state = feedback_state_;
    std::fputs(relay_summary_text(summary_).c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

int relay_run(const RelayOptions &options)
{
    Relay relay(options);
    return relay.run();
}
