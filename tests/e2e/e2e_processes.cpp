#include "tests/e2e/e2e_processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "libs/common/ffmpeg_ptr.h"
#include "libs/common/unix_socket.h"
#include "tests/relay/relay_process.h"

namespace {

void sleep_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool socket_accepts(const char *path)
{
    return unix_connect(path, SOCK_STREAM, nullptr).valid();
}

// Children first, so a worker does not outlive its supervisor.
void kill_tree(pid_t pid)
{
    for (pid_t child : e2e_children(pid))
        kill_tree(child);
    kill(pid, SIGKILL);
}

}  // namespace

E2eProcess::~E2eProcess()
{
    if (pid > 0 && !e2e_reap(this)) {
        kill_tree(pid);
        int wait_status = 0;
        waitpid(pid, &wait_status, 0);
        pid = -1;
    }
}

long long e2e_now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

long long e2e_wall_ms()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int e2e_count(const std::string &text, const std::string &needle)
{
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

std::string e2e_helper_program()
{
    return std::string(VISTREL_BINARY_DIR) + "/apps/capture-helper/capture-helper";
}

std::string e2e_relay_program()
{
    return std::string(VISTREL_BINARY_DIR) + "/tools/relay/vistrel-relay";
}

std::string e2e_capture_program()
{
    return std::string(VISTREL_BINARY_DIR) + "/apps/capture/capture";
}

int e2e_spawn(E2eProcess *p, const std::string &name, const std::string &program, const std::vector<std::string> &args,
              const std::vector<std::string> &env)
{
    p->name = name;
    p->out_path = "/tmp/e2e-" + name + ".out";
    p->err_path = "/tmp/e2e-" + name + ".err";
    p->status = -1;
    UniqueFD out(open(p->out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    UniqueFD err(open(p->err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    int in[2];
    if (!out || !err || pipe2(in, O_CLOEXEC) != 0)
        return -1;
    UniqueFD in_read(in[0]);
    UniqueFD in_write(in[1]);

    // Everything the child needs is built before the fork.
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char **e = environ; *e; ++e)
        environment.emplace_back(*e);
    for (const std::string &e : env)
        environment.push_back(e);
    std::vector<char *> envp;
    for (std::string &e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        dup2(in_read.get(), STDIN_FILENO);
        dup2(out.get(), STDOUT_FILENO);
        dup2(err.get(), STDERR_FILENO);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    p->pid = pid;
    p->stdin_fd = std::move(in_write);
    return 0;
}

int e2e_start_helper(E2eProcess *p, const std::string &virtual_display, int timeout_ms)
{
    if (e2e_spawn(p, "helper", e2e_helper_program(), {}, {"VISTREL_VIRTUAL_DISPLAY=" + virtual_display}) != 0)
        return -1;
    for (long long end = e2e_now_ms() + timeout_ms; e2e_now_ms() < end; sleep_ms(10)) {
        if (e2e_reap(p))
            return -1;
        if (socket_accepts("/tmp/vistrel.sock"))
            return 0;
    }
    e2e_stop(p, SIGTERM, 1000);
    return -1;
}

int e2e_start_relay(E2eProcess *p, const std::vector<std::string> &args, int timeout_ms)
{
    if (e2e_spawn(p, "relay", e2e_relay_program(), args) != 0)
        return -1;
    if (e2e_wait_for_text(p, "ready=1\n", timeout_ms))
        return 0;
    e2e_stop(p, SIGTERM, 1000);
    return -1;
}

int e2e_start_capture(E2eProcess *p, const std::vector<std::string> &args)
{
    return e2e_spawn(p, "capture", e2e_capture_program(), args);
}

int e2e_write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return out ? 0 : -1;
}

std::string e2e_stdout(const E2eProcess *p)
{
    return read_file(p->out_path);
}

std::string e2e_stderr(const E2eProcess *p)
{
    return read_file(p->err_path);
}

bool e2e_wait_for_text(const E2eProcess *p, const std::string &needle, int timeout_ms, bool from_stderr, int count)
{
    const long long end = e2e_now_ms() + timeout_ms;
    for (;;) {
        const std::string text = from_stderr ? e2e_stderr(p) : e2e_stdout(p);
        if (e2e_count(text, needle) >= count)
            return true;
        if (e2e_now_ms() >= end)
            return false;
        sleep_ms(20);
    }
}

int e2e_send_line(E2eProcess *p, const std::string &line)
{
    if (!p->stdin_fd)
        return -1;
    const std::string text = line + "\n";
    return write(p->stdin_fd.get(), text.data(), text.size()) == ssize_t(text.size()) ? 0 : -1;
}

bool e2e_reap(E2eProcess *p)
{
    if (p->pid <= 0)
        return true;
    int wait_status = 0;
    if (waitpid(p->pid, &wait_status, WNOHANG) != p->pid)
        return false;
    p->status = wait_status;
    p->pid = -1;
    return true;
}

bool e2e_wait_exit(E2eProcess *p, int timeout_ms)
{
    for (long long end = e2e_now_ms() + timeout_ms;; sleep_ms(5)) {
        if (e2e_reap(p))
            return true;
        if (e2e_now_ms() >= end)
            return false;
    }
}

int e2e_stop(E2eProcess *p, int signal_number, int timeout_ms)
{
    if (p->pid <= 0)
        return e2e_reap(p) ? 0 : -1;
    const long long start = e2e_now_ms();
    kill(p->pid, signal_number);
    if (e2e_wait_exit(p, timeout_ms))
        return int(e2e_now_ms() - start);
    kill_tree(p->pid);
    int wait_status = 0;
    waitpid(p->pid, &wait_status, 0);
    p->status = wait_status;
    p->pid = -1;
    return -1;
}

bool e2e_exited_with(const E2eProcess *p, int code)
{
    return p->pid <= 0 && p->status >= 0 && WIFEXITED(p->status) && WEXITSTATUS(p->status) == code;
}

std::vector<pid_t> e2e_children(pid_t pid)
{
    std::vector<pid_t> children;
    const std::string task_dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *tasks = opendir(task_dir.c_str());
    if (!tasks)
        return children;
    while (dirent *entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        std::istringstream list(read_file(task_dir + "/" + entry->d_name + "/children"));
        for (pid_t child; list >> child;)
            children.push_back(child);
    }
    closedir(tasks);
    return children;
}

pid_t e2e_wait_child(pid_t pid, int timeout_ms)
{
    for (long long end = e2e_now_ms() + timeout_ms;; sleep_ms(10)) {
        std::vector<pid_t> children = e2e_children(pid);
        if (!children.empty())
            return children.front();
        if (e2e_now_ms() >= end)
            return -1;
    }
}

int e2e_fd_count(pid_t pid)
{
    DIR *fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!fds)
        return -1;
    int n = 0;
    while (dirent *entry = readdir(fds))
        if (entry->d_name[0] != '.')
            ++n;
    closedir(fds);
    return n;
}

std::map<std::string, std::string> e2e_values(const std::string &text)
{
    return relay_process_values(text);
}

std::vector<E2eFrameLine> e2e_frame_lines(const std::string &text)
{
    std::vector<E2eFrameLine> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        E2eFrameLine f;
        unsigned long long watermark = 0;
        if (sscanf(line.c_str(), "frame_latency frame=%lld rtp_timestamp=%u watermark_ms=%llu latency_ms=%lf", &f.frame,
                   &f.rtp_timestamp, &watermark, &f.latency_ms) == 4) {
            f.watermark_ms = watermark;
            lines.push_back(f);
        }
    }
    return lines;
}

std::vector<E2eSourceLine> e2e_source_lines(const std::string &text)
{
    std::vector<E2eSourceLine> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        E2eSourceLine f;
        unsigned long long blank = 0, source = 0;
        unsigned timestamp = 0;
        if (sscanf(line.c_str(),
                   "frame_source_latency frame=%lld rtp_timestamp=%u blank=%llu source_ms=%llu latency_ms=%lf",
                   &f.frame, &timestamp, &blank, &source, &f.latency_ms) == 5) {
            f.blank = blank;
            f.source_ms = source;
            lines.push_back(f);
        }
    }
    return lines;
}

namespace {

void keep_luma(const AVFrame *picture, int packet_bytes, std::vector<E2eFrame> *frames)
{
    E2eFrame frame;
    frame.packet_bytes = packet_bytes;
    frame.width = picture->width;
    frame.height = picture->height;
    frame.key_frame = picture->key_frame != 0 || picture->pict_type == AV_PICTURE_TYPE_I;
    frame.luma.resize(size_t(picture->width) * size_t(picture->height));
    for (int row = 0; row < picture->height; ++row)
        memcpy(frame.luma.data() + size_t(row) * picture->width, picture->data[0] + row * picture->linesize[0],
               size_t(picture->width));
    if (picture->format == AV_PIX_FMT_YUV420P || picture->format == AV_PIX_FMT_YUVJ420P) {
        const int cw = (picture->width + 1) / 2, ch = (picture->height + 1) / 2;
        frame.u.resize(size_t(cw) * size_t(ch));
        frame.v.resize(frame.u.size());
        for (int row = 0; row < ch; ++row) {
            memcpy(frame.u.data() + size_t(row) * cw, picture->data[1] + row * picture->linesize[1], size_t(cw));
            memcpy(frame.v.data() + size_t(row) * cw, picture->data[2] + row * picture->linesize[2], size_t(cw));
        }
    }
    frames->push_back(std::move(frame));
}

}  // namespace

int e2e_decode_file(const std::string &path, int max_frames, std::vector<E2eFrame> *frames)
{
    AVFormatContext *opened = nullptr;
    if (avformat_open_input(&opened, path.c_str(), nullptr, nullptr) != 0)
        return -1;
    AvInputPtr format(opened);
    if (avformat_find_stream_info(format.get(), nullptr) < 0)
        return -1;
    const AVCodec *decoder = nullptr;
    const int stream = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (stream < 0 || !decoder)
        return -1;
    AvCodecContextPtr context(avcodec_alloc_context3(decoder));
    AvFramePtr picture(av_frame_alloc());
    AvPacketPtr packet(av_packet_alloc());
    if (!context || !picture || !packet ||
        avcodec_parameters_to_context(context.get(), format->streams[stream]->codecpar) < 0 ||
        avcodec_open2(context.get(), decoder, nullptr) < 0)
        return -1;
    int packet_bytes = 0;
    auto drain = [&]() {
        while (int(frames->size()) < max_frames && avcodec_receive_frame(context.get(), picture.get()) == 0) {
            keep_luma(picture.get(), packet_bytes, frames);
            av_frame_unref(picture.get());
        }
    };
    while (int(frames->size()) < max_frames && av_read_frame(format.get(), packet.get()) == 0) {
        if (packet->stream_index == stream) {
            packet_bytes = packet->size;
            avcodec_send_packet(context.get(), packet.get());
        }
        av_packet_unref(packet.get());
        drain();
    }
    avcodec_send_packet(context.get(), nullptr);
    drain();
    return 0;
}

double e2e_luma_difference(const E2eFrame &a, const E2eFrame &b, int first_row, int last_row)
{
    if (a.width != b.width || a.height != b.height)
        return -1;
    first_row = std::max(0, first_row);
    last_row = std::min(a.height, last_row);
    if (first_row >= last_row)
        return 0;
    uint64_t sum = 0;
    const size_t begin = size_t(first_row) * a.width, end = size_t(last_row) * a.width;
    for (size_t i = begin; i < end; ++i)
        sum += uint64_t(std::abs(int(a.luma[i]) - int(b.luma[i])));
    return double(sum) / double(end - begin);
}

long long e2e_changed_pixels(const E2eFrame &a, const E2eFrame &b, int threshold, int x0, int y0, int x1, int y1)
{
    if (a.width != b.width || a.height != b.height)
        return -1;
    long long changed = 0;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x) {
            if (x >= x0 && x < x1 && y >= y0 && y < y1)
                continue;
            const size_t i = size_t(y) * a.width + x;
            changed += std::abs(int(a.luma[i]) - int(b.luma[i])) > threshold ? 1 : 0;
        }
    return changed;
}
