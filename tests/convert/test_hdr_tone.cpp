// The tone curve against values worked out from the standards' formulas:
// PQ's known points, the EETF's shape under several signals, HLG's display
// light, the BT.2020 to BT.709 matrix and the Y'CbCr endpoints.
#include "apps/capture/core/hdr_tone.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

HdrSignal signal(HdrTransfer transfer, uint16_t max_cll, uint16_t mastering, bool bt2020 = true)
{
    HdrSignal s;
    s.transfer = transfer;
    s.bt2020 = bt2020;
    s.max_cll = max_cll;
    s.max_mastering_luminance = mastering;
    return s;
}

TEST(HdrTone, PqKnownPointsAndRoundTrips)
{
    const struct {
        double nits, code;
    } points[] = {{0, 0}, {100, 0.50808}, {1000, 0.75183}, {10000, 1}};
    for (const auto &p : points) {
        EXPECT_NEAR(hdr_nits_to_pq(p.nits), p.code, 1e-5) << p.nits;
        EXPECT_NEAR(hdr_pq_to_nits(p.code), p.nits, p.nits * 1e-4 + 1e-9) << p.nits;
    }
    for (double nits : {0.001, 0.1, 5.0, 203.0, 4000.0, 9999.0})
        EXPECT_NEAR(hdr_pq_to_nits(hdr_nits_to_pq(nits)), nits, nits * 1e-9);
    EXPECT_EQ(hdr_pq_to_nits(1.5), 10000);  // out of range codes are clamped
    EXPECT_EQ(hdr_pq_to_nits(-0.1), 0);
}

TEST(HdrTone, SourcePeakComesFromTheMetadata)
{
    const struct {
        HdrSignal s;
        float peak;
    } cases[] = {
        {signal(HDR_TRANSFER_PQ, 4000, 1000), 4000}, {signal(HDR_TRANSFER_PQ, 0, 600), 600},
        {signal(HDR_TRANSFER_PQ, 0, 0), 1000},       {signal(HDR_TRANSFER_HLG, 4000, 2000), 1000},
        {signal(HDR_TRANSFER_PQ, 50, 0), 100},       {signal(HDR_TRANSFER_PQ, 20000, 0), 10000},
    };
    for (const auto &c : cases) {
        const HdrToneMap map = hdr_tone_map_for(c.s);
        EXPECT_EQ(map.source_peak, c.peak);
        EXPECT_EQ(map.target_peak, HDR_TONE_TARGET_PEAK);
        EXPECT_NEAR(map.source_peak_pq, hdr_nits_to_pq(c.peak), 1e-6);
        EXPECT_NEAR(map.knee_start, 1.5 * map.max_lum - 0.5, 1e-6);
    }
}

TEST(HdrTone, EetfKeepsTheKneeRollsOffAndNeverSteps)
{
    const double target_pq = hdr_nits_to_pq(HDR_TONE_TARGET_PEAK);
    for (uint16_t cll : {uint16_t(400), uint16_t(1000), uint16_t(4000), uint16_t(10000), uint16_t(80)}) {
        SCOPED_TRACE(cll);
        const HdrToneMap map = hdr_tone_map_for(signal(HDR_TRANSFER_PQ, cll, 0));
        const double knee = map.knee_start * map.source_peak_pq;
        EXPECT_NEAR(hdr_eetf(map, map.source_peak_pq), target_pq, 1e-6);
        double last = 0, steepest = 0;
        const double h = 1.0 / 100000;
        for (double pq = 0; pq <= 1; pq += h) {
            const double e = hdr_eetf(map, pq);
            if (pq < knee) {
                ASSERT_NEAR(e, pq, 1e-6) << pq;  // the identity below the knee
            }
            ASSERT_GE(e, last - 1e-12) << pq;      // monotonic
            ASSERT_LE(e, target_pq + 1e-6) << pq;  // never above the target's peak
            steepest = std::max(steepest, (e - last) / h);
            last = e;
        }
        // No step anywhere: the slope stays that of the identity at most.
        EXPECT_LE(steepest, 1.0 + 1e-3);
        // Just below the source peak the highlights still climb.
        EXPECT_LT(hdr_eetf(map, map.source_peak_pq * 0.97), target_pq - 1e-5);
    }
}

