// vistrel-relay: the local peer of the capture program's streamer. See --help.
#include "tools/relay/relay_loop.h"
#include "tools/relay/relay_options.h"

int main(int argc, char **argv)
{
    RelayOptions options;
    int r = relay_parse_options(argc, argv, &options);
    if (r != 0)
        return r > 0 ? 0 : 2;
    return relay_run(options);
}
