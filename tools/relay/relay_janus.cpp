#include "tools/relay/relay_janus.h"

#include <curl/curl.h>
#include <jansson.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "tools/relay/relay_text.h"

namespace {

// The keeper checks the mountpoint this often, each exchange waiting at
// most kKeeperTimeoutMs.
constexpr int kKeeperPeriodMs = 2000;
constexpr int kKeeperTimeoutMs = 1000;
// Janus's answers are a few hundred bytes; a longer one is refused.
constexpr size_t kMaxReplyBytes = 1u << 20;
// The streaming plugin's error code for a mountpoint it does not have.
constexpr int64_t kNoSuchMountpoint = 455;

struct JsonFree {
    void operator()(json_t *j) const { json_decref(j); }
};
using JsonPtr = std::unique_ptr<json_t, JsonFree>;

struct CurlFree {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
struct CurlListFree {
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};

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

std::string dump(const json_t *j)
{
    char *text = json_dumps(j, JSON_PRESERVE_ORDER);
    std::string s = text ? text : "";
    free(text);
    return s;
}

size_t collect_reply(char *data, size_t size, size_t count, void *user)
{
    auto *reply = static_cast<std::string *>(user);
    if (reply->size() + size * count > kMaxReplyBytes)
        return 0;  // ends the transfer with an error
    reply->append(data, size * count);
    return size * count;
}

// One POST of a JSON body to the API's URL plus path; *reply gets the
// response's body. Returns 0 for a 200 response, -1 otherwise with *error set.
int post(const RelayJanusApi &api, const std::string &path, const std::string &body, int timeout_ms, std::string *reply,
         std::string *error)
{
    static std::once_flag global;
    std::call_once(global, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    std::unique_ptr<CURL, CurlFree> curl(curl_easy_init());
    std::unique_ptr<curl_slist, CurlListFree> headers(curl_slist_append(nullptr, "Content-Type: application/json"));
    if (!curl || !headers) {
        *error = "cannot set up an HTTP request";
        return -1;
    }
    const std::string url = api.url + path;
    char reason[CURL_ERROR_SIZE] = "";
    reply->clear();
    CURL *c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, long(timeout_ms));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, long(body.size()));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect_reply);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, reply);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, reason);
    if (!api.ca_file.empty())
        curl_easy_setopt(c, CURLOPT_CAINFO, api.ca_file.c_str());
    const CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK) {
        *error = std::string(rc == CURLE_COULDNT_CONNECT ? "cannot connect to Janus at " : "Janus at ") + api.url +
                 ": " + (reason[0] ? reason : curl_easy_strerror(rc));
        return -1;
    }
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        *error = "Janus at " + api.url + " answered HTTP " + std::to_string(status);
        return -1;
    }
    return 0;
}

// A request of the API: {"janus": verb, "transaction": ..., "token": ...}
// plus body as the plugin message's body when given.
std::string request(const char *verb, const std::string &token, json_t *body = nullptr)
{
    JsonPtr r(json_pack("{s:s, s:s}", "janus", verb, "transaction", "vistrel-relay"));
    if (body)
        json_object_set_new(r.get(), "body", body);
    if (!token.empty())
        json_object_set_new(r.get(), "token", json_string(token.c_str()));
    return dump(r.get());
}

// Sends one request and reads the reply: Janus's "success" with no plugin
// error, or (allow_plugin_error) a plugin error in *out. Returns 0, or -1
// with *error set.
int call(const RelayJanusApi &api, const std::string &path, const std::string &body, int timeout_ms,
         RelayJanusReply *out, std::string *error, bool allow_plugin_error = false)
{
    std::string text;
    if (post(api, path, body, timeout_ms, &text, error) != 0)
        return -1;
    if (relay_janus_parse_reply(text, out) != 0) {
        *error = "Janus answered no JSON object: " + text.substr(0, 200);
        return -1;
    }
    if (out->janus != "success") {
        *error = "Janus refused the request: " + (out->reason.empty() ? out->janus : out->reason);
        return -1;
    }
    if (out->plugin_error != 0 && !allow_plugin_error) {
        *error = "the streaming plugin refused the request: " + out->plugin_reason + " (" +
                 std::to_string(out->plugin_error) + ")";
        return -1;
    }
    return 0;
}

