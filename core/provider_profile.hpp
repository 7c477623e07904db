// The router's value types: what the application tells it about a provider,
// how it weighs providers, and what it answers. Plain values, no validation:
// weights may be negative, a profile may hold NaN, and the router copes.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

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

// One built-in profile, as constant data (no allocation until it is loaded).
struct CatalogueEntry {
    std::string_view id;
    double cost_per_1k;
    double base_quality;
    double base_latency_ms;
};

inline constexpr std::array<CatalogueEntry, 12> kDefaultCatalogue{{
    {"openai", 0.03, 0.92, 800},
    {"anthropic", 0.025, 0.93, 900},
    {"google", 0.02, 0.90, 750},
    {"groq", 0.002, 0.85, 200},
    {"together", 0.008, 0.84, 400},
    {"fireworks", 0.005, 0.83, 350},
    {"deepseek", 0.004, 0.86, 600},
    {"cerebras", 0.003, 0.82, 250},
    {"ollama", 0.0, 0.78, 500},
    {"mistral", 0.012, 0.88, 650},
    {"cohere", 0.015, 0.85, 700},
    {"azure_openai", 0.03, 0.92, 780},
}};

// Python-facing representations, e.g.
// ProviderProfile(id='openai', cost=0.0300, quality=0.92, latency=800ms).
[[nodiscard]] std::string repr(const ProviderProfile& profile);
[[nodiscard]] std::string repr(const RouterConfig& config);
[[nodiscard]] std::string repr(const RoutingDecision& decision);

}  // namespace velmorquist
