// The provider router: an insertion-ordered list of providers, each with a
// Beta posterior over its success rate. Selection scores every provider on
// quality, cost and latency; in explore mode the quality term uses one draw
// from the provider's posterior (Thompson sampling), otherwise its mean.
#pragma once

#include <cstddef>
#include <expected>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.hpp"
#include "core/base/mutex.hpp"
#include "core/policy/provider_profile.hpp"
#include "core/base/random.hpp"

namespace velmorquist {

// One registered provider. alpha and beta start at 1.0 and never drop below it.
struct ProviderState {
    ProviderProfile profile;
    double alpha = 1.0;
    double beta = 1.0;
    // Beta(alpha, beta) ready to draw from; replaced whenever they change.
    BetaSampler posterior{1.0, 1.0};
};

// A Beta posterior's two counts, each at least 1.0.
struct Posterior {
    double alpha = 1.0;
    double beta = 1.0;
};

[[nodiscard]] inline double posterior_mean(double alpha, double beta) {
    return alpha / (alpha + beta);
}

// One outcome: both counts decay by `decay`, then `reward` (1.0 success, 0.0
// failure) is added to alpha and its complement to beta.
[[nodiscard]] Posterior decayed_posterior(Posterior posterior, double decay, double reward);

// After the holder of a shared posterior's lock died mid-update: both
// parameters finite and at least the prior's 1, else the prior itself.
void repair_posterior(double& alpha, double& beta) noexcept;

// quality_weight * (theta * base_quality) - cost_weight * cost_per_1k
//   - latency_weight * (base_latency_ms / 1000), grouped exactly so.
[[nodiscard]] double provider_score(const RouterConfig& config, const ProviderProfile& profile,
                                    double theta);
// The same with a latency of its own in place of the profile's (a measured one).
[[nodiscard]] double provider_score(const RouterConfig& config, const ProviderProfile& profile,
                                    double latency_ms, double theta);

class RouterCore {
public:
    explicit RouterCore(RouterConfig config);

    // Appends with a fresh posterior; the same id may be registered again.
    void add_provider(const ProviderProfile& profile);
    // Removes every entry with this id; true if any was removed.
    bool remove_provider(std::string_view provider_id);
    [[nodiscard]] std::size_t provider_count() const;

    // By explore_mode: one posterior draw per provider, in list order, from
    // `rng`; or the posterior mean (rng untouched).
    [[nodiscard]] std::expected<RoutingDecision, ProxyError> select(ThreadRandom& rng) const;
    [[nodiscard]] std::expected<RoutingDecision, ProxyError> select_deterministic() const;

    // Decays the first entry with this id and adds the reward.
    [[nodiscard]] std::expected<void, ProxyError> record_outcome(std::string_view provider_id,
                                                                 double reward);

    // Candidates (all entries when `eligible_ids` is empty), best first; equal
    // scores keep list order.
    [[nodiscard]] std::expected<std::vector<RoutingDecision>, ProxyError> rank_among(
        std::span<const std::string_view> eligible_ids, ThreadRandom& rng) const;

    // Appends the built-in catalogue, one entry per lock holding.
    void load_defaults();

    [[nodiscard]] const RouterConfig& config() const { return config_; }
    // A copy of the list, for inspection.
    [[nodiscard]] std::vector<ProviderState> providers() const;

private:
    // The best provider; theta is a draw from `rng` when given, else the posterior mean.
    [[nodiscard]] std::expected<RoutingDecision, ProxyError> select_best(ThreadRandom* rng) const;

    const RouterConfig config_;  // immutable, so read without the lock

    mutable CoreMutex mutex_;
    std::vector<ProviderState> providers_;
};

}  // namespace velmorquist
