// The relay's event loop.
#pragma once

#include "tools/relay/relay_options.h"

// Binds the relay's sockets, prints "ready=1", serves the stream and the
// control connections until SIGINT/SIGTERM or a limit of the options, then
// prints the summary. Returns the process's exit status.
int relay_run(const RelayOptions &options);
