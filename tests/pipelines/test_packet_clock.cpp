#include "apps/capture/pipelines/packet_clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

constexpr uint64_t kMs = 1000000;

TEST(PacketClock, SteersTowardHalfAMillisecondLeadAtFiftyFps)
{
    PacketClock clock;
    packet_clock_reset(&clock);
    EXPECT_DOUBLE_EQ(packet_clock_lead_ms(&clock, 1000 * kMs), 0.0);

    const uint64_t expected_times[] = {1001, 1020, 1040, 1060};
    const double expected_lead[] = {1.0, 0.875, 0.78125, 0.7109375};
    for (int i = 0; i < 4; ++i) {
        const uint64_t event = (1000 + 20 * i) * kMs;
        EXPECT_EQ(packet_clock_next(&clock, event, 50.0), expected_times[i]) << "packet " << i;
        EXPECT_NEAR(packet_clock_lead_ms(&clock, event), expected_lead[i], 1e-9) << "packet " << i;
    }
    double lead = 0.0;
    for (int i = 4; i < 200; ++i) {
        const uint64_t event = (1000 + 20 * i) * kMs;
        packet_clock_next(&clock, event, 50.0);
        const double next = packet_clock_lead_ms(&clock, event);
        if (i > 4) {
            EXPECT_LE(next, lead + 1e-12);
        }
        lead = next;
    }
    EXPECT_NEAR(lead, 0.5, 1e-3);
}

TEST(PacketClock, FirstPacketOfEveryRunIsEventMillisecondPlusOne)
{
    PacketClock clock;
    packet_clock_reset(&clock);
    EXPECT_EQ(packet_clock_next(&clock, 1733467200123456789ull, 60.0), 1733467200124ull);
    packet_clock_reset(&clock);
    EXPECT_EQ(packet_clock_next(&clock, 5 * kMs, 60.0), 6u);
}

TEST(PacketClock, WallClockJumpsArePulledWithinOneMillisecondAndTimesNeverRepeat)
{
    PacketClock clock;
    packet_clock_reset(&clock);
    uint64_t t = 10000 * kMs;
    uint64_t last = packet_clock_next(&clock, t, 60.0);
    // Forward jump of 500 ms.
    t += 500 * kMs;
    uint64_t p = packet_clock_next(&clock, t, 60.0);
    EXPECT_GT(p, last);
    EXPECT_LE(std::fabs(clock.virtual_clock_ms - static_cast<double>(t / kMs)), 1.0);
    last = p;
    // Backward jump of 300 ms: the clock may not follow below its last time.
    t -= 300 * kMs;
    for (int i = 0; i < 20; ++i) {
        p = packet_clock_next(&clock, t, 60.0);
        EXPECT_GT(p, last);
        last = p;
    }
    // Several packets of one event still get distinct, increasing times.
    for (int i = 0; i < 5; ++i) {
        p = packet_clock_next(&clock, t, 60.0);
        EXPECT_EQ(p, last + 1);
        last = p;
    }
}

TEST(CompatPacketClock, StepsHalvesAndJumps)
{
    PacketClock clock;
    packet_clock_reset(&clock);
    EXPECT_EQ(compat_packet_clock_next(&clock, 1000 * kMs, 50.0), 1001u);
    EXPECT_DOUBLE_EQ(clock.virtual_clock_ms, 1001.0);

    // In step: next = 1021, d = 1 -> a full step.
    EXPECT_EQ(compat_packet_clock_next(&clock, 1020 * kMs, 50.0), 1021u);
    // Same event again: next = 1041, d = 21 > 8 -> half a step only.
    EXPECT_EQ(compat_packet_clock_next(&clock, 1020 * kMs, 50.0), 1031u);
    EXPECT_DOUBLE_EQ(clock.virtual_clock_ms, 1031.0);
    // Far behind: next = 1051 against 1100, d = -49 < -20 -> jump to the display.
    EXPECT_EQ(compat_packet_clock_next(&clock, 1100 * kMs, 50.0), 1100u);
    // Exactly at the -20 boundary: a full step, no jump.
    EXPECT_EQ(compat_packet_clock_next(&clock, 1140 * kMs, 50.0), 1120u);
    // Two packets for one millisecond get consecutive times even when the
    // clock would go back.
    packet_clock_reset(&clock);
    EXPECT_EQ(compat_packet_clock_next(&clock, 7 * kMs, 1000.0), 8u);
    EXPECT_EQ(compat_packet_clock_next(&clock, 7 * kMs, 1000.0), 9u);
}

TEST(PacingCredit, ThirtyOnSixtyTakesFirstTwoThenEverySecondEvent)
{
    PacingCredit pacing;
    pacing_credit_reset(&pacing, 12345);  // boot-time clock: far below wall-clock events
    std::vector<int> taken;
    const uint64_t start = 1700000000000000000ull;
    for (int i = 0; i < 12; ++i)
        if (pacing_credit_admit(&pacing, start + static_cast<uint64_t>(i) * 16666667ull, 30.0))
            taken.push_back(i);
    EXPECT_EQ(taken, (std::vector<int>{0, 1, 3, 5, 7, 9, 11}));
}

TEST(PacingCredit, LongPauseAddsOneSecondAndLeavesHalfAPeriod)
{
    PacingCredit pacing;
    const uint64_t start = 1700000000000000000ull;
    pacing_credit_reset(&pacing, start);
    EXPECT_FALSE(pacing_credit_admit(&pacing, start + 10 * kMs, 30.0));
    EXPECT_TRUE(pacing_credit_admit(&pacing, start + 10 * 1000 * kMs, 30.0));
    EXPECT_NEAR(pacing.credit_ns, 0.5 * 1e9 / 30.0, 1.0);
    // No burst: the next event 16.7 ms later has not earned a period.
    EXPECT_FALSE(pacing_credit_admit(&pacing, start + 10 * 1000 * kMs + 16 * kMs, 30.0));
}

TEST(UpstreamRate, TracksGapsAndIgnoresOutliers)
{
    const uint64_t t = 1700000000000000000ull;
    EXPECT_NEAR(upstream_rate_update(60.0, t, t + 16666667), 60.0, 1e-3);
    EXPECT_DOUBLE_EQ(upstream_rate_update(60.0, 0, t), 60.0);
    EXPECT_DOUBLE_EQ(upstream_rate_update(60.0, t, t), 60.0);
    EXPECT_DOUBLE_EQ(upstream_rate_update(60.0, t, t + 1000000000), 60.0);
    EXPECT_NEAR(upstream_rate_update(60.0, t, t + 999999999), 0.95 * 60.0 + 0.05, 1e-6);
    double hz = 60.0;
    for (int i = 0; i < 400; ++i)
        hz = upstream_rate_update(hz, t + i * 20000000ull, t + (i + 1) * 20000000ull);
    EXPECT_NEAR(hz, 50.0, 1e-3);

    // Three events in one gap of 50 ms: 60 Hz.
    EXPECT_NEAR(compat_upstream_rate_update(60.0, t, t + 50000000, 3), 60.0, 1e-6);
    EXPECT_DOUBLE_EQ(compat_upstream_rate_update(60.0, t, t + 50000000, 0), 60.0);
    EXPECT_DOUBLE_EQ(compat_upstream_rate_update(60.0, t + 1, t, 1), 60.0);
}

}  // namespace
