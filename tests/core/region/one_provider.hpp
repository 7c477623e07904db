// The configuration the region tests attach with: one provider "alpha" with
// one key, a breaker that opens at 2 failures for 10 s, 10 calls a second
// in bursts of 5.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "core/region/shared_state.hpp"

namespace velmorquist::test_support {

inline HostConfig one_provider(std::string key = "sk-test-key-000001") {
    HostProviderConfig provider;
    provider.name = "alpha";
    provider.profile = ProviderProfile{"alpha", 0.01, 0.9, 100.0};
    provider.breaker = CircuitBreakerConfig{"alpha", 2, 10.0, 1};
    provider.rate = RateLimitConfig{10, 1.0, 5};
    provider.strategy = Strategy::RoundRobin;
    provider.keys = {std::move(key)};
    provider.weights = {1.0};
    provider.daily_limits = {std::nullopt};
    return HostConfig{{provider}, RouterConfig{}};
}

}  // namespace velmorquist::test_support
