#include "tools/relay/relay_janus.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "libs/common/unique_fd.h"
#include "tools/relay/relay_text.h"

namespace {

// The keeper checks the mountpoint this often, each exchange waiting at
// most kKeeperTimeoutMs.
constexpr int kKeeperPeriodMs = 2000;
constexpr int kKeeperTimeoutMs = 1000;

int64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

const char *janus_codec(int codec)
{
    switch (codec) {
    case CODEC_TYPE_H265: return "h265";
    case CODEC_TYPE_VP8: return "vp8";
    case CODEC_TYPE_VP9: return "vp9";
    case CODEC_TYPE_AV1: return "av1";
    default: return "h264";
    }
}

// Waits for the descriptor to become ready for events until deadline_ms.
bool wait_ready(int fd, short events, int64_t deadline_ms)
{
    for (;;) {
        int64_t left = deadline_ms - now_ms();
        if (left <= 0)
            return false;
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, int(left));
        if (r > 0)
            return true;
        if (r < 0 && errno != EINTR)
            return false;
    }
}

// One POST to 127.0.0.1:port with a JSON body; *reply gets the response's
// body. Returns 0 for a 200 response, -1 otherwise with *error set.
int post(int port, const std::string &path, const std::string &body, int timeout_ms, std::string *reply,
         std::string *error)
{
    const int64_t deadline = now_ms() + timeout_ms;
    UniqueFD fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        *error = std::string("socket: ") + strerror(errno);
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(uint16_t(port));
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        int e = errno;
        if (e != EINPROGRESS || !wait_ready(fd.get(), POLLOUT, deadline)) {
            *error = "cannot connect to Janus on port " + std::to_string(port) + ": " +
                     (e == EINPROGRESS ? "timed out" : strerror(e));
            return -1;
        }
        int so = 0;
        socklen_t len = sizeof(so);
        getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &so, &len);
        if (so != 0) {
            *error = "cannot connect to Janus on port " + std::to_string(port) + ": " + strerror(so);
            return -1;
        }
    }
    std::string request = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n" +
                          "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(fd.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!wait_ready(fd.get(), POLLOUT, deadline)) {
                *error = "Janus did not take the request in time";
                return -1;
            }
        } else {
            *error = std::string("send to Janus: ") + strerror(errno);
            return -1;
        }
    }
    std::string response;
    char buf[4096];
    for (;;) {
        ssize_t n = recv(fd.get(), buf, sizeof(buf), 0);
        if (n > 0) {
            response.append(buf, size_t(n));
            if (response.size() > (1u << 20)) {
                *error = "Janus's response is too long";
                return -1;
            }
        } else if (n == 0) {
            break;
        } else if (errno == EAGAIN || errno == EINTR) {
            if (!wait_ready(fd.get(), POLLIN, deadline)) {
                *error = "Janus did not answer in time";
                return -1;
            }
        } else {
            *error = std::string("recv from Janus: ") + strerror(errno);
            return -1;
        }
    }
    size_t head_end = response.find("\r\n\r\n");
    if (response.compare(0, 9, "HTTP/1.1 ") != 0 || head_end == std::string::npos) {
        *error = "Janus answered no HTTP response";
        return -1;
    }
    if (response.compare(9, 3, "200") != 0) {
        *error = "Janus answered " + response.substr(9, response.find("\r\n") - 9);
        return -1;
    }
    *reply = response.substr(head_end + 4);
    return 0;
}

// Sends one Janus request and checks its outcome: "success" with no
// plugin error. Returns 0, or -1 with *error set.
int call(int port, const std::string &path, const std::string &body, int timeout_ms, std::string *reply,
         std::string *error)
{
    if (post(port, path, body, timeout_ms, reply, error) != 0)
        return -1;
    if (reply->find("\"janus\": \"success\"") == std::string::npos &&
        reply->find("\"janus\":\"success\"") == std::string::npos) {
        *error = "Janus refused the request: " + reply->substr(0, 300);
        return -1;
    }
    int64_t code = 0;
    if (relay_janus_json_number(*reply, "\"plugindata\"", "error_code", &code) == 0) {
        *error = "the streaming plugin refused the request: " + reply->substr(0, 300);
        return -1;
    }
    return 0;
}

}  // namespace

