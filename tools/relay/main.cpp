// vistrel-relay: the local peer of the capture program's streamer. See --help.
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
#include "tools/relay/decoder.h"
#include "tools/relay/relay_text.h"
#include "tools/relay/rtp_check.h"

namespace {

constexpr const char *kRtpPath = "/tmp/rtp.sock";
constexpr const char *kControlPath = "/tmp/rtcp.sock";
constexpr size_t kBacklogBytes = 2u << 20;

const char kUsage[] =
    "Usage: vistrel-relay [options]\n"
    "\n"
    "Receives the capture program's RTP datagrams on /tmp/rtp.sock, checks and\n"
    "counts them, accepts its control connections on /tmp/rtcp.sock, and prints\n"
    "a key=value summary on standard output when it ends.\n"
    "\n"
    "Options:\n"
    "  --codec NAME         codec of the stream: h264 (default), h265, vp8, vp9, av1;\n"
    "                       a CONFIG reply naming another codec replaces it\n"
    "  --send MS:RECORD     send RECORD on the control connection MS milliseconds\n"
    "                       after the first one was accepted (repeatable; \\n, \\r,\n"
    "                       \\t, \\\\ and \\xHH escapes are turned into bytes)\n"
    "  --query-config       send CONFIG on every new control connection\n"
    "  --udp-port N         forward every datagram to 127.0.0.1:N (default 5004, 0: off)\n"
    "  --sdp FILE           SDP file describing the forwarded stream\n"
    "                       (default /tmp/vistrel-relay.sdp)\n"
    "  --record FILE        record the stream through FFmpeg's RTP demuxer; the\n"
    "                       container follows the extension (.mkv, .mp4, .h264, ...);\n"
    "                       a later stream (new SSRC) goes to FILE-N.ext\n"
    "  --snapshot FILE.png  save one decoded frame as PNG\n"
    "  --snapshot-frame N   which decoded frame to save (default 0)\n"
    "  --latency            decode every frame and read its time watermark\n"
    "  --per-frame          with --latency, one frame_latency line per frame\n"
    "  --watermark KIND     the watermark's digits: segments (default, the GPU\n"
    "                       modes) or bitmap (the compatible mode's font)\n"
    "  --duration SECONDS   stop after this long (default: until SIGINT/SIGTERM)\n"
    "  --idle-exit MS       stop MS milliseconds after the last datagram\n"
    "  --help               show this text\n"
    "\n"
    "Each line on standard input is sent as one control record (same escapes).\n"
    "Standard output: ready=1 once both sockets listen, sent=RECORD, reply=RECORD and config.KEY=VALUE lines for\n"
    "control traffic, frame_latency lines, then the summary. Messages go to\n"
    "standard error.\n";

struct Options {
    int codec = RELAY_CODEC_H264;
    std::vector<RelayScheduledRecord> sends;
    bool query_config = false;
    int udp_port = 5004;
    std::string sdp_path = "/tmp/vistrel-relay.sdp";
    std::string record_path;
    std::string snapshot_path;
    int64_t snapshot_frame = 0;
    bool latency = false;
    bool per_frame = false;
    bool bitmap_digits = false;
    double duration_s = 0;
    int64_t idle_exit_ms = 0;
};

int64_t now_ns(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool parse_int(const char *text, int64_t min, int64_t max, int64_t *out)
{
    char *end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (errno || end == text || *end || v < min || v > max)
        return false;
    *out = v;
    return true;
}

// Returns 0 to run, 1 after --help, -1 on a bad command line.
int parse_options(int argc, char **argv, Options *o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char **v) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "[Relay] %s needs a value\n", a.c_str());
                return false;
            }
            *v = argv[++i];
            return true;
        };
        const char *v = nullptr;
        int64_t n = 0;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 1;
        } else if (a == "--codec") {
            if (!value(&v)) return -1;
            o->codec = relay_codec_from_name(v);
            if (o->codec < 0) {
                std::fprintf(stderr, "[Relay] unknown codec: %s\n", v);
                return -1;
            }
        } else if (a == "--send") {
            if (!value(&v)) return -1;
            RelayScheduledRecord r;
            if (relay_parse_send(v, &r) != 0) {
                std::fprintf(stderr, "[Relay] --send wants MS:RECORD, got: %s\n", v);
                return -1;
            }
            o->sends.push_back(r);
        } else if (a == "--query-config") {
            o->query_config = true;
        } else if (a == "--udp-port") {
            if (!value(&v) || !parse_int(v, 0, 65535, &n)) {
                std::fprintf(stderr, "[Relay] --udp-port wants a port number\n");
                return -1;
            }
            o->udp_port = int(n);
        } else if (a == "--sdp") {
            if (!value(&v)) return -1;
            o->sdp_path = v;
        } else if (a == "--record") {
            if (!value(&v)) return -1;
            o->record_path = v;
        } else if (a == "--snapshot") {
            if (!value(&v)) return -1;
            o->snapshot_path = v;
        } else if (a == "--snapshot-frame") {
            if (!value(&v) || !parse_int(v, 0, INT64_MAX, &n)) {
                std::fprintf(stderr, "[Relay] --snapshot-frame wants a frame index\n");
                return -1;
            }
            o->snapshot_frame = n;
        } else if (a == "--latency") {
            o->latency = true;
        } else if (a == "--per-frame") {
            o->per_frame = true;
        } else if (a == "--watermark") {
            if (!value(&v) || (std::strcmp(v, "segments") != 0 && std::strcmp(v, "bitmap") != 0)) {
                std::fprintf(stderr, "[Relay] --watermark wants segments or bitmap\n");
                return -1;
            }
            o->bitmap_digits = std::strcmp(v, "bitmap") == 0;
        } else if (a == "--duration") {
            if (!value(&v)) return -1;
            char *end = nullptr;
            o->duration_s = std::strtod(v, &end);
            if (end == v || *end || !(o->duration_s > 0) || !std::isfinite(o->duration_s)) {
                std::fprintf(stderr, "[Relay] --duration wants a positive number of seconds\n");
                return -1;
            }
        } else if (a == "--idle-exit") {
            if (!value(&v) || !parse_int(v, 1, INT64_MAX / 1000000, &n)) {
                std::fprintf(stderr, "[Relay] --idle-exit wants milliseconds\n");
                return -1;
            }
            o->idle_exit_ms = n;
        } else {
            std::fprintf(stderr, "[Relay] unknown option: %s (see --help)\n", a.c_str());
            return -1;
        }
    }
    return 0;
}

