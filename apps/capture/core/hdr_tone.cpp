#include "apps/capture/core/hdr_tone.h"

#include <algorithm>
#include <cmath>

namespace {

// SMPTE ST 2084 constants.
constexpr double kM1 = 2610.0 / 16384, kM2 = 2523.0 / 4096 * 128;
constexpr double kC1 = 3424.0 / 4096, kC2 = 2413.0 / 4096 * 32, kC3 = 2392.0 / 4096 * 32;

// HLG (BT.2100) constants.
constexpr double kHlgA = 0.17883277, kHlgB = 1 - 4 * kHlgA;
const double kHlgC = 0.5 - kHlgA * std::log(4 * kHlgA);
constexpr double kHlgPeak = 1000.0;  // cd/m2: the display the OOTF renders for
constexpr double kHlgGamma = 1.2;    // its system gamma

// Luminance weights of BT.2020 and BT.709 (the Y'CbCr matrices).
constexpr double kKr2020 = 0.2627, kKb2020 = 0.0593;
constexpr double kKr709 = 0.2126, kKb709 = 0.0722;

using Mat3 = double[3][3];

void mat_mul(const Mat3 a, const Mat3 b, Mat3 out)
{
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            out[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
}

void mat_inverse(const Mat3 m, Mat3 out)
{
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            // Cofactor of (j, i), the cyclic form carries the sign.
            const int r0 = (j + 1) % 3, r1 = (j + 2) % 3, c0 = (i + 1) % 3, c1 = (i + 2) % 3;
            out[i][j] = (m[r0][c0] * m[r1][c1] - m[r0][c1] * m[r1][c0]) / det;
        }
}

// RGB to CIE XYZ of primaries given as (x, y), white D65.
void rgb_to_xyz(const double primaries[3][2], Mat3 out)
{
    const double wx = 0.3127, wy = 0.3290;
    Mat3 p;
    for (int c = 0; c < 3; ++c) {
        const double x = primaries[c][0], y = primaries[c][1];
        p[0][c] = x / y;
        p[1][c] = 1.0;
        p[2][c] = (1 - x - y) / y;
    }
    Mat3 inv;
    mat_inverse(p, inv);
    const double w[3] = {wx / wy, 1.0, (1 - wx - wy) / wy};
    for (int c = 0; c < 3; ++c) {
        const double s = inv[c][0] * w[0] + inv[c][1] * w[1] + inv[c][2] * w[2];
        for (int r = 0; r < 3; ++r)
            out[r][c] = p[r][c] * s;
    }
}

// Linear BT.2020 RGB to linear BT.709 RGB, derived from the two sets of
// primaries (both D65).
void bt2020_to_709(float out[9])
{
    static const double p2020[3][2] = {{0.708, 0.292}, {0.170, 0.797}, {0.131, 0.046}};
    static const double p709[3][2] = {{0.640, 0.330}, {0.300, 0.600}, {0.150, 0.060}};
    Mat3 a, b, b_inv, m;
    rgb_to_xyz(p2020, a);
    rgb_to_xyz(p709, b);
    mat_inverse(b, b_inv);
    mat_mul(b_inv, a, m);
    for (int i = 0; i < 9; ++i)
        out[i] = float(m[i / 3][i % 3]);
}

}  // namespace

double hdr_hlg_inverse_oetf(double code)
{
    const double e = std::clamp(code, 0.0, 1.0);
    return e <= 0.5 ? e * e / 3 : (std::exp((e - kHlgC) / kHlgA) + kHlgB) / 12;
}

double hdr_hlg_oetf(double scene)
{
    const double e = std::clamp(scene, 0.0, 1.0);
    return e <= 1.0 / 12 ? std::sqrt(3 * e) : kHlgA * std::log(12 * e - kHlgB) + kHlgC;
}

HdrToneMap hdr_tone_map_for(const HdrSignal &signal)
{
    HdrToneMap map{};
    map.transfer = signal.transfer;
    map.bt2020 = signal.bt2020;
    map.target_peak = HDR_TONE_TARGET_PEAK;
    double peak = HDR_TONE_DEFAULT_PEAK;
    if (signal.transfer == HDR_TRANSFER_HLG)
        peak = kHlgPeak;
    else if (signal.max_cll)
        peak = signal.max_cll;
    else if (signal.max_mastering_luminance)
        peak = signal.max_mastering_luminance;
    // Nothing to compress below the target; nothing the code can say above 10000.
    map.source_peak = float(std::clamp(peak, double(map.target_peak), 10000.0));
    map.source_peak_pq = float(hdr_nits_to_pq(map.source_peak));
    map.max_lum = float(hdr_nits_to_pq(map.target_peak) / map.source_peak_pq);
    map.knee_start = 1.5f * map.max_lum - 0.5f;
    if (signal.bt2020) {
        bt2020_to_709(map.to_709);
    } else {
        for (int i = 0; i < 9; ++i)
            map.to_709[i] = i % 4 == 0 ? 1.0f : 0.0f;
    }
    return map;
}

