// The router's value types: what the application tells it about a provider,
// how it weighs providers, and what it answers. Plain values, no validation:
// weights may be negative, a profile may hold NaN, and the router copes.
#pragma once

#include <optional>
#include <span>
#include <string>

namespace velmorquist {

struct ProviderProfile {
    std::string id;
    double cost_per_1k = 0.0;
    double base_quality = 0.0;
    double base_latency_ms = 0.0;
};

struct RouterConfig {
    double cost_weight = 0.5;
    double quality_weight = 0.35;
    double latency_weight = 0.15;
    bool explore_mode = true;
    double decay_factor = 0.95;
    // Carried along for the application; no router operation consults it.
    std::optional<std::string> fallback_provider;
};

struct RoutingDecision {
    std::string provider_id;
    double score = 0.0;
    bool is_explore = false;
};

// The built-in profiles of twelve common providers, in loading order.
[[nodiscard]] std::span<const ProviderProfile> default_catalogue();

}  // namespace velmorquist
