// The request path over a state's region: routing, breaker and limits, each
// operation one short critical section under its provider's lock (the keys'
// operations are in state_keys.cpp).
#include <algorithm>
#include <cmath>
#include <limits>
#include <unistd.h>

#include "core/base/best_first.hpp"
#include "core/region/shared_state.hpp"

namespace velmorquist {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

double clamped(double value, double low, double high) {
    if (!(value >= low)) return low;  // NaN too
    return value < high ? value : high;
}

}  // namespace

RegionHeader& SharedState::header() const {
    return *reinterpret_cast<RegionHeader*>(region_.base());
}

ProviderSlot& SharedState::slot(std::size_t p) const {
    const RegionGeometry geometry = region_geometry(providers_.size(), 0);
    return reinterpret_cast<ProviderSlot*>(region_.base() + geometry.provider_offset)[p];
}

std::span<KeySlot> SharedState::keys(std::size_t p) const {
    const RegionGeometry geometry = region_geometry(providers_.size(), 0);
    auto* all = reinterpret_cast<KeySlot*>(region_.base() + geometry.key_offset);
    return {all + providers_[p].first_key, providers_[p].key_count};
}

RobustLock SharedState::lock(std::size_t p) {
    try {
        return RobustLock(slot(p).mutex, [this, p]() noexcept { repair(p); });
    } catch (const DamagedState& damage) {
        throw DamagedState("the host state region '" + region_.path() +
                           "' was overwritten by another process: " + damage.what() +
                           "; restart the workers with a fresh region");
    }
}

void SharedState::recover(std::size_t p, ProviderSlot& s) {
    // Trials still out from the last half-open period keep their slots until
    // they settle, so at most trial_limit are ever in flight.
    (void)breaker_recover(s.breaker, providers_[p].recovery_timeout_secs,
                          [this] { return clock_.now(); });
}

bool SharedState::trial_slot_free(std::size_t p, const ProviderSlot& s, double now) const {
    if (s.breaker.state != CircuitState::HalfOpen) return false;
    const Provider& provider = providers_[p];
    // Trials handed out a whole recovery period ago and never settled belong
    // to processes that died: their slots are free again.
    return s.trials_in_flight < provider.trial_limit ||
           now - s.last_trial_at >= provider.recovery_timeout_secs;
}

// ---- routing ----------------------------------------------------------------

std::vector<std::size_t> SharedState::rank(std::span<const std::size_t> candidates,
                                            ThreadRandom& rng) {
    // One candidate is first whatever it draws: no lock, no draw.
    if (candidates.size() == 1) return {0};
    std::vector<Scored<std::size_t>> scored;
    scored.reserve(candidates.size());
    for (std::size_t at = 0; at < candidates.size(); ++at) {
        const std::size_t p = candidates[at];
        Provider& provider = providers_[p];
        ProviderState& scoring = provider.scoring;
        double theta = 0.0;
        double latency_ms = 0.0;
        {
            RobustLock held = lock(p);
            const ProviderSlot& s = slot(p);
            latency_ms = s.timing.latency.mean_ms;
            if (scoring.alpha != s.alpha || scoring.beta != s.beta) {
                scoring.alpha = s.alpha;
                scoring.beta = s.beta;
                scoring.posterior = BetaSampler(s.alpha, s.beta);
            }
            if (router_.explore_mode) {
                std::expected<double, ProxyError> draw = scoring.posterior.sample(rng);
                if (!draw) throw InternalFault(draw.error().message());
                theta = *draw;
            } else {
                theta = posterior_mean(scoring.alpha, scoring.beta);
            }
        }
        scored.push_back({provider_score(router_, scoring.profile, latency_ms, theta), at});
    }
    sort_best_first(scored);
    std::vector<std::size_t> order;
    order.reserve(scored.size());
    for (const auto& entry : scored) order.push_back(entry.item);
    return order;
}

Posterior SharedState::posterior(std::size_t p) {
    RobustLock held = lock(p);
    return Posterior{slot(p).alpha, slot(p).beta};
}

void SharedState::reward(std::size_t p, double reward) {
    RobustLock held = lock(p);
    ProviderSlot& s = slot(p);
    const Posterior next = decayed_posterior(Posterior{s.alpha, s.beta}, router_.decay_factor, reward);
    s.alpha = next.alpha;
    s.beta = next.beta;
    if (limits_ != LimitSource::FleetLeases) return;
    // Counted for the syncer to tell the fleet.
    s.fleet.successes += reward;
    s.fleet.failures += 1.0 - reward;
}

