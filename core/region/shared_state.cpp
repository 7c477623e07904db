#include "core/region/shared_state.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <new>
#include <sys/random.h>
#include <unistd.h>

#include "core/base/best_first.hpp"
#include "core/policy/key_map.hpp"

namespace velmorquist {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

std::uint64_t load_word(const RegionSecret& secret, std::size_t at) {
    std::uint64_t word = 0;
    std::memcpy(&word, secret.data() + at, sizeof word);
    return word;
}

// Appends values' bytes for hashing: a canonical form of the configuration.
class HashInput {
public:
    template <class T>
    void add(const T& value) {
        static_assert(std::is_trivially_copyable_v<T>);
        bytes_.append(reinterpret_cast<const char*>(&value), sizeof value);
    }
    void add_text(std::string_view text) {
        add(static_cast<std::uint64_t>(text.size()));
        bytes_.append(text);
    }
    void add_rate(const std::optional<RateLimitConfig>& rate) {
        add(rate.has_value());
        if (!rate) return;
        add(rate->max_calls);
        add(rate->time_window_secs);
        add(rate->burst_size.has_value());
        add(rate->burst_size.value_or(0));
    }
    [[nodiscard]] std::string_view bytes() const { return bytes_; }

private:
    std::string bytes_;
};

bool finite_at_least_one(double value) { return value >= 1.0 && std::isfinite(value); }

double clamped(double value, double low, double high) {
    if (!(value >= low)) return low;  // NaN too
    return value < high ? value : high;
}

bool cooling(KeyStatus status) {
    return status == KeyStatus::RateLimited || status == KeyStatus::CoolingDown;
}

}  // namespace

double HostClock::now() const {
    timespec current{};
    clock_gettime(CLOCK_MONOTONIC, &current);
    return static_cast<double>(current.tv_sec) + static_cast<double>(current.tv_nsec) / 1e9;
}

std::uint64_t key_identity(std::string_view key, const RegionSecret& secret) {
    return siphash13(SipKey{load_word(secret, 0), load_word(secret, 8)}, key);
}

std::uint32_t key_check(const RegionSecret& secret) {
    constexpr std::string_view kLabel = "velmorquist key file check";
    return static_cast<std::uint32_t>(
        siphash13(SipKey{load_word(secret, 8), load_word(secret, 24)}, kLabel));
}

std::uint64_t config_hash(const HostConfig& config, const RegionSecret& secret) {
    HashInput in;
    in.add(static_cast<std::uint64_t>(config.providers.size()));
    for (const HostProviderConfig& provider : config.providers) {
        in.add_text(provider.name);
        in.add_text(provider.profile.id);
        in.add(provider.profile.cost_per_1k);
        in.add(provider.profile.base_quality);
        in.add(provider.profile.base_latency_ms);
        in.add(provider.breaker.failure_threshold);
        in.add(provider.breaker.recovery_timeout_secs);
        in.add(provider.breaker.success_threshold);
        in.add_rate(provider.rate);
        in.add_rate(provider.token_rate);
        in.add(provider.strategy);
        in.add(static_cast<std::uint64_t>(provider.keys.size()));
        for (std::size_t k = 0; k < provider.keys.size(); ++k) {
            in.add(key_identity(provider.keys[k], secret));
            in.add(k < provider.weights.size() ? provider.weights[k] : 1.0);
            const auto limit = k < provider.daily_limits.size() ? provider.daily_limits[k]
                                                                : std::nullopt;
            in.add(limit.has_value());
            in.add(limit.value_or(0));
        }
    }
    in.add(config.router.cost_weight);
    in.add(config.router.quality_weight);
    in.add(config.router.latency_weight);
    in.add(config.router.explore_mode);
    in.add(config.router.decay_factor);
    return siphash13(SipKey{load_word(secret, 16), load_word(secret, 24)}, in.bytes());
}

std::vector<SharedState::Provider> SharedState::describe(const HostConfig& config) {
    std::vector<Provider> providers;
    providers.reserve(config.providers.size());
    std::size_t first_key = 0;
    for (const HostProviderConfig& c : config.providers) {
        std::optional<BucketLimits> requests;
        if (c.rate) requests = bucket_limits(*c.rate);
        std::optional<BucketLimits> tokens;
        if (c.token_rate) tokens = bucket_limits(*c.token_rate);
        ProviderState scoring{.profile = c.profile};
        // A threshold of 0 closes on the first trial success, like 1.
        const std::uint32_t trial_limit = std::max<std::uint32_t>(1, c.breaker.success_threshold);
        providers.push_back(Provider{c.breaker.failure_threshold, c.breaker.success_threshold,
                                     trial_limit, c.breaker.recovery_timeout_secs, requests, tokens,
                                     c.strategy, first_key, c.keys.size(), std::move(scoring),
                                     std::vector<double>(c.keys.size())});
        first_key += c.keys.size();
    }
    return providers;
}

