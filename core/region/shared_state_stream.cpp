// What the region learns about each provider's speed: the latency the
// router scores with, and its streams' timing sketches (stream_stats.hpp).
#include <cmath>

#include "core/region/shared_state.hpp"

namespace velmorquist {

void SharedState::learn_latency(std::size_t p, double latency_ms, bool first_chunk) {
    RobustLock held = lock(p);
    ProviderSlot& s = slot(p);
    velmorquist::learn_latency(s.timing.latency, latency_ms, router_.decay_factor);
    if (first_chunk) sketch_add(s.timing.first_chunk, latency_ms);
    if (limits_ != LimitSource::FleetLeases) return;
    if (!(latency_ms >= 0.0) || !std::isfinite(latency_ms)) return;
    s.fleet.latency_sum_ms += latency_ms;
    s.fleet.latency_count += 1.0;
}

void SharedState::absorb_latency(std::size_t p, double mean_ms, std::uint32_t count) {
    RobustLock held = lock(p);
    velmorquist::absorb_latency(slot(p).timing.latency, mean_ms, count, router_.decay_factor);
}

void SharedState::chunk_gaps(std::size_t p, std::span<const double> gaps_ms) {
    if (gaps_ms.empty()) return;
    RobustLock held = lock(p);
    sketch_add_all(slot(p).timing.chunk_gap, gaps_ms);
}

StreamView SharedState::stream_view(std::size_t p) {
    RobustLock held = lock(p);
    const StreamTimingFields& timing = slot(p).timing;
    return {timing.latency.mean_ms, sketch_quantiles(timing.first_chunk),
            sketch_quantiles(timing.chunk_gap)};
}

std::vector<std::pair<double, double>> SharedState::fleet_take_latencies() {
    return take_fleet_counters(&FleetProviderFields::latency_sum_ms,
                               &FleetProviderFields::latency_count);
}

}  // namespace velmorquist
