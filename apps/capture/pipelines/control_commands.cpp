#include "apps/capture/pipelines/control_commands.h"

#include "apps/capture/core/capture_config.h"
#include "apps/capture/core/pipeline_control.h"
#include "apps/capture/encoders/codec.h"
#include "apps/capture/encoders/codec_types.h"
#include "apps/capture/encoders/cpu_encoder.h"
#include "apps/capture/streamer/streamer.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A NUL-terminated working copy of a payload, cut to Size - 1 bytes.
template <size_t Size>
struct PayloadCopy {
    char text[Size];

    PayloadCopy(const void *data, uint64_t length)
    {
        if (data == nullptr)
            length = 0;
        const int precision = static_cast<int>(length < Size ? length : Size - 1);
        snprintf(text, Size, "%.*s", precision, static_cast<const char *>(data));
    }
};

void request_change(PipelineControl *control)
{
    control->change_requested.store(true, std::memory_order_release);
}

// The running run's encoder as published: the balanced run's, else the
// compatible run's, else the fast run's requests; each pointer is loaded
// once, and only the first one published is used.
struct RunningEncoder {
    CpuEncoder *cpu = nullptr;
    CodecContext *codec = nullptr;
    EncoderRequests *vaapi = nullptr;
};

RunningEncoder running_encoder(const PipelineControl *control)
{
    RunningEncoder e;
    e.cpu = control->cpu_encoder.load(std::memory_order_acquire);
    if (e.cpu == nullptr)
        e.codec = control->codec.load(std::memory_order_acquire);
    if (e.cpu == nullptr && e.codec == nullptr)
        e.vaapi = control->vaapi_requests.load(std::memory_order_acquire);
    return e;
}

void on_bitrate(PipelineControl *control, const void *data, uint64_t length)
{
    if (data == nullptr || length < 4)
        return;
    int32_t bps;
    std::memcpy(&bps, data, sizeof(bps));
    printf("[App] Adjusting bitrate to %d bps\n", bps);
    const RunningEncoder e = running_encoder(control);
    if (e.cpu != nullptr)
        cpu_encoder_set_bitrate(e.cpu, bps);
    else if (e.codec != nullptr)
        codec_set_bitrate(e.codec, bps);
    else if (e.vaapi != nullptr)
        e.vaapi->pending_bitrate.store(bps);
}

void on_keyframe(PipelineControl *control)
{
    fputs("[App] Forcing IDR frame\n", stderr);
    const RunningEncoder e = running_encoder(control);
    if (e.cpu != nullptr)
        cpu_encoder_force_keyframe(e.cpu);
    else if (e.codec != nullptr)
        codec_force_keyframe(e.codec);
    else if (e.vaapi != nullptr)
        e.vaapi->force_keyframe.store(true);
}

void on_resolution(PipelineControl *control, const void *data, uint64_t length)
{
    PayloadCopy<64> copy(data, length);
    int width = 0;
    int height = 0;
    if (sscanf(copy.text, "%dx%d", &width, &height) != 2)
        return;
    fprintf(stderr, "[App] Resolution change requested: %dx%d\n", width, height);
    control->new_width = width;
    control->new_height = height;
    request_change(control);
}

void on_codec(PipelineControl *control, const void *data, uint64_t length)
{
    PayloadCopy<32> copy(data, length);
    const CodecType type = codec_type_from_string(copy.text);
    if (type == CODEC_TYPE_UNCHANGED) {
        fprintf(stderr, "[App] Unknown codec: %s\n", copy.text);
        return;
    }
    fprintf(stderr, "[App] Codec change: %s\n", copy.text);
    control->new_codec = type;
    request_change(control);
}

void on_mode(PipelineControl *control, const void *data, uint64_t length)
{
    PayloadCopy<64> copy(data, length);
    char mode_word[16] = {};
    char pacing_word[16] = {};
    int fps = 0;
    const int fields = sscanf(copy.text, "%15[^:]:%15[^:]:%d", mode_word, pacing_word, &fps);
    fprintf(stderr, "[App] MODE query received\n %s \n ", copy.text);
    if (fields < 2)
        return;
    int32_t mode = capture_mode_from_name(mode_word);
    if (mode < 0)
        mode = CAPTURE_MODE_BALANCED;  // any unknown word asks for the balanced mode
    const bool sync = strcmp(pacing_word, "sync") == 0 || strcmp(pacing_word, "1") == 0;
    fprintf(stderr, "[App] Mode change: %s vblank_sync=%d fps=%d\n", mode_word, sync ? 1 : 0, fps);
    control->mode = mode;
    control->vblank_sync = sync;
    control->fps = fps;
    request_change(control);
}

void on_pacing(PipelineControl *control, const void *data, uint64_t length)
{
    PayloadCopy<64> copy(data, length);
    int fps = 0;
    if (strcmp(copy.text, "sync") == 0) {
        control->vblank_sync = true;
        request_change(control);
    } else if (sscanf(copy.text, "fix:%d", &fps) == 1) {
        control->vblank_sync = false;
        control->fps = fps;
        request_change(control);
    }
}

void on_reconfig(PipelineControl *control, const void *data, uint64_t length)
{
    const int shown = static_cast<int>(length > INT_MAX ? INT_MAX : length);
    fprintf(stderr, "[App] Reconfig requested:\n%.*s\n", data ? shown : 0, data ? static_cast<const char *>(data) : "");
    PayloadCopy<1024> copy(data, length);
    char *rest = nullptr;
    for (char *line = strtok_r(copy.text, "\n", &rest); line != nullptr; line = strtok_r(nullptr, "\n", &rest)) {
        if (strncmp(line, "RESOLUTION:", 11) == 0) {
            on_resolution(control, line + 11, strlen(line + 11));
        } else if (strncmp(line, "CODEC:", 6) == 0) {
            on_codec(control, line + 6, strlen(line + 6));
        } else if (strncmp(line, "BPS:", 4) == 0) {
            const int32_t bps = static_cast<int32_t>(strtol(line + 4, nullptr, 10));
            on_bitrate(control, &bps, sizeof(bps));
        }
    }
    fputs("[App] Reconfig complete, restarting pipeline\n", stderr);
}

}  // namespace

void on_streamer_feedback(uint32_t event, const void *data, uint64_t length, void *user)
{
    PipelineControl *control = static_cast<PipelineControl *>(user);
    if (control == nullptr)
        return;
    switch (event) {
    case FEEDBACK_SDP:
        fputs("[App] Relay SDP received: ", stderr);
        if (data != nullptr)
            fwrite(data, 1, length, stderr);
        fputc('\n', stderr);
        break;
    case FEEDBACK_BITRATE: on_bitrate(control, data, length); break;
    case FEEDBACK_KEYFRAME: on_keyframe(control); break;
    case FEEDBACK_RESOLUTION: on_resolution(control, data, length); break;
    case FEEDBACK_CODEC: on_codec(control, data, length); break;
    case FEEDBACK_MODE: on_mode(control, data, length); break;
    case FEEDBACK_PACING: on_pacing(control, data, length); break;
    case FEEDBACK_RESTART: fputs("[App] Pipeline restart requested\n", stderr); break;
    case FEEDBACK_RECONFIG: on_reconfig(control, data, length); break;
    default: break;
    }
}
