// The composer's row functions shared by its portable and AVX2 halves.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plane_compose_detail {

inline constexpr uint32_t kUnit = 1u << 15;    // a blend factor of 1
inline constexpr uint32_t kFull = 255u << 8;   // a channel of 255 in 1/256 steps
inline constexpr uint32_t kTapOne = 1u << 12;  // a filter tap's weight of 1

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

// Whether the composer may use its AVX2 passes where the processor has them
// (on unless a test turns it off to check the portable passes).
void set_avx2_allowed(bool allowed);
bool avx2_in_use();

// The filter's passes 256 bits wide (plane_compose_avx2.cpp); each returns
// how many bytes or pixels it did, the portable passes do the rest.
// Down: dst[j] = (top[j] * (1 - wy) + bottom[j] * wy) in 1/128 steps.
size_t filter_down_avx2(const uint8_t *top, const uint8_t *bottom, uint32_t wy, size_t count, int16_t *dst);
// Across a filtered row of packed pixels: B G R A in 1/256 steps into line,
// or for an opaque layer the stream's pixels into out.
uint32_t filter_across_packed_avx2(bool swap, bool keep_alpha, bool opaque, const int16_t *row, const uint32_t *index,
                                   const int32_t *weight, uint32_t n, uint16_t *line, uint32_t *out);

// An opaque row of whole pixels: out = src with X 0xff (R and B swapped when swap).
uint32_t copy_row_avx2(const uint8_t *src, uint32_t n, bool swap, uint32_t *out);

}  // namespace plane_compose_detail