// Opens a session with the streaming plugin attached, runs fn with the
// handle's path and the token, and closes the session. Returns fn's result,
// or -1 with *error set when the session could not be opened.
template <typename Fn>
int with_streaming_handle(const RelayJanusApi &api, int timeout_ms, std::string *error, Fn fn)
{
    std::string token;
    if (!api.token_file.empty() && relay_janus_read_token(api.token_file, &token, error) != 0)
        return -1;
    RelayJanusReply reply;
    if (call(api, "", request("create", token), timeout_ms, &reply, error) != 0)
        return -1;
    if (reply.id == 0) {
        *error = "Janus gave no session id";
        return -1;
    }
    const std::string session = "/" + std::to_string(reply.id);
    int result = -1;
    JsonPtr attach(json_pack("{s:s, s:s, s:s}", "janus", "attach", "plugin", "janus.plugin.streaming", "transaction",
                             "vistrel-relay"));
    if (!token.empty())
        json_object_set_new(attach.get(), "token", json_string(token.c_str()));
    if (call(api, session, dump(attach.get()), timeout_ms, &reply, error) != 0) {
        // The session is closed below.
    } else if (reply.id == 0) {
        *error = "Janus gave no plugin handle";
    } else {
        result = fn(session + "/" + std::to_string(reply.id), token);
    }
    std::string ignored;
    call(api, session, request("destroy", token), timeout_ms, &reply, &ignored);
    return result;
}

// A plugin request {"request": what, "id": id} with the admin key when given.
json_t *plugin_request(const char *what, int64_t id, const std::string &admin_key)
{
    json_t *body = json_pack("{s:s, s:I}", "request", what, "id", json_int_t(id));
    if (!admin_key.empty())
        json_object_set_new(body, "admin_key", json_string(admin_key.c_str()));
    return body;
}

}  // namespace

std::string relay_janus_create_request(const RelayJanusMountpoint &m, const std::string &admin_key)
{
    json_t *media = json_pack("{s:s, s:s, s:i, s:i, s:i, s:s}", "type", "video", "mid", "v", "port", m.rtp_port,
                              "rtcpport", m.rtcp_port, "pt", m.payload_type, "codec", janus_codec(m.codec));
    if (m.codec == CODEC_TYPE_H264)
        json_object_set_new(media, "fmtp", json_string("profile-level-id=42e01f;packetization-mode=1"));
    JsonPtr r(json_pack("{s:s, s:s, s:I, s:s, s:s, s:s, s:[o]}", "request", "create", "type", "rtp", "id",
                        json_int_t(m.id), "name", "vistrel", "description", "vistrel", "iface", m.iface.c_str(),
                        "media", media));
    if (!admin_key.empty())
        json_object_set_new(r.get(), "admin_key", json_string(admin_key.c_str()));
    return dump(r.get());
}

int relay_janus_parse_reply(const std::string &text, RelayJanusReply *out)
{
    *out = RelayJanusReply{};
    JsonPtr root(json_loadb(text.data(), text.size(), 0, nullptr));
    if (!root || !json_is_object(root.get()))
        return -1;
    const char *janus = json_string_value(json_object_get(root.get(), "janus"));
    out->janus = janus ? janus : "";
    const char *reason = json_string_value(json_object_get(json_object_get(root.get(), "error"), "reason"));
    out->reason = reason ? reason : "";
    out->id = json_integer_value(json_object_get(json_object_get(root.get(), "data"), "id"));
    json_t *data = json_object_get(json_object_get(root.get(), "plugindata"), "data");
    out->plugin_error = json_integer_value(json_object_get(data, "error_code"));
    const char *plugin_reason = json_string_value(json_object_get(data, "error"));
    out->plugin_reason = plugin_reason ? plugin_reason : "";
    const char *codec =
        json_string_value(json_object_get(json_array_get(json_object_get(json_object_get(data, "info"), "media"), 0),
                                          "codec"));
    out->codec = codec ? codec : "";
    return 0;
}

