// What the HDR converter's portable and AVX2 files share: the tables the
// kernel reads (built by hdr_convert.cpp, once per tone map and thread) and
// the output's coefficients.
#pragma once

#include <cstdint>

namespace hdr_convert_detail {

// How a row's decoded values are finished.
enum Mode : int {
    MODE_PLAIN = 0,  // the values are the R', G', B' to convert
    MODE_PQ = 1,     // target-relative light (tone-mapped per channel): matrix, gamma
    MODE_HLG = 2,    // HLG scene light: OOTF gain, EETF, matrix, gamma
};

// Tables over the float bits of x in [2^-28, 1]: 1024 entries an octave,
// each read for the values nearest it (x within 2^-11 of its own value:
// a power of 1 or below within 5e-4 of its value, dark end included).
inline constexpr int kLogBits = 10;
inline constexpr int kLogOctaves = 28;
inline constexpr uint32_t kLogSize = (uint32_t(kLogOctaves) << kLogBits) + 1;

struct Tables {
    int mode;
    const float *code[3];   // R, G, B: a channel's raw code to its value
    float scale[3];         // when not 0: the values are the codes times these (no table read)
    const float *hlg_gain;  // log table: Ys to Ys^0.2 (HLG)
    const float *eetf;      // log table: display light / 1000 to target light (HLG)
    bool matrix;            // to_709 is not the identity
    float m[9];             // linear BT.2020 to BT.709
    float ys[3];            // BT.2020 luminance weights (HLG)
};

// A Y'CbCr output: the matrix scaled to the output's steps, the offsets with
// a half added (truncation rounds), the largest code.
struct Coeffs {
    float yr, yg, yb, ur, ug, ub, vr, vg, vb;
    float y0, c0, top;
};

// The picture converted by the kernel built for AVX2 (the caller checked
// the arguments and the processor). scratch holds 3 rows of width + 8 and
// 12 rows of (width + 1) / 2 + 8 floats.
void convert_avx2_8(uint32_t fourcc, const Tables &t, const Coeffs &k, uint32_t width, uint32_t height,
                    const uint8_t *src, uint32_t stride, float *scratch, uint8_t *y, uint8_t *u, uint8_t *v);
void convert_avx2_16(uint32_t fourcc, const Tables &t, const Coeffs &k, uint32_t width, uint32_t height,
                     const uint8_t *src, uint32_t stride, float *scratch, uint16_t *y, uint16_t *u, uint16_t *v);

// One row to R', G', B' in [0, 1] by the AVX2 build (scratch rows of n + 8).
void signal_row_avx2(uint32_t fourcc, const Tables &t, const uint8_t *src, uint32_t n, float *r, float *g, float *b);

}  // namespace hdr_convert_detail
