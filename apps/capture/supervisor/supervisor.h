// The capture program's supervisor: command line, helper connection, capture
// session, the worker's fork and start handshake, and the tear-down.
#pragma once

struct CapturePipelines;

// The whole program: returns its exit status (0 for --help and for every run
// that reached the fork, 1 for a bad command line or a failed set-up). The
// forked worker runs the given pipelines and never returns from here: it
// exits with status 1. A -c value of 32 characters or more, or a failed send
// of the start word, ends the process with status 1.
int capture_main(int argc, char **argv, const CapturePipelines *pipelines);
