#include "core/provider_profile.hpp"

#include <array>

#include "core/format.hpp"

namespace velmorquist {
namespace {

// Reprs spell booleans the way the rest of the system's texts do.
const char* word(bool value) { return value ? "true" : "false"; }

}  // namespace

std::span<const ProviderProfile> default_catalogue() {
    // Built on first use; every id fits std::string's inline buffer.
    static const std::array<ProviderProfile, 12> kCatalogue{{
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
    return kCatalogue;
}

std::string repr(const ProviderProfile& profile) {
    std::string text = "ProviderProfile(id='";
    text += profile.id;
    text += "', cost=";
    append_fixed(text, profile.cost_per_1k, 4);
    text += ", quality=";
    append_fixed(text, profile.base_quality, 2);
    text += ", latency=";
    append_fixed(text, profile.base_latency_ms, 0);
    text += "ms)";
    return text;
}

std::string repr(const RouterConfig& config) {
    std::string text = "RouterConfig(cost=";
    append_fixed(text, config.cost_weight, 2);
    text += ", quality=";
    append_fixed(text, config.quality_weight, 2);
    text += ", latency=";
    append_fixed(text, config.latency_weight, 2);
    text += ", explore=";
    text += word(config.explore_mode);
    text += ", decay=";
    append_fixed(text, config.decay_factor, 2);
    text += ")";
    return text;
}

std::string repr(const RoutingDecision& decision) {
    std::string text = "RoutingDecision(provider_id='";
    text += decision.provider_id;
    text += "', score=";
    append_fixed(text, decision.score, 4);
    text += ", is_explore=";
    text += word(decision.is_explore);
    text += ")";
    return text;
}

}  // namespace velmorquist
