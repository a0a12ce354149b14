// The composer's row functions shared by its portable and AVX2 halves.
#pragma once

#include <cstdint>

namespace plane_compose_detail {

inline constexpr uint32_t kUnit = 1u << 15;   // a blend factor of 1
inline constexpr uint32_t kFull = 255u << 8;  // a channel of 255 in 1/256 steps

// The blend of a layer whose pixels are filtered: plane alpha in 1/32768
// steps, whether the pixel's alpha counts, and whether the colour is
// premultiplied (Coverage: it is not).
struct Blend16 {
    uint32_t p15;
    bool use_alpha;
    bool coverage;
};

// Blends n pixels of B G R A channels in 1/256 steps (0 to 65280) over out.
void blend_row16(const uint16_t *s, uint32_t n, const Blend16 &b, uint32_t *out);

}  // namespace plane_compose_detail