void SharedState::fill_slots(std::byte* base, const std::vector<Provider>& providers,
                             const std::vector<KeySlot>& keys, double now) {
    const RegionGeometry geometry = region_geometry(providers.size(), keys.size());
    auto* provider_slots = reinterpret_cast<ProviderSlot*>(base + geometry.provider_offset);
    for (std::size_t p = 0; p < providers.size(); ++p) {
        ProviderSlot* s = new (&provider_slots[p]) ProviderSlot{};
        s->mutex.init();
        // Buckets start full, as an in-process bucket does.
        if (providers[p].requests) {
            s->requests = {providers[p].requests->capacity_tokens, now};
            s->fleet.requests = fresh_lease(share_limits(*providers[p].requests, 1), now);
        }
        if (providers[p].tokens) {
            s->tokens = {providers[p].tokens->capacity_tokens, now};
            s->fleet.tokens = fresh_lease(share_limits(*providers[p].tokens, 1), now);
        }
        s->alpha = 1.0;
        s->beta = 1.0;
        s->timing.latency = fresh_latency(providers[p].scoring.profile.base_latency_ms);
    }
    auto* key_slots = reinterpret_cast<KeySlot*>(base + geometry.key_offset);
    for (std::size_t k = 0; k < keys.size(); ++k) new (&key_slots[k]) KeySlot(keys[k]);
}

std::expected<std::unique_ptr<SharedState>, RegionError> SharedState::attach(
    const std::string& path, bool create, bool fresh, HostConfig config,
    std::shared_ptr<const Clock> clock) {
    // The C library would read the path only up to a NUL: another file.
    if (path.find('\0') != std::string::npos)
        return std::unexpected(RegionError{RegionFault::Refused, 0,
                                           "a region path must not contain a NUL character"});
    // A missing region is reported as such before anything is made beside it,
    // and so is a file that is not ours.
    if (!create && access(path.c_str(), F_OK) != 0 && errno == ENOENT)
        return std::unexpected(RegionError{RegionFault::NotFound, ENOENT, path});
    if (std::optional<RegionError> foreign = foreign_region(path))
        return std::unexpected(std::move(*foreign));
    auto secret = region_secret(path, create);
    if (!secret) return std::unexpected(std::move(secret.error()));

    std::vector<Provider> providers = describe(config);
    std::vector<KeySlot> initial_keys = initial_key_slots(config, *secret);
    RegionRequest request{path,
                          create,
                          fresh,
                          static_cast<std::uint32_t>(providers.size()),
                          static_cast<std::uint32_t>(initial_keys.size()),
                          config_hash(config, *secret),
                          key_check(*secret)};
    ClockHandle time(clock);
    auto region = RegionFile::attach(request, [&](std::byte* base) {
        fill_slots(base, providers, initial_keys, time.now());
    });
    if (!region) return std::unexpected(std::move(region.error()));
    std::unique_ptr<SharedState> state(new SharedState(std::move(*region), config.router,
                                                       std::move(providers), std::move(clock)));
    state->initial_keys_ = std::move(initial_keys);
    return state;
}

std::expected<std::unique_ptr<SharedState>, RegionError> SharedState::attach_private(
    HostConfig config, std::shared_ptr<const Clock> clock) {
    RegionSecret secret{};
    if (getrandom(secret.data(), secret.size(), 0) != static_cast<ssize_t>(secret.size())) {
        const int error = errno;
        return std::unexpected(RegionError{
            RegionFault::System, error,
            std::string("no random bytes for a private state: ") + std::strerror(error)});
    }
    std::vector<Provider> providers = describe(config);
    std::vector<KeySlot> initial_keys = initial_key_slots(config, secret);
    // Nobody else ever reads this region, so it needs no configuration hash.
    const RegionRequest request{"", true, false, static_cast<std::uint32_t>(providers.size()),
                                static_cast<std::uint32_t>(initial_keys.size()), 0};
    ClockHandle time(clock);
    auto region = RegionFile::private_memory(request, [&](std::byte* base) {
        fill_slots(base, providers, initial_keys, time.now());
    });
    if (!region) return std::unexpected(std::move(region.error()));
    std::unique_ptr<SharedState> state(new SharedState(std::move(*region), config.router,
                                                       std::move(providers), std::move(clock)));
    state->initial_keys_ = std::move(initial_keys);
    SharedState& self = *state;
    state->fork_guard_.emplace(ForkHandlers{
        [&self] {
            for (std::size_t p = 0; p < self.providers_.size(); ++p)
                self.slot(p).mutex.lock([&self, p]() noexcept { self.repair(p); });
        },
        [&self] {
            for (std::size_t p = 0; p < self.providers_.size(); ++p) self.slot(p).mutex.unlock();
        },
        [&self] {
            for (std::size_t p = 0; p < self.providers_.size(); ++p) self.slot(p).mutex.init();
        },
    });
    return state;
}

