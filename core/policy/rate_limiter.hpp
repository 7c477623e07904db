// Token-bucket rate limiting: a level of fractional tokens that refills
// continuously up to a capacity, and a refusal (never a wait) when a request
// finds too few.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "core/policy/bucket_policy.hpp"
#include "core/base/clock.hpp"
#include "core/base/error.hpp"
#include "core/base/mutex.hpp"

namespace velmorquist {

// Stored as given: zero, negative, infinite and NaN windows are all legal and
// the refill gives each a meaning.
struct RateLimitConfig {
    std::uint64_t max_calls = 0;
    double time_window_secs = 0.0;
    std::optional<std::uint64_t> burst_size;  // capacity when present
};

// The bucket a configuration describes: its capacity and refill rate.
[[nodiscard]] BucketLimits bucket_limits(const RateLimitConfig& config);

// Built-in per-provider limits, matched byte for byte; nullopt for other names.
[[nodiscard]] std::optional<RateLimitConfig> provider_preset(std::string_view provider);

class TokenBucketCore {
public:
    TokenBucketCore(const RateLimitConfig& config, std::shared_ptr<const Clock> clock);

    // Refills, then takes `n` tokens if that many are there. A refusal carries
    // the refilled level, which stays in effect.
    [[nodiscard]] std::expected<void, ProxyError> try_acquire(std::uint64_t n = 1);
    // The level after a refill.
    [[nodiscard]] double available_tokens();

    [[nodiscard]] std::uint64_t capacity() const { return limits_.capacity; }
    [[nodiscard]] double refill_rate() const { return limits_.refill_rate; }

private:
    const ClockHandle clock_;
    const BucketLimits limits_;

    CoreMutex mutex_;
    BucketLevel level_;
};

}  // namespace velmorquist
