// The pipelines' timing rules: packet presentation clocks, the Fixed-FPS
// pacing credit and the estimate of the display's vertical-blank rate.
// Event times are capture-helper's wall clock in nanoseconds; packet times
// are milliseconds.
#pragma once

#include <cstdint>

// A packet clock's state. The fast and balanced pipelines' clock: one frame
// period per packet, steered by at most 0.3 ms per packet toward the vertical
// blank's wall clock and never further than 1 ms from it.
struct PacketClock {
    double virtual_clock_ms;
    uint64_t last_packet_ms;
    bool first_packet;
};

// A clock for a new run: no packet handed over yet.
void packet_clock_reset(PacketClock *clock);

// The presentation time of the next packet of a frame whose event came at
// event_ns, at target_fps frames per second. Strictly increasing; the first
// packet of a run carries the event's millisecond + 1.
uint64_t packet_clock_next(PacketClock *clock, uint64_t event_ns, double target_fps);

// The clock's lead over the event's wall-clock millisecond (VirtDiff), or 0.0
// while no packet has been handed over in this run.
double packet_clock_lead_ms(const PacketClock *clock, uint64_t event_ns);

// The compatible pipeline's own packet clock, on the same state: a full step
// when in step with the display, half a step when more than 8 ms ahead, a
// jump to the display time when more than 20 ms behind. Strictly increasing;
// the first packet of a run is the event's millisecond + 1.
uint64_t compat_packet_clock_next(PacketClock *clock, uint64_t event_ns, double target_fps);

// Fixed-FPS thinning: events add the time since the previous one (at most one
// second) to a credit, and a frame is taken whenever a whole period has been
// earned, at most one per event. After a frame, credit above 1.5 periods is cut
// to half a period, so no burst of catch-up frames follows a pause.
struct PacingCredit {
    double credit_ns;
    uint64_t reference_ns;  // the event time the credit was last advanced to
};

void pacing_credit_reset(PacingCredit *pacing, uint64_t reference_ns);

// Advances the credit to event_ns; true when this event should give a frame.
bool pacing_credit_admit(PacingCredit *pacing, uint64_t event_ns, double target_fps);

// The fast and balanced pipelines' rate estimate: a 5% step toward the rate
// the gap since the previous event implies. A first event (previous 0), an
// event that is not later, or a gap of one second or more leaves it unchanged.
double upstream_rate_update(double upstream_hz, uint64_t previous_ns, uint64_t event_ns);

// The compatible pipeline's rate estimate: the gap since the last handled
// event is shared by the `events` that arrived in it.
double compat_upstream_rate_update(double upstream_hz, uint64_t last_ns, uint64_t event_ns, int32_t events);
