// What the deep-colour converter's portable and AVX2 files share.
#pragma once

#include <cstdint>

namespace deep_convert_detail {

// The picture converted by the kernel built for AVX2 (the caller checked
// the arguments and the processor); scratch rows as deep_convert.cpp lays
// them out.
void convert_avx2(uint32_t fourcc, uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride,
                  const float *half, float *r, float *g, float *b, float *const (&pairs)[4][3], uint8_t *y, uint8_t *u,
                  uint8_t *v);

}  // namespace deep_convert_detail
