// Framing of every reply the server sends: a 16-byte header, the text, and
// for frame replies the descriptors as SCM_RIGHTS ancillary data.
#pragma once

#include "libs/framelink/protocol.h"

// Sends one reply: header, text (nullptr = none) and up to four descriptors
// in the given order. success = 1 for "OK\n" and frame replies, 0 for an
// error reply. Never raises SIGPIPE. Returns 0, or -1 after logging why.
int send_message(int socket, const char *text, const int *fds, int fd_count, int success);
