// The token bucket's arithmetic over a plain level, so the same refill and
// take serve a bucket in this process and one in a shared-memory region.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace velmorquist {

// What changes: the level of fractional tokens and when it was last refilled.
struct BucketLevel {
    double tokens = 0.0;
    double last_refill = 0.0;
};

// What does not: fixed by the configuration.
struct BucketLimits {
    std::uint64_t capacity = 0;
    double capacity_tokens = 0.0;  // capacity as a double, the refill's ceiling
    double refill_rate = 0.0;      // tokens per second
};

[[gnu::always_inline]] inline void bucket_refill(BucketLevel& level, const BucketLimits& limits,
                                                 double now) {
    const double elapsed = now - level.last_refill;
    if (!(elapsed > 0.0)) return;
    const double sum = level.tokens + elapsed * limits.refill_rate;
    // Written as sum < capacity so a NaN or infinite sum fills the bucket.
    level.tokens = sum < limits.capacity_tokens ? sum : limits.capacity_tokens;
    level.last_refill = now;
}

// tokens >= n compared exactly. Converting n to a double first would round
// requests beyond 2^53 and could admit one the bucket cannot cover.
[[nodiscard]] inline bool bucket_covers(double tokens, std::uint64_t n) {
    // Up to 2^53 the conversion is exact, and for a whole n, tokens >= n holds
    // exactly when floor(tokens) >= n: the same answer without waiting for a
    // conversion of the freshly refilled level.
    if (n <= (std::uint64_t{1} << 53)) [[likely]]
        return tokens >= static_cast<double>(n);
    constexpr double kTwoTo64 = 18446744073709551616.0;
    if (tokens >= kTwoTo64) return true;
    // 0 <= tokens < 2^64 here, so truncation is the exact floor.
    return static_cast<std::uint64_t>(tokens) >= n;
}

// Whether `n` tokens can be taken from a refilled level.
[[nodiscard]] inline bool bucket_can_take(const BucketLevel& level, const BucketLimits& limits,
                                          std::uint64_t n) {
    // The capacity check stays in integers: near 2^64 the capacity itself
    // rounds up as a double, and a request above it must still be refused.
    return n <= limits.capacity && bucket_covers(level.tokens, n);
}

// After bucket_can_take said yes: n <= tokens and tokens is a double, so the
// rounded n is at most tokens and the level cannot go negative.
inline void bucket_take(BucketLevel& level, std::uint64_t n) {
    level.tokens -= static_cast<double>(n);
}

// Seconds until a refilled level covers `n`: 0.0 when it does now, infinity
// when n exceeds the capacity, otherwise at least a nanosecond, so a caller
// never mistakes a refusal for an admission.
[[nodiscard]] inline double bucket_wait(const BucketLevel& level, const BucketLimits& limits,
                                       std::uint64_t n) {
    if (bucket_can_take(level, limits, n)) return 0.0;
    if (n > limits.capacity) return std::numeric_limits<double>::infinity();
    const double wait = (static_cast<double>(n) - level.tokens) / limits.refill_rate;
    constexpr double kNanosecond = 1e-9;
    return wait > kNanosecond ? wait : kNanosecond;
}

// After the holder of a shared bucket's lock died mid-update: a level
// between empty and full, refilled from a time that is a number.
inline void repair_bucket(BucketLevel& level, const BucketLimits& limits, double now) noexcept {
    if (!(level.tokens >= 0.0)) level.tokens = 0.0;  // NaN too
    if (level.tokens > limits.capacity_tokens) level.tokens = limits.capacity_tokens;
    if (!std::isfinite(level.last_refill)) level.last_refill = now;
}

}  // namespace velmorquist
