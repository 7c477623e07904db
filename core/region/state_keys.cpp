// The request path's key operations over a state's region: selection,
// outcomes, summaries and the daily reset, each under its provider's lock.
#include <limits>

#include "core/region/shared_state.hpp"

namespace velmorquist {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

}  // namespace

std::optional<std::size_t> SharedState::select_key(std::size_t p, ThreadRandom& rng) {
    Provider& provider = providers_[p];
    if (provider.key_count == 0) return std::nullopt;
    RobustLock held = lock(p);
    ProviderSlot& s = slot(p);
    std::span<KeySlot> records = keys(p);
    if (s.maybe_cooling != 0) s.maybe_cooling = expire_cooldowns(records, clock_.now()) ? 1 : 0;
    // A selection is not a call: a key's counts rise with the call's outcome
    // only, so a daily limit is spent by successes and health rates come
    // from calls (KeyPool's own selection counting serves its own callers).
    return pick_key(provider.strategy, records, s.cursor, HealthWeights{}, provider.scores, rng);
}

double SharedState::keys_ready_in(std::size_t p) {
    if (providers_[p].key_count == 0) return kInfinity;
    RobustLock held = lock(p);
    const double now = clock_.now();
    double soonest = kInfinity;
    for (const KeySlot& key : keys(p)) {
        if (key.status == KeyStatus::Active) return 0.0;
        if (!is_cooling(key.status)) continue;
        const double wait = key.cooldown_until - now;
        if (wait < soonest) soonest = wait;
    }
    return soonest > 0.0 ? soonest : 0.0;
}

bool SharedState::key_outcome(std::size_t p, std::size_t k, KeyOutcome outcome,
                              double latency_ms, double cooldown_s) {
    RobustLock held = lock(p);
    KeySlot& key = keys(p)[k];
    switch (outcome) {
        case KeyOutcome::Success:
            note_success(key, latency_ms);
            // Reaching the daily limit exhausts the key until the daily reset.
            if (key.has_daily_limit == 0 || key.daily_count < key.daily_limit ||
                key.status == KeyStatus::Exhausted || key.status == KeyStatus::Disabled)
                return false;
            key.status = KeyStatus::Exhausted;
            return true;
        case KeyOutcome::Error: note_error(key); return false;
        case KeyOutcome::RateLimited:
            note_rate_limit(key, clock_.now() + cooldown_s);
            slot(p).maybe_cooling = 1;
            return false;
        case KeyOutcome::Exhausted: key.status = KeyStatus::Exhausted; return false;
        case KeyOutcome::Disabled: key.status = KeyStatus::Disabled; return false;
        case KeyOutcome::Enabled: note_enabled(key); return false;
    }
    return false;
}

std::vector<KeyView> SharedState::key_summaries(std::size_t p) {
    std::vector<KeyView> views;
    views.reserve(providers_[p].key_count);
    RobustLock held = lock(p);
    const double now = clock_.now();
    for (const KeySlot& key : keys(p)) {
        // A key whose cool-down ended is usable, though only the next
        // selection writes that down.
        const KeyStatus status =
            is_cooling(key.status) && key.cooldown_until <= now ? KeyStatus::Active : key.status;
        views.push_back(KeyView{status, health_score(key, HealthWeights{}),
                                key.total_requests, key.total_errors, avg_latency_ms(key)});
    }
    return views;
}

bool SharedState::daily_reset_due(std::int64_t day) {
    std::atomic<std::int64_t>& done = header().reset_day;
    std::int64_t seen = done.load();
    while (day > seen) {
        if (!done.compare_exchange_weak(seen, day)) continue;
        // This caller won the day: it alone resets every provider's keys.
        for (std::size_t p = 0; p < providers_.size(); ++p) {
            RobustLock held = lock(p);
            for (KeySlot& key : keys(p)) note_daily_reset(key);
        }
        return true;
    }
    return false;
}
}  // namespace velmorquist
