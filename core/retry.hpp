// Exponential back-off with random jitter. Immutable: it counts no attempts
// and never sleeps; the caller numbers its attempts from 0.
#pragma once

#include <cstdint>

#include "core/random.hpp"

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

    // The capped back-off before `attempt`, jittered by one draw from `rng`.
    // Throws InternalFault "cannot sample empty range" for a NaN jitter factor.
    [[nodiscard]] std::uint64_t delay_ms(std::uint32_t attempt, ThreadRandom& rng) const;
};

// Rounds half away from zero into u64: negative and NaN give 0, 2^64 and
// above give the largest u64.
[[nodiscard]] std::uint64_t round_to_u64(double value) noexcept;

}  // namespace velmorquist
