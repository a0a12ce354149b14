#include "apps/capture/core/capture_config.h"

#include <cstring>

CaptureConfig capture_config_default()
{
    CaptureConfig config;
    std::memset(&config, 0, sizeof config);
    config.width = 2560;
    config.height = 1440;
    config.fps = 60;
    config.mode = CAPTURE_MODE_FAST;
    config.vblank_sync = true;
    config.out_width = 0;
    config.out_height = 0;
    config.card_index = -1;
    std::strcpy(config.port, "dp-3");
    std::strcpy(config.card_path, "/dev/dri/card1");
    return config;
}

bool capture_mode_known(int64_t mode)
{
    for (const CaptureModeName &entry : kCaptureModes) {
        if (entry.mode == mode)
            return true;
    }
    return false;
}

const char *capture_mode_name(int64_t mode)
{
    for (const CaptureModeName &entry : kCaptureModes) {
        if (entry.mode == mode)
            return entry.name;
    }
    return "unknown";
}

int32_t capture_mode_from_name(const char *name)
{
    if (name == nullptr)
        return -1;
    for (const CaptureModeName &entry : kCaptureModes) {
        if (std::strcmp(entry.name, name) == 0)
            return entry.mode;
    }
    return -1;
}