UniqueFD bind_unix(const char *path, int type)
{
    UniqueFD fd(socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        std::fprintf(stderr, "[Relay] socket: %s\n", strerror(errno));
        return fd;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof(addr.sun_path) - 1);
    ::unlink(path);
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        std::fprintf(stderr, "[Relay] bind %s: %s\n", path, strerror(errno));
        fd.reset();
        return fd;
    }
    chmod(path, 0666);
    if (type == SOCK_SEQPACKET && listen(fd.get(), 8) != 0) {
        std::fprintf(stderr, "[Relay] listen %s: %s\n", path, strerror(errno));
        fd.reset();
    }
    return fd;
}

struct Datagram {
    std::vector<uint8_t> bytes;
    uint32_t timestamp;
    int64_t arrival_ns;
};

class Relay {
public:
    explicit Relay(Options o) : opt_(std::move(o)) {}
    int run();

private:
    bool decoding() const { return opt_.latency || !opt_.record_path.empty() || !opt_.snapshot_path.empty(); }
    void write_sdp();
    void on_datagram(const uint8_t *data, size_t size, int64_t arrival_ns);
    void start_session(bool replay);
    void retire_session(bool hard);
    void collect(RelayDecoder *d, int wait_ms);
    void on_control_record(const std::string &record);
    void send_record(const std::string &record);
    void read_stdin();
    void print_summary();

    Options opt_;
    UniqueFD rtp_, listen_, forward_;
    sockaddr_in forward_addr_{};
    std::vector<UniqueFD> controls_;  // newest last; records go to the newest
    int64_t first_control_ns_ = 0;
    std::vector<bool> sent_;
    std::string stdin_buf_;
    bool stdin_open_ = true;
    RelayRtpStats stats_{};
    int payload_type_ = 96;

    RelayDecoder *session_ = nullptr;
    int session_index_ = 0;  // recording number of the current session
    int sessions_started_ = 0;
    std::vector<RelayDecoder *> retired_;
    std::vector<Datagram> backlog_;
    size_t backlog_bytes_ = 0;
    bool backlog_complete_ = true;

    RelayDecoderResult total_{};
    std::vector<double> latency_;
    int64_t forward_errors_ = 0;
    int64_t control_connections_ = 0;
    int64_t replies_ = 0;
};

