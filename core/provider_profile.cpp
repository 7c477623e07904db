#include "core/provider_profile.hpp"

#include "core/format.hpp"

namespace velmorquist {
namespace {

// Reprs spell booleans the way the rest of the system's texts do.
const char* word(bool value) { return value ? "true" : "false"; }

}  // namespace

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
