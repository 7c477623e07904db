// Making a state: the configuration's hash and key identities, this
// process's view of each provider, a fresh region's initial slots, and the
// two ways to attach (a region file, or private memory).
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <sys/random.h>
#include <unistd.h>

#include "core/policy/key_map.hpp"
#include "core/region/shared_state.hpp"

namespace velmorquist {
namespace {

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
    std::shared_ptr<const Clock> clock, LimitSource limits) {
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
    RegionRequest request{path,   create, fresh, 0, 0, config_hash(config, *secret),
                          key_check(*secret)};
    return build(config, *secret, std::move(request), std::move(clock), limits);
}

std::expected<std::unique_ptr<SharedState>, RegionError> SharedState::attach_private(
    HostConfig config, std::shared_ptr<const Clock> clock, LimitSource limits) {
    RegionSecret secret{};
    if (getrandom(secret.data(), secret.size(), 0) != static_cast<ssize_t>(secret.size())) {
        const int error = errno;
        return std::unexpected(RegionError{
            RegionFault::System, error,
            std::string("no random bytes for a private state: ") + std::strerror(error)});
    }
    // Nobody else ever reads this region, so it needs no configuration hash.
    auto state = build(config, secret, RegionRequest{"", true, false, 0, 0, 0},
                       std::move(clock), limits);
    if (state) (*state)->guard_across_fork();
    return state;
}

std::expected<std::unique_ptr<SharedState>, RegionError> SharedState::build(
    const HostConfig& config, const RegionSecret& secret, RegionRequest request,
    std::shared_ptr<const Clock> clock, LimitSource limits) {
    std::vector<Provider> providers = describe(config);
    std::vector<KeySlot> initial_keys = initial_key_slots(config, secret);
    request.provider_count = static_cast<std::uint32_t>(providers.size());
    request.key_count = static_cast<std::uint32_t>(initial_keys.size());
    ClockHandle time(clock);
    const auto fill = [&](std::byte* base) {
        fill_slots(base, providers, initial_keys, time.now());
    };
    auto region = request.path.empty() ? RegionFile::private_memory(request, fill)
                                       : RegionFile::attach(request, fill);
    if (!region) return std::unexpected(std::move(region.error()));
    return std::unique_ptr<SharedState>(
        new SharedState(std::move(*region), config.router, std::move(providers),
                        std::move(initial_keys), std::move(clock), limits));
}

void SharedState::guard_across_fork() {
    fork_guard_.emplace(ForkHandlers{
        [this] {
            for (std::size_t p = 0; p < providers_.size(); ++p)
                slot(p).mutex.lock([this, p]() noexcept { repair(p); });
        },
        [this] {
            for (std::size_t p = 0; p < providers_.size(); ++p) slot(p).mutex.unlock();
        },
        [this] {
            for (std::size_t p = 0; p < providers_.size(); ++p) slot(p).mutex.init();
        },
    });
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
                         std::vector<KeySlot> initial_keys, std::shared_ptr<const Clock> clock,
                         LimitSource limits)
    : region_(std::move(region)),
      clock_(std::move(clock)),
      router_(std::move(router)),
      limits_(limits),
      providers_(std::move(providers)),
      initial_keys_(std::move(initial_keys)) {}

}  // namespace velmorquist
