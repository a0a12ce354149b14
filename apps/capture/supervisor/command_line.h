// The capture program's command line: options into a CaptureConfig, the
// usage text, and the fatal-error exit.
#pragma once

#include "apps/capture/core/capture_config.h"

// Prints the usage text to stdout, with program (argv[0]) in its first line.
void print_usage(const char *program);

// Writes the formatted message and a newline to stderr and ends the process
// with exit status 1.
[[noreturn]] void die(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Applies the options of argv, in order, to *config (normally filled with
// capture_config_default first). Returns:
//   0  the options are valid: start up with *config;
//   1  --help was given: the usage text is printed, exit with status 0;
//  -1  an unknown option, a missing argument, or a bad -m or -s value: the
//      message or the usage text is printed, exit with status 1.
// A -c value of 32 characters or more ends the process through die().
// May be called more than once in a process.
int capture_parse_command_line(int argc, char **argv, CaptureConfig *config);
