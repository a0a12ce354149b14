// What a client writes to the helper's command socket: the request loop
// reads it line by line and answers, against the default virtual world, so
// SET_TARGET and GET_FRAME run their real paths (event service included).
// The loop must end on every input with nothing left open.
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "apps/capture-helper/drm_module.h"
#include "apps/capture-helper/server.h"
#include "tests/fuzz/fuzz_util.h"

namespace {

void line_reader(const uint8_t *data, size_t size)
{
    FuzzPair pair;
    if (!fuzz_pair(SOCK_STREAM, &pair) || !fuzz_write_all(pair.theirs.get(), data, size))
        abort();
    shutdown(pair.theirs.get(), SHUT_WR);
    char line[UDS_REQUEST_BUFFER];
    for (;;) {
        const long n = readline_from_socket(pair.ours.get(), line, sizeof line);
        if (n <= 0)
            break;
        // A NUL inside a line is kept; the parser then sees the line cut there.
        if (size_t(n) >= sizeof line || line[n] != '\0')
            abort();
        int count = 0;
        char *tokens[3] = {};
        parse_command(line, &count, tokens);
        for (int i = 0; i < count; ++i)
            if (tokens[i] < line || tokens[i] >= line + n || std::strpbrk(tokens[i], " \t\r\n") || !*tokens[i])
                abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (drm_module_init_with("1") < 0)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The socket buffer must hold the requests and every reply, as no
    // second thread reads them.
    if (size > 4096)
        return 0;
    line_reader(data, size);

    const int lowest = fuzz_lowest_free_fd();
    FuzzPair pair;
    if (!fuzz_pair(SOCK_STREAM, &pair) || !fuzz_write_all(pair.theirs.get(), data, size))
        abort();
    shutdown(pair.theirs.get(), SHUT_WR);
    {
        ClientState state;
        state.client_socket = std::move(pair.ours);
        handle_client_requests(&state);
        if (state.device_fd.get() != -1 || state.event_thread)
            abort();
    }
    pair = {};
    fuzz_expect_no_leak(lowest, "a request session");
    return 0;
}