void SharedState::learn_from_fleet(std::size_t p, double reward) {
    RobustLock held = lock(p);
    ProviderSlot& s = slot(p);
    const Posterior next = decayed_posterior(Posterior{s.alpha, s.beta}, router_.decay_factor, reward);
    s.alpha = next.alpha;
    s.beta = next.beta;
}

void SharedState::reset_posterior(std::size_t p) {
    RobustLock held = lock(p);
    slot(p).alpha = 1.0;
    slot(p).beta = 1.0;
}

// ---- breaker ----------------------------------------------------------------

BreakerAnswer SharedState::try_breaker(std::size_t p) {
    RobustLock held = lock(p);
    ProviderSlot& s = slot(p);
    recover(p, s);
    switch (s.breaker.state) {
        case CircuitState::Closed: return BreakerAnswer::Allowed;
        case CircuitState::Open: return BreakerAnswer::Refused;
        case CircuitState::HalfOpen: break;
    }
    const double now = clock_.now();
    if (!trial_slot_free(p, s, now)) return BreakerAnswer::Refused;
    // With every slot taken, a free one means the holders were lost: this
    // trial starts the count again.
    const bool lost = s.trials_in_flight >= providers_[p].trial_limit;
    s.trials_in_flight = lost ? 1 : s.trials_in_flight + 1;
    s.last_trial_at = now;
    return BreakerAnswer::Trial;
}

std::optional<CircuitState> SharedState::breaker_outcome(std::size_t p, bool trial,
                                                         BreakerOutcome outcome) {
    const Provider& provider = providers_[p];
    RobustLock held = lock(p);
    ProviderSlot& s = slot(p);
    recover(p, s);
    const CircuitState before = s.breaker.state;
    if (trial && s.trials_in_flight > 0) --s.trials_in_flight;
    switch (outcome) {
        case BreakerOutcome::Success: breaker_success(s.breaker, provider.success_threshold); break;
        case BreakerOutcome::Failure:
            breaker_failure(s.breaker, provider.failure_threshold, [this] { return clock_.now(); });
            break;
        case BreakerOutcome::Neutral: break;
    }
    if (s.breaker.state == before) return std::nullopt;
    s.unclosed.store(s.breaker.state == CircuitState::Closed ? 0 : 1, std::memory_order_relaxed);
    return s.breaker.state;
}

bool SharedState::reset_breaker(std::size_t p) {
    RobustLock held = lock(p);
    ProviderSlot& s = slot(p);
    const bool was_closed = s.breaker.state == CircuitState::Closed;
    breaker_reset(s.breaker);
    // Trials still out settle against a closed breaker, which ignores them.
    s.trials_in_flight = 0;
    s.unclosed.store(0, std::memory_order_relaxed);
    return !was_closed;
}

std::vector<std::size_t> SharedState::trial_candidates() {
    std::vector<std::size_t> ready;
    for (std::size_t p = 0; p < providers_.size(); ++p) {
        if (slot(p).unclosed.load(std::memory_order_relaxed) == 0) [[likely]]
            continue;
        RobustLock held = lock(p);
        ProviderSlot& s = slot(p);
        recover(p, s);
        if (trial_slot_free(p, s, clock_.now())) ready.push_back(p);
    }
    return ready;
}

CircuitState SharedState::breaker_state(std::size_t p) {
    RobustLock held = lock(p);
    ProviderSlot& s = slot(p);
    recover(p, s);
    return s.breaker.state;
}

double SharedState::breaker_ready_in(std::size_t p) {
    RobustLock held = lock(p);
    ProviderSlot& s = slot(p);
    recover(p, s);
    // Half-open with every slot taken also counts as ready: its trials
    // settle soon, and the caller's own back-off covers the wait.
    if (s.breaker.state != CircuitState::Open) return 0.0;
    const double remaining = s.breaker.opened_at + providers_[p].recovery_timeout_secs - clock_.now();
    if (std::isnan(remaining)) return kInfinity;
    return remaining > 0.0 ? remaining : 0.0;
}

// ---- rate limits ------------------------------------------------------------

bool SharedState::has_limits(std::size_t p, std::uint64_t tokens) const {
    const Provider& provider = providers_[p];
    return provider.requests || (provider.tokens && tokens > 0);
}

double SharedState::try_limits(std::size_t p, std::uint64_t tokens) {
    if (!has_limits(p, tokens)) return 0.0;
    switch (limits_) {
        case LimitSource::LocalBuckets: return take_from_buckets(p, tokens);
        case LimitSource::FleetLeases: return take_from_leases(p, tokens);
    }
    return 0.0;
}

