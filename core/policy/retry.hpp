// Exponential back-off with random jitter. Immutable: it counts no attempts
// and never sleeps; the caller numbers its attempts from 0.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <limits>

#include "core/base/error.hpp"
#include "core/base/random.hpp"

namespace velmorquist {

struct RetryPolicy {
    std::uint32_t max_retries = 2;
    std::uint64_t base_delay_ms = 500;
    std::uint64_t max_delay_ms = 10000;
    // Used clamped to [0, 1]; stored as given.
    double jitter_factor = 0.5;

    [[nodiscard]] bool should_retry(std::uint32_t attempt) const noexcept {
        return attempt < max_retries;
    }
};

// Rounds half away from zero into u64: negative and NaN give 0, 2^64 and
// above give the largest u64. Inline and without a libm call.
[[nodiscard]] inline std::uint64_t round_to_u64(double value) noexcept {
    if (!(value >= 0.5)) return 0;  // below one half, negative and NaN alike
    // 2^64 is exact as a double; anything from it up would be UB to convert.
    if (value >= 0x1.0p64) return std::numeric_limits<std::uint64_t>::max();
    // Adding the double just below one half, then truncating, rounds half away
    // from zero exactly: a fraction of exactly one half carries the sum to the
    // next whole number, anything less cannot reach it.
    return static_cast<std::uint64_t>(value + 0.49999999999999994);
}

// A policy with the jitter range of each back-off worked out once. Beyond
// attempt 20 the doubling only ever hits the cap, so there are 21 ranges.
class RetryPlan {
public:
    explicit RetryPlan(const RetryPolicy& policy);

    [[nodiscard]] const RetryPolicy& policy() const noexcept { return policy_; }
    [[nodiscard]] bool should_retry(std::uint32_t attempt) const noexcept {
        return policy_.should_retry(attempt);
    }
    // The capped back-off before `attempt`, jittered by one draw from `rng`.
    // Throws InternalFault "cannot sample empty range", without drawing, for a
    // NaN jitter factor.
    [[nodiscard]] std::uint64_t delay_ms(std::uint32_t attempt, ThreadRandom& rng) const;

private:
    static constexpr std::uint32_t kLastExponent = 20;

    RetryPolicy policy_;
    std::array<std::expected<InclusiveRange, InternalFault>, kLastExponent + 1> ranges_;
};

}  // namespace velmorquist
