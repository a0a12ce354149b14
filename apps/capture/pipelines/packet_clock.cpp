#include "apps/capture/pipelines/packet_clock.h"

#include <algorithm>

namespace {

constexpr uint64_t kNsPerMs = 1000000;
constexpr uint64_t kOneSecondNs = 1000000000;

// Hands out p, or the millisecond after the last packet when p is not later,
// so the clock's times strictly increase.
uint64_t strictly_after_last(PacketClock *clock, uint64_t p)
{
    if (p <= clock->last_packet_ms) {
        p = clock->last_packet_ms + 1;
        clock->virtual_clock_ms = static_cast<double>(p);
    }
    clock->last_packet_ms = p;
    return p;
}

}  // namespace

void packet_clock_reset(PacketClock *clock)
{
    clock->virtual_clock_ms = 0.0;
    clock->last_packet_ms = 0;
    clock->first_packet = true;
}

uint64_t packet_clock_next(PacketClock *clock, uint64_t event_ns, double target_fps)
{
    const uint64_t t_ms = event_ns / kNsPerMs;
    uint64_t p;
    if (clock->first_packet) {
        // The first packet of a run is placed just after the event's
        // millisecond, so it can never collide with the event time itself.
        p = t_ms + 1;
        clock->virtual_clock_ms = static_cast<double>(p);
        clock->first_packet = false;
    } else {
        const double period = 1000.0 / target_fps;
        const double t = static_cast<double>(t_ms);
        const double d = clock->virtual_clock_ms + period - t;
        double corr = 0.0;
        if (d > 0.5)
            corr = -std::min(0.25 * (d - 0.5), 0.3);
        else if (d < -0.5)
            corr = std::min(0.25 * (-d - 0.5), 0.3);
        clock->virtual_clock_ms += period + corr;
        if (clock->virtual_clock_ms > t + 1.0)
            clock->virtual_clock_ms = t + 1.0;
        else if (clock->virtual_clock_ms < t - 1.0)
            clock->virtual_clock_ms = t - 1.0;
        p = clock->virtual_clock_ms > 0.0 ? static_cast<uint64_t>(clock->virtual_clock_ms) : 0;
    }
    return strictly_after_last(clock, p);
}

double packet_clock_lead_ms(const PacketClock *clock, uint64_t event_ns)
{
    if (clock->first_packet)
        return 0.0;
    return clock->virtual_clock_ms - static_cast<double>(event_ns / kNsPerMs);
}

uint64_t compat_packet_clock_next(PacketClock *clock, uint64_t event_ns, double target_fps)
{
    const uint64_t m = event_ns / kNsPerMs;
    if (clock->first_packet) {
        clock->virtual_clock_ms = static_cast<double>(m);
        clock->last_packet_ms = m;
        clock->first_packet = false;
    } else {
        const double step = 1000.0 / target_fps;
        const double next = clock->virtual_clock_ms + step;
        const double d = next - static_cast<double>(m);
        if (d > 8.0)
            clock->virtual_clock_ms += 0.5 * step;
        else if (d < -20.0)
            clock->virtual_clock_ms = static_cast<double>(m);
        else
            clock->virtual_clock_ms = next;
    }
    return strictly_after_last(clock,
                               clock->virtual_clock_ms > 0.0 ? static_cast<uint64_t>(clock->virtual_clock_ms) : 0);
}

void pacing_credit_reset(PacingCredit *pacing, uint64_t reference_ns)
{
    pacing->credit_ns = 0.0;
    pacing->reference_ns = reference_ns;
}

bool pacing_credit_admit(PacingCredit *pacing, uint64_t event_ns, double target_fps)
{
    const double period = 1e9 / target_fps;
    // Unsigned on purpose: a first or backwards step wraps and is capped at
    // one second like a long pause.
    const uint64_t gap = std::min<uint64_t>(event_ns - pacing->reference_ns, kOneSecondNs);
    pacing->reference_ns = event_ns;
    pacing->credit_ns += static_cast<double>(gap);
    if (pacing->credit_ns < period)
        return false;
    pacing->credit_ns -= period;
    if (pacing->credit_ns > 1.5 * period)
        pacing->credit_ns = 0.5 * period;
    return true;
}

double upstream_rate_update(double upstream_hz, uint64_t previous_ns, uint64_t event_ns)
{
    if (previous_ns == 0 || previous_ns >= event_ns || event_ns - previous_ns >= kOneSecondNs)
        return upstream_hz;
    return 0.95 * upstream_hz + 0.05 * (1e9 / static_cast<double>(event_ns - previous_ns));
}

double compat_upstream_rate_update(double upstream_hz, uint64_t last_ns, uint64_t event_ns, int32_t events)
{
    if (events <= 0 || last_ns == 0 || event_ns <= last_ns)
        return upstream_hz;
    const double gap = static_cast<double>(event_ns - last_ns) / events;
    return 0.05 * (1e9 / gap) + 0.95 * upstream_hz;
}