double hdr_pq_to_nits(double code)
{
    const double p = std::pow(std::clamp(code, 0.0, 1.0), 1 / kM2);
    return 10000 * std::pow(std::max(p - kC1, 0.0) / (kC2 - kC3 * p), 1 / kM1);
}

double hdr_nits_to_pq(double nits)
{
    const double y = std::pow(std::clamp(nits / 10000, 0.0, 1.0), kM1);
    return std::pow((kC1 + kC2 * y) / (1 + kC3 * y), kM2);
}

double hdr_eetf(const HdrToneMap &map, double pq)
{
    const double ks = map.knee_start, max_lum = map.max_lum;
    // Source and target black are 0; values above the source peak are held
    // at the target peak, where the spline arrives with a slope of 0.
    const double e1 = std::clamp(pq / map.source_peak_pq, 0.0, 1.0);
    double e2 = e1;
    if (e1 >= ks && ks < 1) {
        const double t = (e1 - ks) / (1 - ks), t2 = t * t, t3 = t2 * t;
        e2 = (2 * t3 - 3 * t2 + 1) * ks + (t3 - 2 * t2 + t) * (1 - ks) + (-2 * t3 + 3 * t2) * max_lum;
    }
    return e2 * map.source_peak_pq;
}

void hdr_display_light(const HdrToneMap &map, const double in[3], double nits[3])
{
    if (map.transfer == HDR_TRANSFER_HLG) {
        double e[3];
        for (int c = 0; c < 3; ++c)
            e[c] = hdr_hlg_inverse_oetf(in[c]);
        const double ys = kKr2020 * e[0] + (1 - kKr2020 - kKb2020) * e[1] + kKb2020 * e[2];
        const double gain = ys > 0 ? kHlgPeak * std::pow(ys, kHlgGamma - 1) : 0.0;
        for (int c = 0; c < 3; ++c)
            nits[c] = gain * e[c];
    } else if (map.transfer == HDR_TRANSFER_PQ) {
        for (int c = 0; c < 3; ++c)
            nits[c] = hdr_pq_to_nits(in[c]);
    } else {
        for (int c = 0; c < 3; ++c)
            nits[c] = map.target_peak * std::pow(std::clamp(in[c], 0.0, 1.0), 2.4);
    }
}

void hdr_tone_map_rgb(const HdrToneMap &map, const double in[3], double out[3])
{
    if (map.transfer == HDR_TRANSFER_SDR) {
        for (int c = 0; c < 3; ++c)
            out[c] = std::clamp(in[c], 0.0, 1.0);
        return;
    }
    double light[3];
    if (map.transfer == HDR_TRANSFER_PQ) {
        for (int c = 0; c < 3; ++c)
            light[c] = hdr_pq_to_nits(hdr_eetf(map, std::clamp(in[c], 0.0, 1.0))) / map.target_peak;
    } else {
        double nits[3];
        hdr_display_light(map, in, nits);
        for (int c = 0; c < 3; ++c)
            light[c] = hdr_pq_to_nits(hdr_eetf(map, hdr_nits_to_pq(nits[c]))) / map.target_peak;
    }
    for (int c = 0; c < 3; ++c) {
        const float *m = map.to_709 + 3 * c;
        const double v = double(m[0]) * light[0] + double(m[1]) * light[1] + double(m[2]) * light[2];
        out[c] = std::pow(std::clamp(v, 0.0, 1.0), 1 / 2.4);
    }
}

void hdr_rgb_to_ycbcr709(const double rgb[3], double ycbcr[3])
{
    const double luma = kKr709 * rgb[0] + (1 - kKr709 - kKb709) * rgb[1] + kKb709 * rgb[2];
    ycbcr[0] = 16 + 219 * luma;
    ycbcr[1] = 128 + 224 * (rgb[2] - luma) / (2 * (1 - kKb709));
    ycbcr[2] = 128 + 224 * (rgb[0] - luma) / (2 * (1 - kKr709));
}

void hdr_rgb_to_ycbcr10(const double rgb[3], bool bt2020, double ycbcr[3])
{
    const double kr = bt2020 ? kKr2020 : kKr709, kb = bt2020 ? kKb2020 : kKb709;
    const double luma = kr * rgb[0] + (1 - kr - kb) * rgb[1] + kb * rgb[2];
    ycbcr[0] = 64 + 876 * luma;
    ycbcr[1] = 512 + 896 * (rgb[2] - luma) / (2 * (1 - kb));
    ycbcr[2] = 512 + 896 * (rgb[0] - luma) / (2 * (1 - kr));
}
