#include "core/policy/rate_limiter.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "tests/core/manual_clock.hpp"

namespace velmorquist {
namespace {

using test_support::ManualClock;
using test_support::make_manual_clock;

constexpr double kMaxRate = std::numeric_limits<double>::max();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Bucket {
    std::shared_ptr<ManualClock> clock = make_manual_clock();
    TokenBucketCore core;

    explicit Bucket(RateLimitConfig config) : core(config, clock) {}
};

RateLimited refusal(const std::expected<void, ProxyError>& result) {
    EXPECT_FALSE(result.has_value());
    if (result) return {};
    return std::get<RateLimited>(result.error().variant());
}

// ---- capacity and rate ---------------------------------------------------------

struct RateCase {
    RateLimitConfig config;
    std::uint64_t capacity;
    double rate;  // NaN means "expect NaN"
};

class RateTest : public ::testing::TestWithParam<RateCase> {};

TEST_P(RateTest, CapacityAndRateFollowTheConfig) {
    const RateCase& c = GetParam();
    Bucket bucket(c.config);
    EXPECT_EQ(bucket.core.capacity(), c.capacity);
    if (std::isnan(c.rate))
        EXPECT_TRUE(std::isnan(bucket.core.refill_rate()));
    else
        EXPECT_EQ(bucket.core.refill_rate(), c.rate);
    EXPECT_EQ(bucket.core.available_tokens(), static_cast<double>(c.capacity));
}

INSTANTIATE_TEST_SUITE_P(
    Configs, RateTest,
    ::testing::Values(RateCase{{60, 60.0, std::nullopt}, 60, 1.0},
                      RateCase{{10, 1.0, 20}, 20, 10.0},
                      RateCase{{500, 60.0, 600}, 600, 500.0 / 60.0},
                      RateCase{{100, 60.0, 5}, 5, 100.0 / 60.0},  // burst below max_calls
                      RateCase{{3, 0.0, std::nullopt}, 3, kMaxRate},
                      RateCase{{3, -0.0, std::nullopt}, 3, kMaxRate},
                      RateCase{{3, -5.0, std::nullopt}, 3, kMaxRate},
                      RateCase{{3, kNaN, std::nullopt}, 3, kNaN},
                      RateCase{{3, kInf, std::nullopt}, 3, 0.0},
                      RateCase{{0, 60.0, std::nullopt}, 0, 0.0}));

// ---- refill ----------------------------------------------------------------------

TEST(TokenBucket, RefillsContinuouslyAndFractionally) {
    Bucket bucket({1, 1.0, std::nullopt});
    ASSERT_TRUE(bucket.core.try_acquire(1));
    EXPECT_EQ(bucket.core.available_tokens(), 0.0);

    bucket.clock->advance(0.25);
    EXPECT_EQ(bucket.core.available_tokens(), 0.25);
    EXPECT_FALSE(bucket.core.try_acquire(1));

    bucket.clock->advance(0.75);
    EXPECT_TRUE(bucket.core.try_acquire(1));

    bucket.clock->advance(100.0);  // never above capacity
    EXPECT_EQ(bucket.core.available_tokens(), 1.0);
}

TEST(TokenBucket, BurstOfTwentyRefillingTenPerSecond) {
    Bucket bucket({10, 1.0, 20});
    bucket.clock->advance(0.001);
    ASSERT_TRUE(bucket.core.try_acquire(20));
    bucket.clock->advance(0.002);
    RateLimited refused = refusal(bucket.core.try_acquire(1));
    EXPECT_NEAR(refused.available, 0.02, 1e-12);
    EXPECT_EQ(refused.requested, 1u);
    bucket.clock->advance(0.1);
    EXPECT_TRUE(bucket.core.try_acquire(1));
}

TEST(TokenBucket, RefusalKeepsTheRefilledLevel) {
    Bucket bucket({2, 2.0, std::nullopt});  // one token per second
    ASSERT_TRUE(bucket.core.try_acquire(2));
    bucket.clock->advance(1.5);
    RateLimited refused = refusal(bucket.core.try_acquire(2));
    EXPECT_EQ(refused.available, 1.5);
    EXPECT_EQ(refused.requested, 2u);
    EXPECT_EQ(bucket.core.available_tokens(), 1.5);  // refilled, nothing deducted
    EXPECT_TRUE(bucket.core.try_acquire(1));
    EXPECT_EQ(bucket.core.available_tokens(), 0.5);
}

class UnboundedWindowTest : public ::testing::TestWithParam<double> {};

TEST_P(UnboundedWindowTest, AnyElapsedTimeRefillsToCapacity) {
    Bucket bucket({3, GetParam(), std::nullopt});
    ASSERT_TRUE(bucket.core.try_acquire(3));
    // Same instant: nothing has refilled yet.
    EXPECT_EQ(refusal(bucket.core.try_acquire(1)).available, 0.0);
    bucket.clock->advance(1e-9);
    EXPECT_EQ(bucket.core.available_tokens(), 3.0);
    EXPECT_FALSE(bucket.core.try_acquire(4));
    EXPECT_TRUE(bucket.core.try_acquire(3));
}

INSTANTIATE_TEST_SUITE_P(Windows, UnboundedWindowTest, ::testing::Values(0.0, -5.0, kNaN, -kInf));

TEST(TokenBucket, ZeroMaxCallsNeverRefills) {
    Bucket bucket({0, 60.0, 5});
    ASSERT_TRUE(bucket.core.try_acquire(5));
    bucket.clock->advance(1e9);
    EXPECT_EQ(bucket.core.available_tokens(), 0.0);
    EXPECT_FALSE(bucket.core.try_acquire(1));
}

TEST(TokenBucket, ClockGoingBackwardsChangesNothing) {
    auto clock = make_manual_clock(10.0);
    TokenBucketCore core({1, 1.0, std::nullopt}, clock);
    ASSERT_TRUE(core.try_acquire(1));
    clock->set(5.0);
    EXPECT_EQ(core.available_tokens(), 0.0);
    // Time is still measured from the last refill, not from the backwards reading.
    clock->set(10.5);
    EXPECT_EQ(core.available_tokens(), 0.5);
}

// ---- acquiring -------------------------------------------------------------------

TEST(TokenBucket, AcquiringZeroAlwaysSucceeds) {
    for (RateLimitConfig config : {RateLimitConfig{0, 1.0, std::nullopt},
                                   RateLimitConfig{5, 1.0, 0}, RateLimitConfig{1, 0.0, 1}}) {
        Bucket bucket(config);
        (void)bucket.core.try_acquire(bucket.core.capacity());
        EXPECT_TRUE(bucket.core.try_acquire(0));
    }
}

TEST(TokenBucket, CapacityZeroRefusesEveryToken) {
    Bucket bucket({100, 1.0, 0});
    bucket.clock->advance(1000.0);
    RateLimited refused = refusal(bucket.core.try_acquire(1));
    EXPECT_EQ(refused.available, 0.0);
}

struct AboveCapacityCase {
    std::uint64_t capacity;
    std::uint64_t requested;
};

class AboveCapacityTest : public ::testing::TestWithParam<AboveCapacityCase> {};

TEST_P(AboveCapacityTest, IsAlwaysRefused) {
    const AboveCapacityCase& c = GetParam();
    Bucket bucket({c.capacity, 0.0, std::nullopt});
    bucket.clock->advance(1.0);
    RateLimited refused = refusal(bucket.core.try_acquire(c.requested));
    EXPECT_EQ(refused.requested, c.requested);
    EXPECT_EQ(bucket.core.available_tokens(), static_cast<double>(c.capacity));
}

// The large cases sit where a request rounded to a double would equal the level.
INSTANTIATE_TEST_SUITE_P(
    Requests, AboveCapacityTest,
    ::testing::Values(AboveCapacityCase{5, 6}, AboveCapacityCase{0, 1},
                      AboveCapacityCase{1ULL << 53, (1ULL << 53) + 1},
                      AboveCapacityCase{(1ULL << 63), (1ULL << 63) + 1},
                      AboveCapacityCase{UINT64_MAX - 1, UINT64_MAX}));

struct CoverCase {
    std::uint64_t capacity;  // of a bucket that never refills
    std::uint64_t level;     // whole tokens left after a first acquisition
    std::uint64_t requested;
    bool granted;
};

class LevelCoverTest : public ::testing::TestWithParam<CoverCase> {};

// Around 2^53, where requests stop being exact doubles.
TEST_P(LevelCoverTest, GrantsExactlyWhenTheLevelCoversTheRequest) {
    const CoverCase& c = GetParam();
    Bucket bucket({0, 1.0, c.capacity});
    ASSERT_TRUE(bucket.core.try_acquire(c.capacity - c.level));
    ASSERT_EQ(bucket.core.available_tokens(), static_cast<double>(c.level));
    EXPECT_EQ(bucket.core.try_acquire(c.requested).has_value(), c.granted);
}

constexpr std::uint64_t k2to53 = 1ULL << 53;

INSTANTIATE_TEST_SUITE_P(
    Boundary, LevelCoverTest,
    ::testing::Values(CoverCase{k2to53, k2to53, k2to53, true},
                      CoverCase{k2to53, k2to53 - 1, k2to53, false},
                      CoverCase{2 * k2to53, k2to53, k2to53 + 1, false},
                      CoverCase{2 * k2to53, k2to53 + 2, k2to53 + 1, true},
                      CoverCase{4 * k2to53, 2 * k2to53, 2 * k2to53 + 1, false},
                      CoverCase{4 * k2to53, 2 * k2to53, 2 * k2to53 - 1, true}));

TEST(TokenBucket, FullBucketOfMaximalCapacityAdmitsTheMaximalRequest) {
    Bucket bucket({UINT64_MAX, 1.0, std::nullopt});
    EXPECT_TRUE(bucket.core.try_acquire(UINT64_MAX));
    EXPECT_GE(bucket.core.available_tokens(), 0.0);
}

// Seeded random walks over acquire and advance: the level stays in
// [0, capacity], a request succeeds exactly when the level covers it, and the
// total admitted never exceeds the start level plus what time refilled.
TEST(TokenBucket, RandomWalkKeepsTheLevelInBounds) {
    std::mt19937_64 rng(0x5eed'1234'abcdULL);
    auto unit = [&] { return static_cast<double>(rng() >> 11) * 0x1.0p-53; };
    for (int walk = 0; walk < 50; ++walk) {
        const std::uint64_t max_calls = rng() % 50;
        const double window = 0.1 + unit() * 10.0;
        const std::uint64_t capacity = rng() % 60;
        Bucket bucket({max_calls, window, capacity});
        const double rate = bucket.core.refill_rate();
        double elapsed = 0.0;
        double admitted = 0.0;
        for (int step = 0; step < 400; ++step) {
            if (rng() % 3 == 0) {
                double dt = unit() * 0.5;
                bucket.clock->advance(dt);
                elapsed += dt;
                continue;
            }
            const std::uint64_t n = rng() % (capacity + 3);
            const double before = bucket.core.available_tokens();
            const bool ok = bucket.core.try_acquire(n).has_value();
            EXPECT_EQ(ok, before >= static_cast<double>(n));
            const double after = bucket.core.available_tokens();
            EXPECT_EQ(after, ok ? before - static_cast<double>(n) : before);
            EXPECT_GE(after, 0.0);
            EXPECT_LE(after, static_cast<double>(capacity));
            if (ok) admitted += static_cast<double>(n);
        }
        EXPECT_LE(admitted, static_cast<double>(capacity) + rate * elapsed + 1e-6);
    }
}

// ---- threads ---------------------------------------------------------------------

// Runs `threads` workers that each try `attempts` single-token acquisitions;
// returns the number admitted. Worker 0 alone calls `between` after each try,
// so a clock it advances only ever moves forward.
std::uint64_t acquire_from_threads(TokenBucketCore& core, int threads, int attempts,
                                   const std::function<void()>& between = {}) {
    std::atomic<std::uint64_t> admitted{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < attempts; ++i) {
                if (core.try_acquire(1)) admitted.fetch_add(1);
                if (t == 0 && between) between();
            }
        });
    }
    go.store(true);
    for (std::thread& worker : workers) worker.join();
    return admitted.load();
}

