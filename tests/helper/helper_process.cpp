#include "tests/helper/helper_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "libs/common/unix_socket.h"

namespace {

int64_t now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int count_dir(const std::string &path)
{
    DIR *dir = opendir(path.c_str());
    if (!dir)
        return -1;
    int n = 0;
    while (dirent *e = readdir(dir))
        if (e->d_name[0] != '.')
            ++n;
    closedir(dir);
    return n;
}

bool wait_readable(int fd, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    int n;
    do {
        n = poll(&p, 1, timeout_ms);
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

}  // namespace

int helper_start(HelperProcess *helper, const char *virtual_display)
{
    static int serial = 0;
    helper->log_path = "/tmp/helper-" + std::to_string(getpid()) + "-" + std::to_string(serial++) + ".log";
    std::string program = std::string(VISTREL_BINARY_DIR) + "/apps/capture-helper/capture-helper";
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        int log = open(helper->log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        if (log < 0)
            _exit(126);
        dup2(log, 1);
        dup2(log, 2);
        close(log);
        if (virtual_display)
            setenv("VISTREL_VIRTUAL_DISPLAY", virtual_display, 1);
        else
            unsetenv("VISTREL_VIRTUAL_DISPLAY");
        // The helper starts with only the standard descriptors, so its
        // descriptor counts mean what they say.
        for (int fd = 3; fd < 1024; ++fd)
            close(fd);
        execl(program.c_str(), program.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    helper->pid = pid;
    int64_t deadline = now_ms() + 10000;
    while (now_ms() < deadline) {
        if (helper_log(*helper).find("[Helper Server] Server listening on") != std::string::npos)
            return 0;
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            helper->pid = -1;
            return -1;
        }
        usleep(5000);
    }
    helper_kill(helper);
    return -1;
}

int helper_kill(HelperProcess *helper)
{
    if (helper->pid <= 0)
        return -1;
    kill(helper->pid, SIGKILL);
    int status = 0;
    while (waitpid(helper->pid, &status, 0) < 0 && errno == EINTR) {
    }
    helper->pid = -1;
    return status;
}

int helper_wait_exit(HelperProcess *helper, int timeout_ms, int *status)
{
    int64_t deadline = now_ms() + timeout_ms;
    for (;;) {
        pid_t r = waitpid(helper->pid, status, WNOHANG);
        if (r == helper->pid) {
            helper->pid = -1;
            return 0;
        }
        if (now_ms() >= deadline)
            return -1;
        usleep(5000);
    }
}

int helper_fd_count(const HelperProcess &helper)
{
    return count_dir("/proc/" + std::to_string(helper.pid) + "/fd");
}

int helper_fd_count_settled(const HelperProcess &helper, int at_most, int timeout_ms)
{
    int n = helper_fd_count(helper);
    for (int waited = 0; n > at_most && waited < timeout_ms; waited += 5) {
        usleep(5000);
        n = helper_fd_count(helper);
    }
    return n;
}

int helper_thread_count(const HelperProcess &helper)
{
    return count_dir("/proc/" + std::to_string(helper.pid) + "/task");
}

std::string helper_log(const HelperProcess &helper)
{
    std::ifstream in(helper.log_path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

int helper_count_text(const HelperProcess &helper, const std::string &text)
{
    std::string log = helper_log(helper);
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size()))
        ++n;
    return n;
}

bool helper_wait_for_text(const HelperProcess &helper, const std::string &text, int timeout_ms, int count)
{
    int64_t deadline = now_ms() + timeout_ms;
    for (;;) {
        if (helper_count_text(helper, text) >= count)
            return true;
        if (now_ms() >= deadline)
            return false;
        usleep(5000);
    }
}

std::string write_scenario(const std::string &name, const std::string &text)
{
    std::string path = "/tmp/" + name;
    std::ofstream(path) << text;
    return path;
}

UniqueFD command_connect()
{
    return unix_connect(UDS_SERVER_PATH, SOCK_STREAM, nullptr);
}

int send_all(int fd, const std::string &data)
{
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        sent += size_t(n);
    }
    return 0;
}

int read_reply(int fd, Reply *reply, int timeout_ms)
{
    return framelink::read_reply(fd, timeout_ms, reply);
}

int request(int fd, const std::string &line, Reply *reply)
{
    if (send_all(fd, line + "\n") < 0)
        return -1;
    return read_reply(fd, reply);
}

bool stays_silent(int fd, int timeout_ms)
{
    return !wait_readable(fd, timeout_ms);
}

bool closes_without_reply(int fd, int timeout_ms)
{
    if (!wait_readable(fd, timeout_ms))
        return false;
    // A connection closed with our request unread arrives as a reset.
    char c;
    ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

UniqueFD event_connect()
{
    return unix_connect(UDS_EVENT_PATH, SOCK_SEQPACKET, nullptr);
}

ssize_t read_event(int fd, VBlankEvent *event, int timeout_ms)
{
    if (!wait_readable(fd, timeout_ms))
        return -1;
    // A larger buffer than an event, so a message of the wrong size shows.
    char buffer[64];
    ssize_t n;
    do {
        n = recv(fd, buffer, sizeof buffer, 0);
    } while (n < 0 && errno == EINTR);
    if (n >= ssize_t(sizeof *event))
        memcpy(event, buffer, sizeof *event);
    return n;
}