std::vector<KeySlot> SharedState::initial_key_slots(const HostConfig& config,
                                                    const RegionSecret& secret) {
    std::vector<KeySlot> initial_keys;
    for (const HostProviderConfig& c : config.providers) {
        for (std::size_t k = 0; k < c.keys.size(); ++k) {
            KeySlot key{};
            key.identity = key_identity(c.keys[k], secret);
            key.status = KeyStatus::Active;
            const auto limit = k < c.daily_limits.size() ? c.daily_limits[k] : std::nullopt;
            key.has_daily_limit = limit.has_value() ? 1 : 0;
            key.daily_limit = limit.value_or(0);
            key.weight = k < c.weights.size() ? c.weights[k] : 1.0;
            key.latencies.head = 0;
            key.latencies.size = 0;
            key.latencies.mean_cache = 0.0;
            key.latencies.mean_known = 1;
            initial_keys.push_back(key);
        }
    }
    return initial_keys;
}

SharedState::SharedState(RegionFile region, RouterConfig router, std::vector<Provider> providers,
                         std::shared_ptr<const Clock> clock)
    : region_(std::move(region)),
      clock_(std::move(clock)),
      router_(std::move(router)),
      providers_(std::move(providers)) {}

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
    return RobustLock(slot(p).mutex, [this, p]() noexcept { repair(p); });
}