TEST(TokenBucketThreads, FrozenClockAdmitsExactlyTheCapacity) {
    Bucket bucket({1000, 1.0, std::nullopt});
    EXPECT_EQ(acquire_from_threads(bucket.core, 4, 2000), 1000u);
    EXPECT_EQ(bucket.core.available_tokens(), 0.0);
}

TEST(TokenBucketThreads, AdmittedNeverExceedsCapacityPlusRefill) {
    Bucket bucket({1000, 1.0, 50});  // 1000 tokens per second, 50 to start with
    int ticks = 0;
    // One worker nudges the clock now and then, so refills race with the others' acquisitions.
    auto between = [&] {
        if (++ticks % 4 == 0) bucket.clock->advance(0.001);
    };
    std::uint64_t admitted = acquire_from_threads(bucket.core, 4, 5000, between);
    const double refilled = bucket.core.refill_rate() * bucket.clock->now();
    EXPECT_LE(static_cast<double>(admitted), 50.0 + refilled + 1e-6);
    EXPECT_GT(admitted, 50u);
}

// ---- presets ---------------------------------------------------------------------

struct PresetCase {
    const char* provider;
    std::uint64_t max_calls;
    std::uint64_t burst_size;
};

class PresetTest : public ::testing::TestWithParam<PresetCase> {};

