// Whole-system runs for the end-to-end tests: capture-helper on the virtual
// display, vistrel-relay and capture as real processes in the test's private
// /tmp, stopped with SIGTERM. Each process's standard output and error go to
// files under /tmp (read them at any time); its standard input is a pipe the
// test can write lines to (the relay sends each line as a control record).
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "libs/common/unique_fd.h"

struct E2eProcess {
    std::string name;      // also names the output files
    pid_t pid = -1;        // -1 once reaped (or never started)
    UniqueFD stdin_fd;     // write end of the child's standard input
    std::string out_path;  // /tmp/e2e-<name>.out
    std::string err_path;  // /tmp/e2e-<name>.err
    int status = -1;       // wait status once reaped, -1 before

    E2eProcess() = default;
    E2eProcess(const E2eProcess &) = delete;
    E2eProcess &operator=(const E2eProcess &) = delete;
    // A process still running here is killed (with its children) and reaped.
    ~E2eProcess();
};

// Paths of the programs under test.
std::string e2e_helper_program();
std::string e2e_relay_program();
std::string e2e_capture_program();

// Starts program with args; env entries ("KEY=VALUE") are added to the
// test's environment. The child dies with the test. 0, or -1.
int e2e_spawn(E2eProcess *p, const std::string &name, const std::string &program, const std::vector<std::string> &args,
              const std::vector<std::string> &env = {});

// capture-helper with VISTREL_VIRTUAL_DISPLAY=virtual_display ("1" for the
// default world, or a scenario file's path); waits until /tmp/vistrel.sock
// accepts a connection (the probe connection is closed at once). 0, or -1
// (the child is stopped).
int e2e_start_helper(E2eProcess *p, const std::string &virtual_display = "1", int timeout_ms = 5000);

// vistrel-relay with args; waits for its "ready=1" line. 0, or -1.
int e2e_start_relay(E2eProcess *p, const std::vector<std::string> &args, int timeout_ms = 5000);

// capture with args (e.g. {"-m", "balanced"}); does not wait.
int e2e_start_capture(E2eProcess *p, const std::vector<std::string> &args);

// Writes path with text (a scenario file, for example). 0, or -1.
int e2e_write_file(const std::string &path, const std::string &text);

// Everything the process wrote so far to standard output / error.
std::string e2e_stdout(const E2eProcess *p);
std::string e2e_stderr(const E2eProcess *p);

// Waits until the process's standard output (or error, with from_stderr)
// contains needle `count` times. True when it does within timeout_ms.
bool e2e_wait_for_text(const E2eProcess *p, const std::string &needle, int timeout_ms, bool from_stderr = false,
                       int count = 1);

// Writes line and a newline to the process's standard input. 0, or -1.
int e2e_send_line(E2eProcess *p, const std::string &line);

// Reaps the process if it has ended; true once it is gone.
bool e2e_reap(E2eProcess *p);

// Waits up to timeout_ms for the process to end by itself. True when it did.
bool e2e_wait_exit(E2eProcess *p, int timeout_ms);

// Sends signal_number, waits up to timeout_ms for the end, then kills the
// process (and its children) with SIGKILL. Returns the milliseconds the
// process took to end after the signal, or -1 when it had to be killed.
int e2e_stop(E2eProcess *p, int signal_number = SIGTERM, int timeout_ms = 5000);

// True when the reaped process exited with status code.
bool e2e_exited_with(const E2eProcess *p, int code);

// The direct children of pid (capture's worker is the supervisor's child).
std::vector<pid_t> e2e_children(pid_t pid);

// Waits until pid has a child and returns it, or -1 after timeout_ms.
pid_t e2e_wait_child(pid_t pid, int timeout_ms);

// Open descriptors of pid (entries of /proc/<pid>/fd), or -1.
int e2e_fd_count(pid_t pid);

// The last value of every key=value line of text (the relay's summary).
std::map<std::string, std::string> e2e_values(const std::string &text);

// One frame_latency line of the relay (--latency --per-frame).
struct E2eFrameLine {
    long long frame = 0;
    uint32_t rtp_timestamp = 0;
    uint64_t watermark_ms = 0;
    double latency_ms = 0;
};

// The relay's frame_latency lines in text, in order.
std::vector<E2eFrameLine> e2e_frame_lines(const std::string &text);

// A frame_source_latency line: the display's own stamp of a decoded frame.
struct E2eSourceLine {
    long long frame = 0;
    uint64_t blank = 0;      // the vertical blank at which the picture went on screen
    uint64_t source_ms = 0;  // that blank's wall-clock milliseconds
    double latency_ms = 0;
};

// The relay's frame_source_latency lines in text, in order.
std::vector<E2eSourceLine> e2e_source_lines(const std::string &text);

// One decoded picture of a recording: its size, whether it is a key frame,
// the size of the packet that gave it (the last one read before it came
// out), and its luma plane (width x height bytes, rows packed).
struct E2eFrame {
    int width = 0;
    int height = 0;
    bool key_frame = false;
    int packet_bytes = 0;
    std::vector<uint8_t> luma;
    // For 4:2:0 pictures, the chroma planes ((width + 1) / 2 by
    // (height + 1) / 2 bytes each, rows packed); empty otherwise.
    std::vector<uint8_t> u, v;
};

// Decodes up to max_frames pictures of the recording at path (any container
// FFmpeg reads). 0, or -1 when the file cannot be opened or decoded.
int e2e_decode_file(const std::string &path, int max_frames, std::vector<E2eFrame> *frames);

// Mean absolute luma difference of two equally sized pictures over rows
// first_row..last_row (exclusive), or -1 for pictures of different sizes.
double e2e_luma_difference(const E2eFrame &a, const E2eFrame &b, int first_row, int last_row);

// Pixels whose luma differs by more than threshold between two equally
// sized pictures, leaving out the rectangle [x0, x1) x [y0, y1); -1 for
// pictures of different sizes.
long long e2e_changed_pixels(const E2eFrame &a, const E2eFrame &b, int threshold, int x0, int y0, int x1, int y1);

// Milliseconds on the monotonic clock.
long long e2e_now_ms();
// Wall-clock milliseconds (the clock a browser page's Date.now() reads).
long long e2e_wall_ms();

// How many times needle occurs in text (without overlaps).
int e2e_count(const std::string &text, const std::string &needle);
