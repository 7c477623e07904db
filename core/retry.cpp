#include "core/retry.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace velmorquist {

std::uint64_t round_to_u64(double value) noexcept {
    double rounded = std::round(value);
    if (!(rounded >= 0.0)) return 0;
    // 2^64 is exact as a double; anything from it up would be UB to convert.
    if (rounded >= 0x1.0p64) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(rounded);
}

std::uint64_t RetryPolicy::delay_ms(std::uint32_t attempt, ThreadRandom& rng) const {
    // Beyond 2^20 the doubling only ever hits the cap.
    const std::uint32_t exponent = std::min<std::uint32_t>(attempt, 20);
    std::uint64_t uncapped = 0;
    const std::uint64_t capped =
        __builtin_mul_overflow(base_delay_ms, std::uint64_t{1} << exponent, &uncapped)
            ? max_delay_ms
            : std::min(uncapped, max_delay_ms);

    // Comparisons are false for NaN, which stays NaN and makes the range empty.
    double jitter = jitter_factor;
    if (jitter < 0.0) jitter = 0.0;
    if (jitter > 1.0) jitter = 1.0;

    const auto delay = static_cast<double>(capped);
    return round_to_u64(uniform_inclusive(rng, delay * (1.0 - jitter), delay * (1.0 + jitter)));
}

}  // namespace velmorquist
