#include "core/policy/retry.hpp"

#include <algorithm>

#include "core/base/error.hpp"

namespace velmorquist {
namespace {

// The jitter range before an attempt whose doubling exponent is `exponent`.
std::expected<InclusiveRange, InternalFault> jitter_range(const RetryPolicy& policy,
                                                          std::uint32_t exponent) {
    std::uint64_t uncapped = 0;
    const std::uint64_t capped =
        __builtin_mul_overflow(policy.base_delay_ms, std::uint64_t{1} << exponent, &uncapped)
            ? policy.max_delay_ms
            : std::min(uncapped, policy.max_delay_ms);

    // Comparisons are false for NaN, which stays NaN and makes the range empty.
    double jitter = policy.jitter_factor;
    if (jitter < 0.0) jitter = 0.0;
    if (jitter > 1.0) jitter = 1.0;

    const auto delay = static_cast<double>(capped);
    return prepare_inclusive(delay * (1.0 - jitter), delay * (1.0 + jitter));
}

}  // namespace

RetryPlan::RetryPlan(const RetryPolicy& policy) : policy_(policy) {
    for (std::uint32_t exponent = 0; exponent <= kLastExponent; ++exponent)
        ranges_[exponent] = jitter_range(policy, exponent);
}

std::uint64_t RetryPlan::delay_ms(std::uint32_t attempt, ThreadRandom& rng) const {
    const std::expected<InclusiveRange, InternalFault>& range =
        ranges_[std::min(attempt, kLastExponent)];
    if (!range) [[unlikely]]
        throw range.error();
    return round_to_u64(sample_inclusive(rng, *range));
}

}  // namespace velmorquist
