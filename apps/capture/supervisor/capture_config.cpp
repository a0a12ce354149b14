#include "apps/capture/supervisor/capture_config.h"

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

const char *capture_mode_name(int32_t mode)
{
    switch (mode) {
    case CAPTURE_MODE_COMPATIBLE: return "compatible";
    case CAPTURE_MODE_BALANCED: return "balanced";
    case CAPTURE_MODE_FAST: return "fast";
    case CAPTURE_MODE_AUTO: return "auto";
    default: return "unknown";
    }
}
