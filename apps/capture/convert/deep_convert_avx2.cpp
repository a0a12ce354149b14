// The deep-colour kernel built for AVX2 (and FMA-free, so it rounds as the
// portable build does). Only the code in the target region is built for
// AVX2: the standard headers come before it.
#include <cstddef>
#include <cstdint>

#include "apps/capture/convert/deep_convert.h"
#include "apps/capture/convert/deep_convert_internal.h"

#pragma GCC push_options
#pragma GCC target("avx2")
namespace deep_avx2 {
#include "apps/capture/convert/deep_convert_kernel.h"
}  // namespace deep_avx2

void deep_convert_detail::convert_avx2(uint32_t fourcc, uint32_t width, uint32_t height, const uint8_t *src,
                                       uint32_t stride, const float *half, float *r, float *g, float *b,
                                       float *const (&pairs)[4][3], uint8_t *y, uint8_t *u, uint8_t *v)
{
    deep_avx2::Scratch s{r, g, b, {}};
    for (int i = 0; i < 4; ++i)
        for (int c = 0; c < 3; ++c)
            s.pairs[i][c] = pairs[i][c];
    deep_avx2::convert_picture(fourcc, width, height, src, stride, half, s, y, u, v);
}
#pragma GCC pop_options
