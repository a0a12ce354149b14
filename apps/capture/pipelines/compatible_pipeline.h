// The compatible pipeline's adaptive output rate.
#pragma once

#include <cstdint>

// The rate after one produced frame that took total_ns of an interval_ns
// period: 5% lower (never below 10) when the frame took more than 90% of
// the period; 0.2 higher when it took less than 70%, the configured fps and
// the display rate less 2 Hz are both above the rate, and pass is a multiple
// of 10; otherwise unchanged.
double compat_target_fps_update(double target_fps, uint64_t total_ns, double interval_ns, int32_t fps,
                                double upstream_hz, uint32_t pass);