double SharedState::limits_ready_in(std::size_t p, std::uint64_t tokens) {
    if (!has_limits(p, tokens)) return 0.0;
    RobustLock held = lock(p);
    const double now = clock_.now();
    switch (limits_) {
        case LimitSource::LocalBuckets: return bucket_wait(p, slot(p), tokens, now);
        case LimitSource::FleetLeases: return lease_wait(p, tokens, now);
    }
    return 0.0;
}

void SharedState::release_limits(std::size_t p, std::uint64_t tokens) {
    if (!has_limits(p, tokens)) return;
    switch (limits_) {
        case LimitSource::LocalBuckets: return_to_buckets(p, tokens); return;
        case LimitSource::FleetLeases: return_to_leases(p, tokens); return;
    }
}

void SharedState::settle_tokens(std::size_t p, std::uint64_t reserved, std::uint64_t used) {
    const Provider& provider = providers_[p];
    if (!provider.tokens || reserved == used) return;
    RobustLock held = lock(p);
    ProviderSlot& s = slot(p);
    const double difference = static_cast<double>(reserved) - static_cast<double>(used);
    switch (limits_) {
        case LimitSource::LocalBuckets:
            bucket_refill(s.tokens, *provider.tokens, clock_.now());
            s.tokens.tokens = clamped(s.tokens.tokens + difference, 0.0,
                                      provider.tokens->capacity_tokens);
            return;
        case LimitSource::FleetLeases:
            // More than reserved leaves a debt the next grant pays first.
            s.fleet.tokens.held += difference;
            return;
    }
}

std::pair<std::optional<double>, std::optional<double>> SharedState::bucket_levels(std::size_t p) {
    const Provider& provider = providers_[p];
    std::pair<std::optional<double>, std::optional<double>> levels;
    if (!provider.requests && !provider.tokens) return levels;
    RobustLock held = lock(p);
    ProviderSlot& s = slot(p);
    const double now = clock_.now();
    const bool leased = s.fleet.leased != 0;
    const auto level = [&](BucketLevel& bucket, LeaseFields& lease, const BucketLimits& limits) {
        switch (limits_) {
            case LimitSource::LocalBuckets: bucket_refill(bucket, limits, now); return bucket.tokens;
            case LimitSource::FleetLeases: return lease_level(lease, share_of(limits), leased, now);
        }
        return 0.0;
    };
    if (provider.requests) levels.first = level(s.requests, s.fleet.requests, *provider.requests);
    if (provider.tokens) levels.second = level(s.tokens, s.fleet.tokens, *provider.tokens);
    return levels;
}

double SharedState::bucket_wait(std::size_t p, ProviderSlot& s, std::uint64_t tokens,
                                double now) const {
    const Provider& provider = providers_[p];
    double wait = 0.0;
    if (provider.requests) {
        bucket_refill(s.requests, *provider.requests, now);
        wait = velmorquist::bucket_wait(s.requests, *provider.requests, 1);
    }
    if (provider.tokens && tokens > 0) {
        bucket_refill(s.tokens, *provider.tokens, now);
        const double token_wait = velmorquist::bucket_wait(s.tokens, *provider.tokens, tokens);
        if (token_wait > wait) wait = token_wait;
    }
    return wait;
}

double SharedState::take_from_buckets(std::size_t p, std::uint64_t tokens) {
    const Provider& provider = providers_[p];
    RobustLock held = lock(p);
    ProviderSlot& s = slot(p);
    const double wait = bucket_wait(p, s, tokens, clock_.now());
    if (wait > 0.0) return wait;
    if (provider.requests) bucket_take(s.requests, 1);
    if (provider.tokens && tokens > 0) bucket_take(s.tokens, tokens);
    return 0.0;
}

void SharedState::return_to_buckets(std::size_t p, std::uint64_t tokens) {
    const Provider& provider = providers_[p];
    RobustLock held = lock(p);
    ProviderSlot& s = slot(p);
    // Never above the capacity: the bucket may have refilled meanwhile.
    if (provider.requests)
        s.requests.tokens = clamped(s.requests.tokens + 1.0, 0.0, provider.requests->capacity_tokens);
    if (provider.tokens && tokens > 0)
        s.tokens.tokens = clamped(s.tokens.tokens + static_cast<double>(tokens), 0.0,
                                  provider.tokens->capacity_tokens);
}

#ifdef VELMORQUIST_TEST_HOOKS
void SharedState::park_holding_lock(std::size_t p, int ready_fd) {
    RobustLock held = lock(p);
    const char ready = 1;
    (void)!write(ready_fd, &ready, 1);
    for (;;) pause();
}
#endif

}  // namespace velmorquist
