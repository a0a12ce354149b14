// Tone mapping an HDR picture to SDR BT.709 for viewers without HDR, and
// the colour arithmetic of the 10-bit HDR stream. One definition of the
// curve, used as written by the processor converters and as the reference
// of the GPU shaders.
//
// The curve, per pixel:
//  1. Decode the signal (R', G', B' in [0, 1]) to display light in cd/m2:
//     PQ through the SMPTE ST 2084 EOTF; HLG through its inverse OETF, then
//     the BT.2100 OOTF of a 1000 cd/m2 display (system gamma 1.2, applied on
//     the luminance of the BT.2020 primaries).
//  2. Map each channel's light with the ITU-R BT.2390 EETF in the PQ
//     domain, from the source's range [0, source_peak] to the target's
//     [0, target_peak]: the identity below the knee at 1.5 * maxLum - 0.5
//     (normalized PQ), the Hermite spline above it, so that source_peak
//     lands on target_peak and every brighter value is rolled off, never
//     clipped. source_peak is the content's MaxCLL, else the mastering
//     display's peak, else 1000 cd/m2 (HLG: 1000); target_peak is
//     HDR_TONE_TARGET_PEAK, an SDR display.
//  3. Scale to [0, 1] by target_peak, convert BT.2020 primaries to BT.709
//     (linear light, when the connector says BT.2020), clip to [0, 1].
//  4. Encode with the inverse of BT.1886 (gamma 1/2.4): the SDR signal an
//     SDR display shows at that light.
//
// Where the standards leave a choice, this curve takes:
//  - Black is 0 cd/m2 on both sides: the EETF's normalization is E / the
//    source peak's PQ code and its black-level lift (BT.2390's b term) is 0.
//  - A code above the source peak is held at the target peak: the spline
//    arrives there with a slope of 0, so the join has neither step nor
//    corner. A source peak below the target peak is raised to it (nothing
//    to compress: the EETF is the identity) and one above 10000 cd/m2 is
//    10000.
//  - HLG always renders for the 1000 cd/m2 display (source_peak 1000,
//    whatever MaxCLL says), black 0 (OOTF beta 0), the luminance Ys with the
//    BT.2020 weights 0.2627, 0.6780, 0.0593 as written above, and a pixel of
//    Ys 0 is black. Its inverse OETF: E'^2 / 3 up to E' = 1/2, above it
//    (exp((E' - c) / a) + b) / 12.
//  - An SDR signal passes through unchanged (clamped to [0, 1]).
#pragma once

#include <cstdint>

#include "apps/capture/core/hdr_signal.h"

inline constexpr float HDR_TONE_TARGET_PEAK = 100.0f;  // cd/m2
inline constexpr float HDR_TONE_DEFAULT_PEAK = 1000.0f;  // cd/m2, without metadata

// The parameters of one signal's curve, computed once.
struct HdrToneMap {
    HdrTransfer transfer;
    bool bt2020;
    float source_peak;   // cd/m2
    float target_peak;   // cd/m2
    float source_peak_pq;  // PQ code of source_peak
    float max_lum;       // target_peak's PQ code over source_peak's (normalized PQ)
    float knee_start;    // 1.5 * max_lum - 0.5
    float to_709[9];     // linear BT.2020 to BT.709, row-major (identity when not bt2020)
};

HdrToneMap hdr_tone_map_for(const HdrSignal &signal);

// SMPTE ST 2084: a code in [0, 1] to cd/m2 and back.
double hdr_pq_to_nits(double code);
double hdr_nits_to_pq(double nits);

// HLG's inverse OETF (BT.2100): a code in [0, 1] to relative scene light.
double hdr_hlg_inverse_oetf(double code);
// HLG's OETF: relative scene light in [0, 1] to its code.
double hdr_hlg_oetf(double scene);

// The BT.2390 EETF on a PQ code (absolute, [0, 1]) under the map's range.
double hdr_eetf(const HdrToneMap &map, double pq);

// Step 1 alone: the signal's R', G', B' in [0, 1] to display light in cd/m2
// (SDR: BT.1886 on a target_peak display).
void hdr_display_light(const HdrToneMap &map, const double in[3], double nits[3]);

// The whole curve in double precision (the reference): signal R', G', B' in
// [0, 1] to the SDR BT.709 signal R', G', B' in [0, 1].
void hdr_tone_map_rgb(const HdrToneMap &map, const double in[3], double out[3]);

// The SDR signal's BT.709 limited-range Y'CbCr from R', G', B' in [0, 1]
// (Y' 16..235, Cb and Cr 16..240), unrounded.
void hdr_rgb_to_ycbcr709(const double rgb[3], double ycbcr[3]);

// The 10-bit stream's Y'CbCr: BT.2020 non-constant luminance (BT.709 when not
// bt2020), limited
// range (Y' 64..940, Cb and Cr 64..960), from the signal's R', G', B' in
// [0, 1] as they are (no tone mapping: PQ and HLG pass through), unrounded.
void hdr_rgb_to_ycbcr10(const double rgb[3], bool bt2020, double ycbcr[3]);
