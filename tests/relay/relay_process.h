// Runs vistrel-relay as a child process for the tests and reads its
// key=value output.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "libs/common/unique_fd.h"

struct RelayProcess {
    pid_t pid = -1;
    UniqueFD stdin_fd;
    UniqueFD stdout_fd;
    std::string output;
    int status = -1;
};

// Starts the relay with args and waits until both sockets accept
// connections. Returns 0, or -1 (the child, if any, is killed and reaped).
int relay_process_start(RelayProcess *p, const std::vector<std::string> &args);

// Sends SIGINT when `interrupt` is set, then reads standard output until it
// closes and reaps the child; kills it after timeout_ms. Returns 0 when the
// relay exited by itself with status 0.
int relay_process_finish(RelayProcess *p, bool interrupt, int timeout_ms);

// The last value of every key=value line of the output.
std::map<std::string, std::string> relay_process_values(const std::string &output);
