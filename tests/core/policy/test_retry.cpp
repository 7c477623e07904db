#include "core/policy/retry.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <random>

#include "core/base/error.hpp"

namespace velmorquist {
namespace {

constexpr ChaChaKey kKey = {3, 1, 4, 1, 5, 9, 2, 6};
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kMarker = 0xfeedface12345678ULL;

// A generator whose next outputs are `first`, then kMarker.
ThreadRandom pinned(std::uint64_t first) {
    std::array<std::uint32_t, kChaChaBatchWords> words{};
    words[0] = static_cast<std::uint32_t>(first);
    words[1] = static_cast<std::uint32_t>(first >> 32);
    words[2] = static_cast<std::uint32_t>(kMarker);
    words[3] = static_cast<std::uint32_t>(kMarker >> 32);
    return ThreadRandom(kKey, words);
}

struct DelayCase {
    RetryPolicy policy;
    std::uint32_t attempt;
    std::uint64_t lowest;   // with the smallest unit draw
    std::uint64_t highest;  // with the largest
};

class RetryDelayTest : public testing::TestWithParam<DelayCase> {};

TEST_P(RetryDelayTest, EndsOfTheJitteredRangeUsingOneOutput) {
    const DelayCase& c = GetParam();
    ThreadRandom low = pinned(0);
    const RetryPlan plan(c.policy);
    EXPECT_EQ(plan.delay_ms(c.attempt, low), c.lowest);
    EXPECT_EQ(low.next_u64(), kMarker);
    ThreadRandom high = pinned(kMaxU64);
    EXPECT_EQ(plan.delay_ms(c.attempt, high), c.highest);
    EXPECT_EQ(high.next_u64(), kMarker);
}

RetryPolicy with(std::uint64_t base, std::uint64_t max, double jitter) {
    return RetryPolicy{.max_retries = 2, .base_delay_ms = base, .max_delay_ms = max,
                       .jitter_factor = jitter};
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Policies, RetryDelayTest,
    testing::Values(
        DelayCase{RetryPolicy{}, 0, 250, 750}, DelayCase{RetryPolicy{}, 1, 500, 1500},
        DelayCase{RetryPolicy{}, 4, 4000, 12000}, DelayCase{RetryPolicy{}, 5, 5000, 15000},
        DelayCase{RetryPolicy{}, 4000000000u, 5000, 15000},
        // No jitter: the capped back-off itself, still one output consumed.
        DelayCase{with(500, 10000, 0), 3, 4000, 4000},
        DelayCase{with(1, kMaxU64, 0), 20, 1048576, 1048576},
        DelayCase{with(1, kMaxU64, 0), 4000000000u, 1048576, 1048576},
        DelayCase{with(1ULL << 60, 777, 0), 10, 777, 777},       // product overflows
        DelayCase{with(1ULL << 43, kMaxU64, 0), 20, 1ULL << 63, 1ULL << 63},
        DelayCase{with(1ULL << 44, kMaxU64, 0), 20, kMaxU64, kMaxU64},  // 2^64 saturates
        DelayCase{with(0, 10000, 0.5), 7, 0, 0},
        DelayCase{with(800, 300, 0), 0, 300, 300},               // cap below base
        DelayCase{with(500, 10000, 3.0), 0, 0, 1000},            // clamped to 1
        DelayCase{with(500, 10000, kInf), 0, 0, 1000},
        DelayCase{with(500, 10000, -1.0), 0, 500, 500},          // clamped to 0
        DelayCase{with(kMaxU64, kMaxU64, 1.0), 0, 0, kMaxU64}));

TEST(RetryPolicyTest, NaNJitterIsAnEmptyRangeAndDrawsNothing) {
    const RetryPlan plan(with(500, 10000, std::nan("")));
    ThreadRandom rng = pinned(kMarker);
    try {
        (void)plan.delay_ms(0, rng);
        FAIL() << "no fault";
    } catch (const InternalFault& fault) {
        EXPECT_STREQ(fault.what(), "cannot sample empty range");
    }
    EXPECT_EQ(rng.next_u64(), kMarker);
}

TEST(RetryPolicyTest, ShouldRetryBelowMaxRetries) {
    RetryPolicy policy;
    EXPECT_TRUE(policy.should_retry(0));
    EXPECT_TRUE(policy.should_retry(1));
    EXPECT_FALSE(policy.should_retry(2));
    EXPECT_FALSE(policy.should_retry(4294967295u));
    policy.max_retries = 0;
    EXPECT_FALSE(policy.should_retry(0));
}

struct Rounding {
    double value;
    std::uint64_t expected;
};

class RoundToU64Test : public testing::TestWithParam<Rounding> {};

TEST_P(RoundToU64Test, HalfAwayFromZeroAndSaturating) {
    EXPECT_EQ(round_to_u64(GetParam().value), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, RoundToU64Test,
    testing::Values(Rounding{0.5, 1}, Rounding{1.5, 2}, Rounding{2.5, 3}, Rounding{2.4999, 2},
                    Rounding{-0.4, 0}, Rounding{-0.5, 0}, Rounding{-7.0, 0}, Rounding{-kInf, 0},
                    Rounding{std::nan(""), 0}, Rounding{0.49999999999999994, 0},
                    Rounding{0x1.fffffffffffffp51, 0x10000000000000ULL},  // 2^52 - 0.5
                    Rounding{0x1.0000000000001p52, 0x10000000000001ULL},
                    Rounding{0x1.fffffffffffffp62, 0x7ffffffffffffc00ULL},
                    Rounding{0x1.fffffffffffffp63, 0xfffffffffffff800ULL},
                    Rounding{0x1.0p64, kMaxU64}, Rounding{1e300, kMaxU64},
                    Rounding{kInf, kMaxU64}));

// Against std::round over random doubles of every magnitude up to 2^65.
TEST(RoundToU64Test, AgreesWithRoundOnRandomDoubles) {
    std::mt19937_64 bits(0x0dd5'eed5);
    for (int i = 0; i < 200000; ++i) {
        const int exponent = static_cast<int>(bits() % 70) - 4;  // 2^-4 .. 2^65
        const double value = std::ldexp(1.0 + static_cast<double>(bits() >> 12) * 0x1.0p-52,
                                        exponent);
        const double rounded = std::round(value);
        const std::uint64_t expected =
            rounded >= 0x1.0p64 ? kMaxU64 : static_cast<std::uint64_t>(rounded);
        ASSERT_EQ(round_to_u64(value), expected) << std::hexfloat << value;
        const double half = std::floor(value) + 0.5;  // exact ties, where it matters most
        if (half < 0x1.0p52) {
            ASSERT_EQ(round_to_u64(half), static_cast<std::uint64_t>(std::round(half)))
                << std::hexfloat << half;
        }
    }
}

}  // namespace
}  // namespace velmorquist