namespace {

// Where the value of "key" begins (past the colon and any blanks), looking
// from the first place where `within` appears; npos when absent.
size_t json_value_at(const std::string &json, const std::string &within, const std::string &key)
{
    size_t at = within.empty() ? 0 : json.find(within);
    if (at == std::string::npos)
        return at;
    at = json.find("\"" + key + "\"", at);
    if (at == std::string::npos)
        return at;
    at = json.find(':', at + key.size() + 2);
    return at == std::string::npos ? at : json.find_first_not_of(" \t\r\n", at + 1);
}

}  // namespace

int relay_janus_json_number(const std::string &json, const std::string &within, const std::string &key, int64_t *out)
{
    const size_t at = json_value_at(json, within, key);
    if (at == std::string::npos)
        return -1;
    const char *start = json.c_str() + at;
    char *end = nullptr;
    errno = 0;
    long long v = std::strtoll(start, &end, 10);
    if (end == start || errno)
        return -1;
    *out = v;
    return 0;
}

std::string relay_janus_create_request(const RelayJanusMountpoint &m)
{
    std::string media = "{\"type\": \"video\", \"mid\": \"v\", \"port\": " + std::to_string(m.rtp_port) +
                        ", \"rtcpport\": " + std::to_string(m.rtcp_port) +
                        ", \"pt\": " + std::to_string(m.payload_type) + ", \"codec\": \"" + janus_codec(m.codec) + "\"";
    if (m.codec == CODEC_TYPE_H264)
        media += ", \"fmtp\": \"profile-level-id=42e01f;packetization-mode=1\"";
    media += "}";
    return "{\"request\": \"create\", \"type\": \"rtp\", \"id\": " + std::to_string(m.id) +
           ", \"name\": \"vistrel\", \"description\": \"vistrel\", \"iface\": \"127.0.0.1\", \"media\": [" + media +
           "]}";
}

namespace {

// Opens a session with the streaming plugin attached, runs fn with the
// handle's path, and closes the session. Returns fn's result, or -1 with
// *error set when the session could not be opened.
template <typename Fn>
int with_streaming_handle(int api_port, int timeout_ms, std::string *error, Fn fn)
{
    std::string reply;
    if (call(api_port, "/janus", "{\"janus\": \"create\", \"transaction\": \"s\"}", timeout_ms, &reply, error) != 0)
        return -1;
    int64_t session = 0, handle = 0;
    if (relay_janus_json_number(reply, "\"data\"", "id", &session) != 0) {
        *error = "Janus gave no session id";
        return -1;
    }
    const std::string session_path = "/janus/" + std::to_string(session);
    int result = -1;
    if (call(api_port, session_path,
             "{\"janus\": \"attach\", \"plugin\": \"janus.plugin.streaming\", \"transaction\": \"a\"}", timeout_ms,
             &reply, error) != 0) {
        // The session is closed below.
    } else if (relay_janus_json_number(reply, "\"data\"", "id", &handle) != 0) {
        *error = "Janus gave no plugin handle";
    } else {
        result = fn(session_path + "/" + std::to_string(handle));
    }
    std::string ignored;
    call(api_port, session_path, "{\"janus\": \"destroy\", \"transaction\": \"x\"}", timeout_ms, &reply, &ignored);
    return result;
}

std::string plugin_message(const std::string &body)
{
    return "{\"janus\": \"message\", \"transaction\": \"m\", \"body\": " + body + "}";
}

}  // namespace

int relay_janus_remake_mountpoint(int api_port, const RelayJanusMountpoint &m, int timeout_ms, std::string *error)
{
    return with_streaming_handle(api_port, timeout_ms, error, [&](const std::string &handle) {
        std::string reply, ignored;
        // A missing mountpoint is no failure: the create below makes it.
        call(api_port, handle, plugin_message("{\"request\": \"destroy\", \"id\": " + std::to_string(m.id) + "}"),
             timeout_ms, &reply, &ignored);
        return call(api_port, handle, plugin_message(relay_janus_create_request(m)), timeout_ms, &reply, error);
    });
}

