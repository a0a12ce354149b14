// The relay's Janus API client over TLS, against a stand-in API
// (janus_api_double.py) with a self-signed certificate: trusted through the
// CA file it works, without it the certificate is refused; the token goes
// into every request and the admin key into those that make or destroy a
// mountpoint.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "libs/common/unique_fd.h"
#include "tools/relay/relay_janus.h"
#include "tools/relay/relay_text.h"

namespace {

// The stand-in API as a child process, killed and reaped when it goes.
struct ApiDouble {
    pid_t pid = -1;
    int port = 0;
    ~ApiDouble()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

int start_double(ApiDouble *d, const std::string &cert, const std::string &key, const std::string &log)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return -1;
    UniqueFD read_end(out[0]), write_end(out[1]);
    const std::string script = std::string(VISTREL_SOURCE_DIR) + "/tests/relay/janus_api_double.py";
    d->pid = fork();
    if (d->pid == 0) {
        dup2(write_end.get(), STDOUT_FILENO);
        execl("/usr/bin/python3", "python3", script.c_str(), cert.c_str(), key.c_str(), log.c_str(), nullptr);
        _exit(127);
    }
    write_end.reset();
    char line[32] = "";
    ssize_t n = d->pid > 0 ? read(read_end.get(), line, sizeof(line) - 1) : -1;
    d->port = n > 0 ? std::atoi(line) : 0;
    return d->port > 0 ? 0 : -1;
}

std::string read_all(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

TEST(RelayJanusApi, TlsWithTheCaFileTokenInEveryRequest)
{
    if (access("/usr/bin/openssl", X_OK) != 0 || access("/usr/bin/python3", X_OK) != 0)
        GTEST_SKIP() << "openssl or python3 is missing";
    const std::string cert = "/tmp/api-cert.pem", key = "/tmp/api-key.pem", log = "/tmp/api-requests.log";
    const std::string make_cert = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
                                  "-addext subjectAltName=IP:127.0.0.1 -keyout " +
                                  key + " -out " + cert + " 2>/dev/null";
    ASSERT_EQ(std::system(make_cert.c_str()), 0);
    ASSERT_EQ(relay_write_file("/tmp/relay.token", "s3cret\n"), 0);
    ApiDouble api;
    ASSERT_EQ(start_double(&api, cert, key, log), 0);

    RelayJanusApi trusted{"https://127.0.0.1:" + std::to_string(api.port) + "/janus", "/tmp/relay.token", cert};
    RelayJanusMountpoint m;
    m.codec = CODEC_TYPE_VP8;
    m.rtp_port = 5006;
    m.rtcp_port = 5007;
    std::string codec, error;
    EXPECT_EQ(relay_janus_mountpoint_codec(trusted, 1, 3000, &codec, &error), 1) << error;
    EXPECT_EQ(relay_janus_remake_mountpoint(trusted, m, 3000, &error), 0) << error;

    // Every request carries the token; create and destroy carry the admin key.
    std::istringstream lines(read_all(log));
    std::string line;
    int requests = 0, keyed = 0;
    while (std::getline(lines, line)) {
        requests++;
        RelayJanusReply ignored;
        EXPECT_EQ(relay_janus_parse_reply(line, &ignored), 0) << line;
        EXPECT_NE(line.find("\"token\": \"s3cret\""), std::string::npos) << line;
        const bool makes = line.find("\"request\": \"create\"") != std::string::npos ||
                           line.find("\"request\": \"destroy\"") != std::string::npos;
        EXPECT_EQ(line.find("\"admin_key\": \"s3cret\"") != std::string::npos, makes) << line;
        keyed += makes;
    }
    EXPECT_EQ(requests, 9);  // two sessions: create, attach, the plugin's requests, destroy
    EXPECT_EQ(keyed, 2);

    // Without the CA file the self-signed certificate is refused.
    const size_t logged = read_all(log).size();
    RelayJanusApi untrusted = trusted;
    untrusted.ca_file.clear();
    EXPECT_EQ(relay_janus_mountpoint_codec(untrusted, 1, 3000, &codec, &error), -1);
    EXPECT_NE(error.find("certificate"), std::string::npos) << error;
    EXPECT_EQ(read_all(log).size(), logged) << "a request went out over an untrusted connection";
}
