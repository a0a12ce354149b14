// What the relay writes on the control socket: one record is dispatched by
// its prefix and its payload parsed into the run's PipelineControl
// (resolution, codec, mode and pacing, bit rate, a RECONFIG's lines). A
// CONFIG query is answered on a socket pair whose other end is drained.
// The same bytes then go to the feedback handler directly: the first picks
// the event, the rest is the payload.
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "apps/capture/core/pipeline_control.h"
#include "apps/capture/pipelines/control_commands.h"
#include "apps/capture/streamer/control_channel.h"
#include "apps/capture/streamer/streamer.h"
#include "tests/fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The control thread reads at most 4095 bytes into a 4096-byte buffer.
    if (size > 4095)
        return 0;
    const int lowest = fuzz_lowest_free_fd();
    FuzzPair pair;
    if (!fuzz_pair(SOCK_SEQPACKET, &pair))
        abort();

    PipelineControl control{};
    control.new_width = -1;
    control.new_height = -1;
    control.new_codec = 5;
    StreamerConfig config{};
    config.width = 1280;
    config.height = 720;
    config.codec_name = "H.264";
    config.fps = 30;
    config.feedback = on_streamer_feedback;
    config.feedback_user = &control;

    // Exactly the record's bytes on the heap, so a read past them is caught.
    std::vector<char> buffer(size + 1);
    std::memcpy(buffer.data(), data, size);
    buffer[size] = '\0';
    std::vector<char> reply(512);
    control_dispatch_record(&config, pair.ours.get(), buffer.data(), size, reply.data());

    // The handlers straight, with payloads that are not NUL-terminated (as
    // their contract allows) and events the control thread never makes.
    if (size > 0) {
        std::vector<char> payload(data + 1, data + size);
        on_streamer_feedback(data[0] % 11, payload.empty() ? nullptr : payload.data(), payload.size(), &control);
    }

    char answer[1024];
    while (recv(pair.theirs.get(), answer, sizeof answer, MSG_DONTWAIT) > 0) {
    }
    pair = {};
    fuzz_expect_no_leak(lowest, "a control record");
    return 0;
}