TEST_P(PresetTest, KnownProvidersHaveTheirLimits) {
    const PresetCase& c = GetParam();
    std::optional<RateLimitConfig> preset = provider_preset(c.provider);
    ASSERT_TRUE(preset.has_value());
    EXPECT_EQ(preset->max_calls, c.max_calls);
    EXPECT_EQ(preset->time_window_secs, 60.0);
    EXPECT_EQ(preset->burst_size, c.burst_size);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PresetTest,
    ::testing::Values(PresetCase{"anthropic", 400, 500}, PresetCase{"azure_openai", 600, 700},
                      PresetCase{"bedrock", 300, 400}, PresetCase{"cerebras", 30, 40},
                      PresetCase{"cohere", 100, 120}, PresetCase{"deepseek", 60, 80},
                      PresetCase{"fireworks", 600, 700}, PresetCase{"google", 360, 400},
                      PresetCase{"groq", 30, 40}, PresetCase{"mistral", 120, 150},
                      PresetCase{"ollama", 1000, 1200}, PresetCase{"openai", 500, 600},
                      PresetCase{"openrouter", 200, 250}, PresetCase{"together", 600, 700},
                      PresetCase{"xai", 60, 80}));

TEST(Presets, OnlyExactNamesMatch) {
    using namespace std::string_view_literals;
    for (std::string_view name : {"OpenAI"sv, " openai"sv, "openai "sv, ""sv, "azure"sv,
                                  "openai\0"sv, "groqq"sv}) {
        EXPECT_FALSE(provider_preset(name).has_value()) << name;
    }
}

}  // namespace
}  // namespace velmorquist
