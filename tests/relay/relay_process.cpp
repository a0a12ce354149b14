#include "tests/relay/relay_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

int64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

int relay_process_start(RelayProcess *p, const std::vector<std::string> &args)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return -1;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return -1;
    }
    std::string program = std::string(VISTREL_BINARY_DIR) + "/tools/relay/vistrel-relay";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        std::vector<char *> argv;
        argv.push_back(program.data());
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    p->stdin_fd.reset(in[1]);
    p->stdout_fd.reset(out[0]);
    p->pid = pid;
    if (pid < 0)
        return -1;
    // The relay says ready=1 once both sockets listen.
    char buf[256];
    for (int64_t end = now_ms() + 5000; now_ms() < end;) {
        pollfd pfd{p->stdout_fd.get(), POLLIN, 0};
        if (poll(&pfd, 1, int(std::max<int64_t>(1, end - now_ms()))) <= 0)
            break;
        ssize_t n = read(p->stdout_fd.get(), buf, sizeof(buf));
        if (n <= 0)
            break;
        p->output.append(buf, size_t(n));
        if (p->output.find("ready=1\n") != std::string::npos)
            return 0;
    }
    relay_process_finish(p, true, 0);
    return -1;
}

int relay_process_finish(RelayProcess *p, bool interrupt, int timeout_ms)
{
    if (p->pid <= 0)
        return -1;
    if (interrupt)
        kill(p->pid, SIGINT);
    p->stdin_fd.reset();
    int64_t end = now_ms() + timeout_ms;
    char buf[4096];
    for (;;) {
        int left = int(end - now_ms());
        if (left <= 0)
            break;
        pollfd pfd{p->stdout_fd.get(), POLLIN, 0};
        if (poll(&pfd, 1, left) <= 0)
            break;
        ssize_t n = read(p->stdout_fd.get(), buf, sizeof(buf));
        if (n <= 0)
            break;
        p->output.append(buf, size_t(n));
    }
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(p->pid, &status, WNOHANG)) == 0 && now_ms() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done == 0) {
        kill(p->pid, SIGKILL);
        waitpid(p->pid, &status, 0);
        p->pid = -1;
        p->status = -1;
        return -1;
    }
    p->pid = -1;
    p->status = status;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

std::map<std::string, std::string> relay_process_values(const std::string &output)
{
    std::map<std::string, std::string> values;
    size_t pos = 0;
    while (pos < output.size()) {
        size_t end = output.find('\n', pos);
        if (end == std::string::npos)
            end = output.size();
        std::string line = output.substr(pos, end - pos);
        size_t eq = line.find('=');
        if (eq != std::string::npos && line.find(' ') > eq)
            values[line.substr(0, eq)] = line.substr(eq + 1);
        pos = end + 1;
    }
    return values;
}