int relay_janus_mountpoint_codec(int api_port, int64_t id, int timeout_ms, std::string *codec, std::string *error)
{
    return with_streaming_handle(api_port, timeout_ms, error, [&](const std::string &handle) {
        std::string reply;
        if (post(api_port, handle, plugin_message("{\"request\": \"info\", \"id\": " + std::to_string(id) + "}"),
                 timeout_ms, &reply, error) != 0)
            return -1;
        int64_t code = 0;
        if (relay_janus_json_number(reply, "\"plugindata\"", "error_code", &code) == 0)
            return 1;  // no such mountpoint
        if (relay_janus_json_string(reply, "\"media\"", "codec", codec) != 0) {
            *error = "Janus's mountpoint information names no codec";
            return -1;
        }
        return 0;
    });
}

int relay_janus_json_string(const std::string &json, const std::string &within, const std::string &key,
                            std::string *out)
{
    const size_t open = json_value_at(json, within, key);
    if (open == std::string::npos || json[open] != '"')
        return -1;
    size_t close = json.find('"', open + 1);
    if (close == std::string::npos)
        return -1;
    *out = json.substr(open + 1, close - open - 1);
    return 0;
}

// ---- the keeper ------------------------------------------------------------

struct RelayJanusKeeper {
    int api_port = 0;
    RelayJanusMountpoint wanted;  // under mutex
    bool stop = false;            // under mutex
    uint64_t generation = 0;      // under mutex: bumped by every want
    std::atomic<uint64_t> remakes{0};
    std::mutex mutex;
    std::condition_variable wake;
    std::thread thread;
};

namespace {

void keeper_run(RelayJanusKeeper *k)
{
    std::string last_problem;
    uint64_t seen = UINT64_MAX;
    std::unique_lock<std::mutex> lock(k->mutex);
    while (!k->stop) {
        const RelayJanusMountpoint m = k->wanted;
        const uint64_t generation = k->generation;
        lock.unlock();

        std::string codec, error, problem;
        int found = relay_janus_mountpoint_codec(k->api_port, m.id, kKeeperTimeoutMs, &codec, &error);
        if (found < 0) {
            problem = error;
        } else if (found == 1 || codec != janus_codec(m.codec)) {
            if (relay_janus_remake_mountpoint(k->api_port, m, kKeeperTimeoutMs, &error) != 0) {
                problem = error;
            } else {
                k->remakes++;
                std::fprintf(stderr, "[Relay] Janus mountpoint %lld made again for %s; its viewers reconnect\n",
                             static_cast<long long>(m.id), relay_codec_rtp_name(m.codec));
            }
        }
        if (problem != last_problem && !problem.empty())
            std::fprintf(stderr, "[Relay] Janus mountpoint %lld: %s\n", static_cast<long long>(m.id), problem.c_str());
        last_problem = problem;
        seen = generation;

        lock.lock();
        k->wake.wait_for(lock, std::chrono::milliseconds(kKeeperPeriodMs),
                         [&] { return k->stop || k->generation != seen; });
    }
}

}  // namespace

RelayJanusKeeper *relay_janus_keeper_start(int api_port, const RelayJanusMountpoint &mountpoint)
{
    auto *k = new RelayJanusKeeper;
    k->api_port = api_port;
    k->wanted = mountpoint;
    k->thread = std::thread(keeper_run, k);
    return k;
}

void relay_janus_keeper_want(RelayJanusKeeper *k, int codec, int payload_type)
{
    std::lock_guard<std::mutex> lock(k->mutex);
    if (k->wanted.codec == codec && k->wanted.payload_type == payload_type)
        return;
    k->wanted.codec = codec;
    k->wanted.payload_type = payload_type;
    k->generation++;
    k->wake.notify_one();
}

uint64_t relay_janus_keeper_remakes(RelayJanusKeeper *k)
{
    return k->remakes.load();
}

void relay_janus_keeper_stop(RelayJanusKeeper *k)
{
    if (!k)
        return;
    {
        std::lock_guard<std::mutex> lock(k->mutex);
        k->stop = true;
        k->wake.notify_one();
    }
    k->thread.join();
    delete k;
}
