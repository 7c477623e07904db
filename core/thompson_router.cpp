#include "core/thompson_router.hpp"

#include <algorithm>
#include <utility>

#include "core/best_first.hpp"

namespace velmorquist {
namespace {

double posterior_mean(const ProviderState& provider) {
    return velmorquist::posterior_mean(provider.alpha, provider.beta);
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

ProviderState fresh_state(std::string_view id, double cost, double quality, double latency) {
    return ProviderState{.id = std::string(id),
                         .cost_per_1k = cost,
                         .base_quality = quality,
                         .base_latency_ms = latency};
}

}  // namespace

Posterior decayed_posterior(Posterior posterior, double decay, double reward) {
    // Both from the old counts; the floor keeps the posterior a valid Beta.
    return Posterior{floored(decay * posterior.alpha + reward),
                     floored(decay * posterior.beta + (1.0 - reward))};
}

double provider_score(const RouterConfig& config, const ProviderState& provider, double theta) {
    const double quality = config.quality_weight * (theta * provider.base_quality);
    const double cost = config.cost_weight * provider.cost_per_1k;
    const double latency = config.latency_weight * (provider.base_latency_ms / 1000.0);
    return quality - cost - latency;
}

RouterCore::RouterCore(RouterConfig config) : config_(std::move(config)) {}

void RouterCore::add_provider(const ProviderProfile& profile) {
    ProviderState state = fresh_state(profile.id, profile.cost_per_1k, profile.base_quality,
                                      profile.base_latency_ms);
    std::lock_guard lock(mutex_);
    providers_.push_back(std::move(state));
}

bool RouterCore::remove_provider(std::string_view provider_id) {
    std::lock_guard lock(mutex_);
    return std::erase_if(providers_, [&](const ProviderState& p) { return p.id == provider_id; }) >
           0;
}

std::size_t RouterCore::provider_count() const {
    std::lock_guard lock(mutex_);
    return providers_.size();
}

std::expected<RoutingDecision, ProxyError> RouterCore::select(ThreadRandom& rng) const {
    bool explore = false;
    {
        std::lock_guard lock(mutex_);
        explore = config_.explore_mode;
    }
    if (!explore) return select_deterministic();

    std::lock_guard lock(mutex_);
    if (providers_.empty()) return std::unexpected(NoProviders{});
    BestSoFar best;
    for (const ProviderState& provider : providers_) {
        std::expected<double, std::string> theta = provider.posterior.sample(rng);
        if (!theta) return std::unexpected(Sampling{std::move(theta.error())});
        best.offer(provider, provider_score(config_, provider, *theta));
    }
    return RoutingDecision{best.provider->id, best.score, true};
}

std::expected<RoutingDecision, ProxyError> RouterCore::select_deterministic() const {
    std::lock_guard lock(mutex_);
    if (providers_.empty()) return std::unexpected(NoProviders{});
    BestSoFar best;
    for (const ProviderState& provider : providers_)
        best.offer(provider, provider_score(config_, provider, posterior_mean(provider)));
    return RoutingDecision{best.provider->id, best.score, false};
}

std::expected<void, ProxyError> RouterCore::record_outcome(std::string_view provider_id,
                                                           double reward) {
    std::lock_guard lock(mutex_);
    auto found = std::find_if(providers_.begin(), providers_.end(),
                              [&](const ProviderState& p) { return p.id == provider_id; });
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
    std::lock_guard lock(mutex_);
    const bool explore = config_.explore_mode;
    std::vector<ScoredProvider> scored;
    scored.reserve(providers_.size());
    for (const ProviderState& provider : providers_) {
        if (!is_candidate(provider.id, eligible_ids)) continue;
        double theta = 0.0;
        if (explore) {
            std::expected<double, std::string> draw = provider.posterior.sample(rng);
            if (!draw) return std::unexpected(Sampling{std::move(draw.error())});
            theta = *draw;
        } else {
            theta = posterior_mean(provider);
        }
        scored.push_back({provider_score(config_, provider, theta), &provider});
    }
    if (scored.empty()) return std::unexpected(NoProviders{});
    sort_best_first(scored);
    std::vector<RoutingDecision> ranking;
    ranking.reserve(scored.size());
    for (const ScoredProvider& entry : scored)
        ranking.push_back(RoutingDecision{entry.item->id, entry.score, explore});
    return ranking;
}

void RouterCore::load_defaults() {
    // One lock holding per entry, so other callers are never held up for the
    // whole catalogue.
    for (const CatalogueEntry& entry : kDefaultCatalogue) {
        ProviderState state = fresh_state(entry.id, entry.cost_per_1k, entry.base_quality,
                                          entry.base_latency_ms);
        std::lock_guard lock(mutex_);
        providers_.push_back(std::move(state));
    }
}

std::vector<ProviderState> RouterCore::providers() const {
    std::lock_guard lock(mutex_);
    return providers_;
}

}  // namespace velmorquist