void SharedState::repair(std::size_t p) noexcept {
    const Provider& provider = providers_[p];
    ProviderSlot& s = slot(p);
    const double now = clock_.now();
    BreakerFields& breaker = s.breaker;
    if (breaker.state != CircuitState::Closed && breaker.state != CircuitState::Open &&
        breaker.state != CircuitState::HalfOpen)
        breaker.state = CircuitState::Closed;
    if (!std::isfinite(breaker.opened_at)) breaker.opened_at = now;
    // The dead holder's trial may have been one of them; the others are
    // reclaimed after a recovery period if they never report.
    if (s.trials_in_flight > provider.trial_limit) s.trials_in_flight = provider.trial_limit;
    s.unclosed.store(breaker.state == CircuitState::Closed ? 0 : 1, std::memory_order_relaxed);
    if (!std::isfinite(s.last_trial_at)) s.last_trial_at = now;
    s.maybe_cooling = 1;
    for (auto [level, limits] : {std::pair{&s.requests, &provider.requests},
                                 std::pair{&s.tokens, &provider.tokens}}) {
        if (!*limits) continue;
        level->tokens = clamped(level->tokens, 0.0, (*limits)->capacity_tokens);
        if (!std::isfinite(level->last_refill)) level->last_refill = now;
    }
    if (provider.requests) repair_lease(s.fleet.requests, *provider.requests, now);
    if (provider.tokens) repair_lease(s.fleet.tokens, *provider.tokens, now);
    if (!std::isfinite(s.fleet.successes) || !std::isfinite(s.fleet.failures)) {
        s.fleet.successes = 0.0;
        s.fleet.failures = 0.0;
    }
    if (!finite_at_least_one(s.alpha) || !finite_at_least_one(s.beta)) {
        s.alpha = 1.0;
        s.beta = 1.0;
    }
    repair_latency(s.timing.latency, provider.scoring.profile.base_latency_ms);
    repair_sketch(s.timing.first_chunk);
    repair_sketch(s.timing.chunk_gap);
    if (!std::isfinite(s.fleet.latency_sum_ms) || !std::isfinite(s.fleet.latency_count)) {
        s.fleet.latency_sum_ms = 0.0;
        s.fleet.latency_count = 0.0;
    }
    std::span<KeySlot> records = keys(p);
    for (std::size_t k = 0; k < records.size(); ++k) {
        KeySlot& key = records[k];
        const KeySlot& fresh = initial_keys_[provider.first_key + k];
        key.identity = fresh.identity;
        key.has_daily_limit = fresh.has_daily_limit;
        key.daily_limit = fresh.daily_limit;
        key.weight = fresh.weight;
        if (static_cast<std::uint8_t>(key.status) > static_cast<std::uint8_t>(KeyStatus::Exhausted))
            key.status = KeyStatus::Active;
        if (key.total_errors > key.total_requests) key.total_errors = key.total_requests;
        if (key.total_rate_limits > key.total_requests)
            key.total_rate_limits = key.total_requests;
        if (std::isnan(key.cooldown_until)) key.cooldown_until = now;
        LatencyWindow& window = key.latencies;
        window.head %= LatencyWindow::kCapacity;
        if (window.size > LatencyWindow::kCapacity) window.size = LatencyWindow::kCapacity;
        window.mean_known = 0;
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

double SharedState::limits_wait(std::size_t p, ProviderSlot& s, std::uint64_t tokens,
                                double now) const {
    const Provider& provider = providers_[p];
    double wait = 0.0;
    if (provider.requests) {
        bucket_refill(s.requests, *provider.requests, now);
        wait = bucket_wait(s.requests, *provider.requests, 1);
    }
    if (provider.tokens && tokens > 0) {
        bucket_refill(s.tokens, *provider.tokens, now);
        const double token_wait = bucket_wait(s.tokens, *provider.tokens, tokens);
        if (token_wait > wait) wait = token_wait;
    }
    return wait;
}

double SharedState::try_limits(std::size_t p, std::uint64_t tokens) {
    const Provider& provider = providers_[p];
    const bool count_tokens = provider.tokens && tokens > 0;
    if (!provider.requests && !count_tokens) return 0.0;
    RobustLock held = lock(p);
    ProviderSlot& s = slot(p);
    const double wait = limits_wait(p, s, tokens, clock_.now());
    if (wait > 0.0) return wait;
    if (provider.requests) bucket_take(s.requests, 1);
    if (count_tokens) bucket_take(s.tokens, tokens);
    return 0.0;
}

double SharedState::limits_ready_in(std::size_t p, std::uint64_t tokens) {
    const Provider& provider = providers_[p];
    if (!provider.requests && !(provider.tokens && tokens > 0)) return 0.0;
    RobustLock held = lock(p);
    return limits_wait(p, slot(p), tokens, clock_.now());
}

void SharedState::release_limits(std::size_t p, std::uint64_t tokens) {
    const Provider& provider = providers_[p];
    const bool count_tokens = provider.tokens && tokens > 0;
    if (!provider.requests && !count_tokens) return;
    RobustLock held = lock(p);
    ProviderSlot& s = slot(p);
    // Never above the capacity: the bucket may have refilled meanwhile.
    if (provider.requests)
        s.requests.tokens = clamped(s.requests.tokens + 1.0, 0.0, provider.requests->capacity_tokens);
    if (count_tokens)
        s.tokens.tokens = clamped(s.tokens.tokens + static_cast<double>(tokens), 0.0,
                                  provider.tokens->capacity_tokens);
}

void SharedState::settle_tokens(std::size_t p, std::uint64_t reserved, std::uint64_t used) {
    const Provider& provider = providers_[p];
    if (!provider.tokens || reserved == used) return;
    RobustLock held = lock(p);
    BucketLevel& level = slot(p).tokens;
    bucket_refill(level, *provider.tokens, clock_.now());
    const double settled =
        level.tokens + (static_cast<double>(reserved) - static_cast<double>(used));
    level.tokens = clamped(settled, 0.0, provider.tokens->capacity_tokens);
}

std::pair<std::optional<double>, std::optional<double>> SharedState::bucket_levels(std::size_t p) {
    const Provider& provider = providers_[p];
    std::pair<std::optional<double>, std::optional<double>> levels;
    if (!provider.requests && !provider.tokens) return levels;
    RobustLock held = lock(p);
    ProviderSlot& s = slot(p);
    const double now = clock_.now();
    if (provider.requests) {
        bucket_refill(s.requests, *provider.requests, now);
        levels.first = s.requests.tokens;
    }
    if (provider.tokens) {
        bucket_refill(s.tokens, *provider.tokens, now);
        levels.second = s.tokens.tokens;
    }
    return levels;
}

// ---- keys -------------------------------------------------------------------

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
        if (!cooling(key.status)) continue;
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
            cooling(key.status) && key.cooldown_until <= now ? KeyStatus::Active : key.status;
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

void SharedState::park_holding_lock(std::size_t p, int ready_fd) {
    RobustLock held = lock(p);
    const char ready = 1;
    (void)!write(ready_fd, &ready, 1);
    for (;;) pause();
}

}  // namespace velmorquist
