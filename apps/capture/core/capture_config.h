// The run settings of the capture program and the capture modes.
#pragma once

#include <cstdint>

enum CaptureMode : int32_t {
    CAPTURE_MODE_COMPATIBLE = 0,
    CAPTURE_MODE_BALANCED = 1,
    CAPTURE_MODE_FAST = 2,
    // Chosen by the worker before its first run (auto_mode.h); no pipeline
    // runs as this mode.
    CAPTURE_MODE_AUTO = 3,
};

// The modes and their names, the one table every reader and writer of a mode
// name uses (command line, control requests, CONFIG replies, logs).
struct CaptureModeName {
    CaptureMode mode;
    const char *name;
};
inline constexpr CaptureModeName kCaptureModes[] = {
    {CAPTURE_MODE_COMPATIBLE, "compatible"},
    {CAPTURE_MODE_BALANCED, "balanced"},
    {CAPTURE_MODE_FAST, "fast"},
};

// Filled from the defaults and the command line by the supervisor, copied
// into the front of the CaptureSession, edited by the driver between runs.
struct CaptureConfig {
    int32_t width;   // shown in the configuration line only
    int32_t height;  // shown in the configuration line only
    int32_t fps;
    int32_t mode;              // CaptureMode
    bool vblank_sync;          // true: VBlank-Sync pacing, false: Fixed-FPS pacing
    int32_t out_width;         // 0 = as captured
    int32_t out_height;        // 0 = as captured
    int32_t card_index;        // -1 = not given as a number
    char port[32];             // NUL-terminated, zero-filled after the terminator
    char card_path[32];        // NUL-terminated, zero-filled after the terminator
    bool same_frame_readback;  // balanced and compatible map the frame's own read-back, not the previous one's
    bool fetch_once;           // true: sample the one frame fetched at the start, do not follow the scanout
    bool no_cursor;            // true: leave the display's cursor plane out of the picture
    bool gl_readback;          // true: compatible draws and reads back through GL even a frame the processor maps
    int32_t rotate;            // 0, 90, 180 or 270: the stream turned clockwise, for a screen its user turned
    bool hdr;                  // true: a 10-bit stream with the connector's colour (H.265 or AV1), not tone-mapped SDR
};

// Returns a record holding the defaults: 2560x1440, 60 fps, fast mode,
// VBlank-Sync, no scaling, card -1, port "dp-3", path "/dev/dri/card1",
// read-back one frame late.
CaptureConfig capture_config_default();

// True for a value of the table.
bool capture_mode_known(int64_t mode);

// Returns "compatible", "balanced", "fast", "auto", or "unknown" for any
// other value.
const char *capture_mode_name(int64_t mode);

// The mode named exactly by name (case matters), or -1 for any other word
// and for null.
int32_t capture_mode_from_name(const char *name);
