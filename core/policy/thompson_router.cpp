#include "core/policy/thompson_router.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/base/best_first.hpp"

namespace velmorquist {
namespace {

// The provider's score with theta drawn from its posterior when exploring
// (rng given), otherwise the posterior mean.
std::expected<double, ProxyError> score_of(const RouterConfig& config,
                                           const ProviderState& provider, ThreadRandom* rng) {
    if (rng == nullptr) {
        const double mean = posterior_mean(provider.alpha, provider.beta);
        return provider_score(config, provider.profile, mean);
    }
    std::expected<double, ProxyError> theta = provider.posterior.sample(*rng);
    if (!theta) return std::unexpected(std::move(theta.error()));
    return provider_score(config, provider.profile, *theta);
}

// Keeps the first strictly best: ties stay with the earlier entry, a NaN
// score never wins, and a NaN in first place is never beaten (nothing
// compares greater than NaN).
struct BestSoFar {
    const ProviderState* provider = nullptr;
    double score = 0.0;

    void offer(const ProviderState& candidate, double candidate_score) {
        if (provider != nullptr && !(candidate_score > score)) return;
        provider = &candidate;
        score = candidate_score;
    }
};

// The larger of value and 1.0, NaN included in "not larger".
double floored(double value) { return value > 1.0 ? value : 1.0; }

using ScoredProvider = Scored<const ProviderState*>;

bool is_candidate(std::string_view id, std::span<const std::string_view> eligible_ids) {
    if (eligible_ids.empty()) return true;
    return std::find(eligible_ids.begin(), eligible_ids.end(), id) != eligible_ids.end();
}

}  // namespace

void repair_posterior(double& alpha, double& beta) noexcept {
    const auto usable = [](double value) { return value >= 1.0 && std::isfinite(value); };
    if (usable(alpha) && usable(beta)) return;
    alpha = 1.0;
    beta = 1.0;
}

Posterior decayed_posterior(Posterior posterior, double decay, double reward) {
    // Both from the old counts; the floor keeps the posterior a valid Beta.
    return Posterior{floored(decay * posterior.alpha + reward),
                     floored(decay * posterior.beta + (1.0 - reward))};
}

double provider_score(const RouterConfig& config, const ProviderProfile& profile, double theta) {
    return provider_score(config, profile, profile.base_latency_ms, theta);
}

double provider_score(const RouterConfig& config, const ProviderProfile& profile,
                      double latency_ms, double theta) {
    const double quality = config.quality_weight * (theta * profile.base_quality);
    const double cost = config.cost_weight * profile.cost_per_1k;
    const double latency = config.latency_weight * (latency_ms / 1000.0);
    return quality - cost - latency;
}

RouterCore::RouterCore(RouterConfig config) : config_(std::move(config)) {}

void RouterCore::add_provider(const ProviderProfile& profile) {
    ProviderState state{.profile = profile};
    std::lock_guard lock(mutex_);
    providers_.push_back(std::move(state));
}

bool RouterCore::remove_provider(std::string_view provider_id) {
    std::lock_guard lock(mutex_);
    auto has_id = [&](const ProviderState& p) { return p.profile.id == provider_id; };
    return std::erase_if(providers_, has_id) > 0;
}

std::size_t RouterCore::provider_count() const {
    std::lock_guard lock(mutex_);
    return providers_.size();
}

std::expected<RoutingDecision, ProxyError> RouterCore::select(ThreadRandom& rng) const {
    return select_best(config_.explore_mode ? &rng : nullptr);
}

std::expected<RoutingDecision, ProxyError> RouterCore::select_deterministic() const {
    return select_best(nullptr);
}

std::expected<RoutingDecision, ProxyError> RouterCore::select_best(ThreadRandom* rng) const {
    std::lock_guard lock(mutex_);
    if (providers_.empty()) return std::unexpected(NoProviders{});
    BestSoFar best;
    for (const ProviderState& provider : providers_) {
        std::expected<double, ProxyError> score = score_of(config_, provider, rng);
        if (!score) return std::unexpected(std::move(score.error()));
        best.offer(provider, *score);
    }
    return RoutingDecision{best.provider->profile.id, best.score, rng != nullptr};
}

std::expected<void, ProxyError> RouterCore::record_outcome(std::string_view provider_id,
                                                           double reward) {
    std::lock_guard lock(mutex_);
    auto found = std::find_if(providers_.begin(), providers_.end(),
                              [&](const ProviderState& p) { return p.profile.id == provider_id; });
    if (found == providers_.end())
        return std::unexpected(ProviderNotFound{std::string(provider_id)});
    const Posterior next =
        decayed_posterior(Posterior{found->alpha, found->beta}, config_.decay_factor, reward);
    found->alpha = next.alpha;
    found->beta = next.beta;
    found->posterior = BetaSampler(next.alpha, next.beta);
    return {};
}

std::expected<std::vector<RoutingDecision>, ProxyError> RouterCore::rank_among(
    std::span<const std::string_view> eligible_ids, ThreadRandom& rng) const {
    const bool explore = config_.explore_mode;
    ThreadRandom* const draw_from = explore ? &rng : nullptr;
    std::lock_guard lock(mutex_);
    std::vector<ScoredProvider> scored;
    scored.reserve(providers_.size());
    for (const ProviderState& provider : providers_) {
        if (!is_candidate(provider.profile.id, eligible_ids)) continue;
        std::expected<double, ProxyError> score = score_of(config_, provider, draw_from);
        if (!score) return std::unexpected(std::move(score.error()));
        scored.push_back({*score, &provider});
    }
    if (scored.empty()) return std::unexpected(NoProviders{});
    sort_best_first(scored);
    std::vector<RoutingDecision> ranking;
    ranking.reserve(scored.size());
    for (const ScoredProvider& entry : scored)
        ranking.push_back(RoutingDecision{entry.item->profile.id, entry.score, explore});
    return ranking;
}

void RouterCore::load_defaults() {
    // One lock holding per entry, so other callers are never held up for the
    // whole catalogue.
    for (const ProviderProfile& profile : default_catalogue()) add_provider(profile);
}

std::vector<ProviderState> RouterCore::providers() const {
    std::lock_guard lock(mutex_);
    return providers_;
}

}  // namespace velmorquist
