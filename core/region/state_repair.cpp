// Crash repair: after a process died holding a provider's lock, every field
// of that provider goes back into its valid range. Each policy repairs its
// own fields (beside their struct); what is left here is the region's own
// bookkeeping and what the configuration fixes.
#include <cmath>

#include "core/region/shared_state.hpp"

namespace velmorquist {

void SharedState::repair(std::size_t p) noexcept {
    const Provider& provider = providers_[p];
    ProviderSlot& s = slot(p);
    const double now = clock_.now();
    repair_breaker(s.breaker, now);
    // The dead holder's trial may have been one of them; the others are
    // reclaimed after a recovery period if they never report.
    if (s.trials_in_flight > provider.trial_limit) s.trials_in_flight = provider.trial_limit;
    s.unclosed.store(s.breaker.state == CircuitState::Closed ? 0 : 1, std::memory_order_relaxed);
    if (!std::isfinite(s.last_trial_at)) s.last_trial_at = now;
    s.maybe_cooling = 1;
    if (provider.requests) {
        repair_bucket(s.requests, *provider.requests, now);
        repair_lease(s.fleet.requests, *provider.requests, now);
    }
    if (provider.tokens) {
        repair_bucket(s.tokens, *provider.tokens, now);
        repair_lease(s.fleet.tokens, *provider.tokens, now);
    }
    if (!std::isfinite(s.fleet.successes) || !std::isfinite(s.fleet.failures)) {
        s.fleet.successes = 0.0;
        s.fleet.failures = 0.0;
    }
    if (!std::isfinite(s.fleet.latency_sum_ms) || !std::isfinite(s.fleet.latency_count)) {
        s.fleet.latency_sum_ms = 0.0;
        s.fleet.latency_count = 0.0;
    }
    repair_posterior(s.alpha, s.beta);
    repair_latency(s.timing.latency, provider.scoring.profile.base_latency_ms);
    repair_sketch(s.timing.first_chunk);
    repair_sketch(s.timing.chunk_gap);
    std::span<KeySlot> records = keys(p);
    for (std::size_t k = 0; k < records.size(); ++k) {
        KeySlot& key = records[k];
        // What the configuration fixes is written again from it.
        const KeySlot& fresh = initial_keys_[provider.first_key + k];
        key.identity = fresh.identity;
        key.has_daily_limit = fresh.has_daily_limit;
        key.daily_limit = fresh.daily_limit;
        key.weight = fresh.weight;
        repair_key_record(key, now);
    }
}

}  // namespace velmorquist