void Relay::write_sdp()
{
    if (opt_.udp_port == 0 || opt_.sdp_path.empty())
        return;
    if (relay_write_file(opt_.sdp_path, relay_sdp_text(opt_.codec, payload_type_, opt_.udp_port)) != 0)
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
    d.snapshot_path = total_.snapshot_written ? "" : opt_.snapshot_path;
    d.snapshot_frame = opt_.snapshot_frame;
    d.latency = opt_.latency;
    d.per_frame = opt_.per_frame;
    d.bitmap_digits = opt_.bitmap_digits;
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
    total_.demuxed_packets += r.demuxed_packets;
    total_.recorded_packets += r.recorded_packets;
    total_.decoded_frames += r.decoded_frames;
    total_.decode_errors += r.decode_errors;
    total_.watermark_unreadable += r.watermark_unreadable;
    if (r.decoded_frames > 0) {
        total_.width = r.width;
        total_.height = r.height;
    }
    if (!r.codec_name.empty())
        total_.codec_name = r.codec_name;
    total_.snapshot_written = total_.snapshot_written || r.snapshot_written;
    latency_.insert(latency_.end(), r.latency_ms.begin(), r.latency_ms.end());
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
    int verdict = relay_rtp_check(&stats_, data, size, arrival_ns, &h, &new_stream);
    if (verdict == RELAY_RTP_CONTROL) {
        if (opt_.udp_port != 0)
            sendto(forward_.get(), data, size, 0, reinterpret_cast<sockaddr *>(&forward_addr_), sizeof(forward_addr_));
        return;
    }
    if (verdict != RELAY_RTP_OK) {
        // Only the first few are worth a line each; the summary counts them all.
        uint64_t bad = stats_.bad_version + stats_.oversize + stats_.malformed;
        if (bad <= 5)
            std::fprintf(stderr, "[Relay] invalid RTP datagram of %zu bytes (%d)\n", size, verdict);
        return;
    }
    if (opt_.udp_port != 0 &&
        sendto(forward_.get(), data, size, 0, reinterpret_cast<sockaddr *>(&forward_addr_), sizeof(forward_addr_)) < 0 &&
        errno != ECONNREFUSED)
        forward_errors_++;
    if (new_stream) {
        std::fprintf(stderr, "[Relay] stream %llu: SSRC %08x, payload type %u\n",
                     static_cast<unsigned long long>(stats_.streams), h.ssrc, h.payload_type);
        if (h.payload_type != payload_type_) {
            payload_type_ = h.payload_type;
            write_sdp();
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
        forward_errors_++;
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
    replies_++;
    std::printf("reply=%s\n", relay_escape(record).c_str());
    std::map<std::string, std::string> fields;
    if (relay_parse_config(record, &fields) == 0) {
        for (const auto &[k, v] : fields)
            std::printf("config.%s=%s\n", k.c_str(), v.c_str());
        auto it = fields.find("codec");
        int codec = it == fields.end() ? -1 : relay_codec_from_name(it->second);
        if (codec >= 0 && codec != opt_.codec) {
            std::fprintf(stderr, "[Relay] the stream is %s\n", relay_codec_rtp_name(codec));
            opt_.codec = codec;
            write_sdp();
            if (decoding() && stats_.packets > 0) {
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
    if (opt_.udp_port != 0) {
        forward_.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!forward_) {
            std::fprintf(stderr, "[Relay] socket: %s\n", strerror(errno));
            return 1;
        }
        forward_addr_.sin_family = AF_INET;
        forward_addr_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        forward_addr_.sin_port = htons(uint16_t(opt_.udp_port));
        write_sdp();
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
                    stats_.largest = std::max<uint64_t>(stats_.largest, uint64_t(n));
            }
        }
        if (fds[2].revents & POLLIN) {
            int c;
            while ((c = accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0) {
                controls_.emplace_back(c);
                control_connections_++;
                if (first_control_ns_ == 0)
                    first_control_ns_ = now_ns(CLOCK_MONOTONIC);
                std::fprintf(stderr, "[Relay] control connection %lld\n", static_cast<long long>(control_connections_));
                if (opt_.query_config)
                    send_record("CONFIG");
            }
        }
        if (fds[3].fd >= 0 && (fds[3].revents & (POLLIN | POLLHUP | POLLERR)))
            read_stdin();
        // Control connections: indices from 4 match controls_ as polled; one
        // accepted above was not polled yet and waits for the next round.
        std::vector<bool> closed(fds.size() - 4, false);
        for (size_t i = 0; i < closed.size(); ++i) {
            short ev = fds[4 + i].revents;
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
    print_summary();
    ::unlink(kRtpPath);
    ::unlink(kControlPath);
    return 0;
}

void Relay::print_summary()
{
    int64_t unsent = 0;
    for (bool s : sent_)
        unsent += !s;
    std::printf("summary=1\n");
    std::printf("datagrams=%llu\n", static_cast<unsigned long long>(stats_.datagrams));
    std::printf("packets=%llu\n", static_cast<unsigned long long>(stats_.packets));
    std::printf("bytes=%llu\n", static_cast<unsigned long long>(stats_.bytes));
    std::printf("frames=%llu\n", static_cast<unsigned long long>(stats_.frames));
    std::printf("fps=%.2f\n", relay_rtp_fps(&stats_));
    std::printf("largest_datagram=%llu\n", static_cast<unsigned long long>(stats_.largest));
    std::printf("bad_version=%llu\n", static_cast<unsigned long long>(stats_.bad_version));
    std::printf("oversize=%llu\n", static_cast<unsigned long long>(stats_.oversize));
    std::printf("malformed=%llu\n", static_cast<unsigned long long>(stats_.malformed));
    std::printf("rtcp_packets=%llu\n", static_cast<unsigned long long>(stats_.rtcp_packets));
    std::printf("streams=%llu\n", static_cast<unsigned long long>(stats_.streams));
    std::printf("payload_type=%u\n", stats_.payload_type);
    std::printf("sequence_gaps=%llu\n", static_cast<unsigned long long>(stats_.sequence_gaps));
    std::printf("lost_packets=%llu\n", static_cast<unsigned long long>(stats_.lost_packets));
    std::printf("out_of_order=%llu\n", static_cast<unsigned long long>(stats_.out_of_order));
    std::printf("timestamp_steps=%llu\n", static_cast<unsigned long long>(stats_.timestamp_steps));
    std::printf("timestamp_step_min=%u\n", stats_.timestamp_step_min);
    std::printf("timestamp_step_max=%u\n", stats_.timestamp_step_max);
    std::printf("timestamp_off_grid=%llu\n", static_cast<unsigned long long>(stats_.timestamp_off_grid));
    std::printf("timestamp_backward=%llu\n", static_cast<unsigned long long>(stats_.timestamp_backward));
    std::printf("forward_errors=%lld\n", static_cast<long long>(forward_errors_));
    std::printf("control_connections=%lld\n", static_cast<long long>(control_connections_));
    std::printf("replies=%lld\n", static_cast<long long>(replies_));
    std::printf("unsent_records=%lld\n", static_cast<long long>(unsent));
    std::printf("codec=%s\n", relay_codec_rtp_name(opt_.codec));
    if (decoding()) {
        std::printf("decode_sessions=%d\n", sessions_started_);
        std::printf("demuxed_packets=%lld\n", static_cast<long long>(total_.demuxed_packets));
        std::printf("decoded_frames=%lld\n", static_cast<long long>(total_.decoded_frames));
        std::printf("decode_errors=%lld\n", static_cast<long long>(total_.decode_errors));
        std::printf("decoded_codec=%s\n", total_.codec_name.empty() ? "none" : total_.codec_name.c_str());
        std::printf("decoded_size=%dx%d\n", total_.width, total_.height);
        if (!opt_.record_path.empty())
            std::printf("recorded_packets=%lld\n", static_cast<long long>(total_.recorded_packets));
        if (!opt_.snapshot_path.empty())
            std::printf("snapshot=%s\n", total_.snapshot_written ? opt_.snapshot_path.c_str() : "none");
    }
    if (opt_.latency) {
        std::printf("latency_frames=%zu\n", latency_.size());
        std::printf("latency_unreadable=%lld\n", static_cast<long long>(total_.watermark_unreadable));
        std::printf("latency_p50_ms=%.1f\n", relay_percentile(latency_, 50));
        std::printf("latency_p95_ms=%.1f\n", relay_percentile(latency_, 95));
        std::printf("latency_max_ms=%.1f\n", relay_percentile(latency_, 100));
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    int r = parse_options(argc, argv, &o);
    if (r != 0)
        return r > 0 ? 0 : 2;
    Relay relay(std::move(o));
    return relay.run();
}