int relay_janus_read_token(const std::string &path, std::string *token, std::string *error)
{
    std::ifstream in(path);
    std::ostringstream text;
    if (!(in && text << in.rdbuf())) {
        *error = "cannot read the token file " + path;
        return -1;
    }
    *token = text.str();
    token->erase(token->find_last_not_of(" \t\r\n") + 1);
    if (token->empty()) {
        *error = "the token file " + path + " is empty";
        return -1;
    }
    return 0;
}

int relay_janus_remake_mountpoint(const RelayJanusApi &api, const RelayJanusMountpoint &m, int timeout_ms,
                                  std::string *error)
{
    return with_streaming_handle(api, timeout_ms, error, [&](const std::string &handle, const std::string &token) {
        RelayJanusReply reply;
        std::string ignored;
        // A missing mountpoint is no failure: the create below makes it.
        call(api, handle, request("message", token, plugin_request("destroy", m.id, token)), timeout_ms, &reply,
             &ignored);
        JsonPtr create(json_loads(relay_janus_create_request(m, token).c_str(), 0, nullptr));
        return call(api, handle, request("message", token, create.release()), timeout_ms, &reply, error);
    });
}

int relay_janus_mountpoint_codec(const RelayJanusApi &api, int64_t id, int timeout_ms, std::string *codec,
                                 std::string *error)
{
    return with_streaming_handle(api, timeout_ms, error, [&](const std::string &handle, const std::string &token) {
        RelayJanusReply reply;
        if (call(api, handle, request("message", token, plugin_request("info", id, "")), timeout_ms, &reply, error,
                 true) != 0)
            return -1;
        if (reply.plugin_error == kNoSuchMountpoint)
            return 1;
        if (reply.plugin_error != 0) {
            *error = "the streaming plugin refused the request: " + reply.plugin_reason;
            return -1;
        }
        if (reply.codec.empty()) {
            *error = "Janus's mountpoint information names no codec";
            return -1;
        }
        *codec = reply.codec;
        return 0;
    });
}

// ---- the keeper ------------------------------------------------------------

struct RelayJanusKeeper {
    RelayJanusApi api;
    std::string where;            // " at URL" when the servers are named, else ""
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
        int found = relay_janus_mountpoint_codec(k->api, m.id, kKeeperTimeoutMs, &codec, &error);
        if (found < 0) {
            problem = error;
        } else if (found == 1 || codec != janus_codec(m.codec)) {
            if (relay_janus_remake_mountpoint(k->api, m, kKeeperTimeoutMs, &error) != 0) {
                problem = error;
            } else {
                k->remakes++;
                std::fprintf(stderr, "[Relay] Janus mountpoint %lld made again for %s%s; its viewers reconnect\n",
                             static_cast<long long>(m.id), relay_codec_rtp_name(m.codec), k->where.c_str());
            }
        }
        if (problem != last_problem && !problem.empty())
            std::fprintf(stderr, "[Relay] Janus mountpoint %lld%s: %s\n", static_cast<long long>(m.id),
                         k->where.c_str(), problem.c_str());
        last_problem = problem;
        seen = generation;

        lock.lock();
        k->wake.wait_for(lock, std::chrono::milliseconds(kKeeperPeriodMs),
                         [&] { return k->stop || k->generation != seen; });
    }
}

}  // namespace

RelayJanusKeeper *relay_janus_keeper_start(const RelayJanusApi &api, const RelayJanusMountpoint &mountpoint,
                                           bool named)
{
    auto *k = new RelayJanusKeeper;
    k->api = api;
    k->where = named ? " at " + api.url : "";
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