TEST(HdrTone, HlgRendersForTheThousandNitDisplay)
{
    const HdrToneMap map = hdr_tone_map_for(signal(HDR_TRANSFER_HLG, 0, 0));
    const struct {
        double code, scene;
    } greys[] = {{0, 0}, {0.5, 1.0 / 12}, {0.75, 0.26496256}, {1, 1}};
    for (const auto &g : greys) {
        EXPECT_NEAR(hdr_hlg_inverse_oetf(g.code), g.scene, 1e-6) << g.code;
        const double in[3] = {g.code, g.code, g.code};
        double nits[3];
        hdr_display_light(map, in, nits);
        for (double n : nits)  // a grey's Ys is its E: 1000 E^1.2
            EXPECT_NEAR(n, 1000 * std::pow(g.scene, 1.2), 1e-3) << g.code;
    }
    // A saturated red's light follows the pixel's luminance, not the channel's.
    const double red[3] = {0.75, 0, 0};
    double nits[3];
    hdr_display_light(map, red, nits);
    EXPECT_NEAR(nits[0], 1000 * std::pow(0.2627 * 0.26496256, 0.2) * 0.26496256, 1e-3);
    EXPECT_EQ(nits[1], 0);
}

TEST(HdrTone, WhiteStaysWhiteThroughTheMatrix)
{
    const HdrToneMap map = hdr_tone_map_for(signal(HDR_TRANSFER_PQ, 1000, 0));
    const double bt2087[9] = {1.6605, -0.5876, -0.0728, -0.1246, 1.1329, -0.0083, -0.0182, -0.1006, 1.1187};
    for (int r = 0; r < 3; ++r) {
        EXPECT_NEAR(map.to_709[3 * r] + map.to_709[3 * r + 1] + map.to_709[3 * r + 2], 1.0, 1e-6);
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(map.to_709[3 * r + c], bt2087[3 * r + c], 1e-3);
    }
    // Peak white lands on SDR white, black on black, a grey stays grey.
    for (double code : {0.0, 0.4, double(map.source_peak_pq)})
        for (bool bt2020 : {true, false}) {
            const HdrToneMap m = hdr_tone_map_for(signal(HDR_TRANSFER_PQ, 1000, 0, bt2020));
            const double in[3] = {code, code, code};
            double out[3];
            hdr_tone_map_rgb(m, in, out);
            const double want = code == 0 ? 0 : code == 0.4 ? out[0] : 1;
            for (double o : out)
                EXPECT_NEAR(o, want, 1e-6) << code;
        }
    // 100 cd/m2 lies above the knee of a 1000 cd/m2 source: darker than SDR white.
    const double grey[3] = {0.50808, 0.50808, 0.50808};
    double out[3];
    hdr_tone_map_rgb(map, grey, out);
    const double light = hdr_pq_to_nits(hdr_eetf(map, 0.50808)) / 100;
    EXPECT_NEAR(out[0], std::pow(light, 1 / 2.4), 1e-6);
    EXPECT_LT(light, 0.9);
    EXPECT_GT(light, 0.4);
}

TEST(HdrTone, YcbcrEndpoints)
{
    const struct {
        double rgb[3];
        double y10, cb10, cr10, y8, cb8, cr8;
    } cases[] = {
        {{0, 0, 0}, 64, 512, 512, 16, 128, 128}, {{1, 1, 1}, 940, 512, 512, 235, 128, 128},
        {{0, 0, 1}, -1, 960, -1, -1, 240, -1},   {{1, 0, 0}, -1, -1, 960, -1, -1, 240},
        {{1, 1, 0}, -1, 64, -1, -1, 16, -1},     {{0, 1, 1}, -1, -1, 64, -1, -1, 16},
    };
    for (const auto &c : cases)
        for (bool bt2020 : {true, false}) {
            double ten[3], eight[3];
            hdr_rgb_to_ycbcr10(c.rgb, bt2020, ten);
            hdr_rgb_to_ycbcr709(c.rgb, eight);
            const double want[6] = {c.y10, c.cb10, c.cr10, c.y8, c.cb8, c.cr8};
            const double got[6] = {ten[0], ten[1], ten[2], eight[0], eight[1], eight[2]};
            for (int i = 0; i < 6; ++i)
                if (want[i] >= 0) {
                    EXPECT_NEAR(got[i], want[i], 1e-9) << i << " bt2020 " << bt2020;
                }
        }
    // The two matrices differ where they should: pure green's luma.
    const double green[3] = {0, 1, 0};
    double a[3], b[3];
    hdr_rgb_to_ycbcr10(green, true, a);
    hdr_rgb_to_ycbcr10(green, false, b);
    EXPECT_NEAR(a[0], 64 + 876 * 0.6780, 1e-9);
    EXPECT_NEAR(b[0], 64 + 876 * 0.7152, 1e-9);
}

}  // namespace
