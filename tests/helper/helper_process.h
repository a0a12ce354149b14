// The real capture-helper as a child process for the server's tests, and
// the small client side of its two sockets that the tests speak.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "libs/common/unique_fd.h"
#include "libs/framelink/framelink.h"

struct HelperProcess {
    pid_t pid = -1;
    std::string log_path;  // standard output and error, interleaved
};

// Starts the helper with VISTREL_VIRTUAL_DISPLAY set to virtual_display
// (nullptr: unset, the libdrm backend) and waits until it listens.
// 0, or -1 (the child is reaped and the log kept).
int helper_start(HelperProcess *helper, const char *virtual_display);
// Ends the helper with SIGKILL if it still runs. Returns its wait status.
int helper_kill(HelperProcess *helper);
// Waits up to timeout_ms for the helper to exit; 0 with *status, -1 if it
// still runs.
int helper_wait_exit(HelperProcess *helper, int timeout_ms, int *status);
// Number of open descriptors of the running helper (/proc/PID/fd).
int helper_fd_count(const HelperProcess &helper);
// The count once it is at most at_most, or the last one read after
// timeout_ms: the helper closes its copies just after a reply is sent, so a
// count read as the reply arrives may still hold them.
int helper_fd_count_settled(const HelperProcess &helper, int at_most, int timeout_ms);
// Number of threads of the running helper (/proc/PID/task).
int helper_thread_count(const HelperProcess &helper);
std::string helper_log(const HelperProcess &helper);
// Waits until the log holds text count times; true when it does.
bool helper_wait_for_text(const HelperProcess &helper, const std::string &text, int timeout_ms, int count = 1);
int helper_count_text(const HelperProcess &helper, const std::string &text);

// Writes a scenario file under /tmp and returns its path.
std::string write_scenario(const std::string &name, const std::string &text);

using Reply = framelink::Reply;

// Connects to "/tmp/vistrel.sock". Invalid on failure.
UniqueFD command_connect();
// Writes all of data. 0 or -1.
int send_all(int fd, const std::string &data);
// Reads one reply. 0, or -1 on end of stream, time-out or a bad header
// (wrong magic, over-long text, more descriptors announced than a reply
// carries).
int read_reply(int fd, Reply *reply, int timeout_ms = 5000);
// Sends line (a newline is added) and reads its reply.
int request(int fd, const std::string &line, Reply *reply);
// True when nothing (not even end of stream) arrives within timeout_ms.
bool stays_silent(int fd, int timeout_ms);
// True when the peer closes (end of stream, nothing else) within timeout_ms.
bool closes_without_reply(int fd, int timeout_ms);

// Connects to "/tmp/vistrel_event.sock". Invalid on failure.
UniqueFD event_connect();
// Reads one event message: its size (32 for an event), 0 at end of stream,
// -1 on time-out or error.
ssize_t read_event(int fd, VBlankEvent *event, int timeout_ms = 2000);
