#include "core/policy/circuit_breaker.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <thread>
#include <vector>

#include "tests/core/manual_clock.hpp"

namespace velmorquist {
namespace {

using test_support::ManualClock;
using test_support::make_manual_clock;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

class BreakerTest : public ::testing::Test {
protected:
    std::shared_ptr<ManualClock> clock = make_manual_clock(100.0);

    BreakerCore make(std::uint32_t failures = 5, double recovery = 60.0, std::uint32_t successes = 2) {
        return BreakerCore(CircuitBreakerConfig{"openai", failures, recovery, successes}, clock);
    }

    static void fail(BreakerCore& breaker, int times) {
        for (int i = 0; i < times; ++i) breaker.record_failure();
    }

    static std::string refusal(BreakerCore& breaker) {
        auto allowed = breaker.allow_request();
        return allowed ? std::string("allowed") : allowed.error().message();
    }
};

TEST_F(BreakerTest, OpensOnTheThresholdthFailureAndRefusesWithTheCount) {
    BreakerCore breaker = make();
    fail(breaker, 4);
    EXPECT_EQ(breaker.state(), CircuitState::Closed);
    EXPECT_TRUE(breaker.allow_request());
    breaker.record_failure();
    EXPECT_EQ(breaker.state(), CircuitState::Open);
    EXPECT_EQ(refusal(breaker), "circuit open for provider `openai`: tripped at 5 failures");
}

TEST_F(BreakerTest, SuccessWhileClosedRestartsTheRun) {
    BreakerCore breaker = make();
    fail(breaker, 2);
    breaker.record_success();
    fail(breaker, 4);
    EXPECT_EQ(breaker.state(), CircuitState::Closed);
}

TEST_F(BreakerTest, HalfOpensAtExactlyTheRecoveryTimeAndClosesAfterTrialSuccesses) {
    BreakerCore breaker = make();
    fail(breaker, 5);
    clock->advance(59.999);
    EXPECT_EQ(breaker.state(), CircuitState::Open);
    clock->advance(0.001);
    EXPECT_EQ(breaker.state(), CircuitState::HalfOpen);
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(breaker.allow_request());
    breaker.record_success();
    EXPECT_EQ(breaker.state(), CircuitState::HalfOpen);
    breaker.record_success();
    EXPECT_EQ(breaker.state(), CircuitState::Closed);
    fail(breaker, 4);  // counters were cleared on closing
    EXPECT_EQ(breaker.state(), CircuitState::Closed);
}

TEST_F(BreakerTest, TrialFailureReopensFromNowAndKeepsTheTrippingCount) {
    BreakerCore breaker = make();
    fail(breaker, 5);
    clock->advance(60);
    ASSERT_EQ(breaker.state(), CircuitState::HalfOpen);
    breaker.record_success();
    clock->advance(10);
    breaker.record_failure();
    EXPECT_EQ(refusal(breaker), "circuit open for provider `openai`: tripped at 5 failures");
    clock->advance(59);
    EXPECT_EQ(breaker.state(), CircuitState::Open);
    clock->advance(1);
    EXPECT_EQ(breaker.state(), CircuitState::HalfOpen);
    // The success recorded in the previous trial period does not carry over.
    breaker.record_success();
    EXPECT_EQ(breaker.state(), CircuitState::HalfOpen);
}

TEST_F(BreakerTest, FailuresWhileOpenDoNotProlongTheOpenPeriod) {
    BreakerCore breaker = make();
    fail(breaker, 5);
    clock->advance(30);
    fail(breaker, 3);
    clock->advance(30);
    EXPECT_EQ(breaker.state(), CircuitState::HalfOpen);
    EXPECT_EQ(breaker.allow_request().has_value(), true);
}

TEST_F(BreakerTest, OutcomesAfterTheDeadlineCountAsOpenUntilSomeoneAsks) {
    BreakerCore breaker = make();
    fail(breaker, 5);
    clock->advance(61);
    breaker.record_success();  // still Open internally: no effect
    breaker.record_failure();  // likewise, and opened_at stays put
    EXPECT_TRUE(breaker.allow_request());
    EXPECT_EQ(breaker.state(), CircuitState::HalfOpen);
}

TEST_F(BreakerTest, ResetClosesFromAnyStateAndClearsCounters) {
    BreakerCore breaker = make();
    fail(breaker, 5);
    breaker.reset();
    EXPECT_EQ(breaker.state(), CircuitState::Closed);
    fail(breaker, 4);
    EXPECT_EQ(breaker.state(), CircuitState::Closed);
    breaker.record_failure();
    EXPECT_EQ(refusal(breaker), "circuit open for provider `openai`: tripped at 5 failures");
}

struct ThresholdCase {
    std::uint32_t failure_threshold;
    std::uint32_t success_threshold;
    int failures_to_open;
    int successes_to_close;
};

class ThresholdTest : public BreakerTest, public ::testing::WithParamInterface<ThresholdCase> {};

TEST_P(ThresholdTest, ZeroAndOneActOnTheFirstEvent) {
    const ThresholdCase& param = GetParam();
    BreakerCore breaker = make(param.failure_threshold, 0.0, param.success_threshold);
    fail(breaker, param.failures_to_open - 1);
    EXPECT_EQ(breaker.state(), CircuitState::Closed);
    breaker.record_failure();
    // A zero recovery time half-opens on the first check.
    EXPECT_EQ(breaker.state(), CircuitState::HalfOpen);
    for (int i = 1; i < param.successes_to_close; ++i) breaker.record_success();
    EXPECT_EQ(breaker.state(), CircuitState::HalfOpen);
    breaker.record_success();
    EXPECT_EQ(breaker.state(), CircuitState::Closed);
}

INSTANTIATE_TEST_SUITE_P(Thresholds, ThresholdTest,
                         ::testing::Values(ThresholdCase{0, 0, 1, 1}, ThresholdCase{1, 1, 1, 1},
                                           ThresholdCase{3, 1, 3, 1}, ThresholdCase{2, 3, 2, 3}));

class RecoveryTimeTest : public BreakerTest, public ::testing::WithParamInterface<double> {};

TEST_P(RecoveryTimeTest, NeverHalfOpensOnItsOwnButResetCloses) {
    BreakerCore breaker = make(1, GetParam(), 1);
    breaker.record_failure();
    clock->advance(1e300);
    EXPECT_EQ(breaker.state(), CircuitState::Open);
    EXPECT_FALSE(breaker.allow_request());
    breaker.reset();
    EXPECT_EQ(breaker.state(), CircuitState::Closed);
}

INSTANTIATE_TEST_SUITE_P(NotANumberOrInfinite, RecoveryTimeTest, ::testing::Values(kNaN, kInf));

TEST_F(BreakerTest, NegativeRecoveryTimeHalfOpensOnTheFirstCheck) {
    BreakerCore breaker = make(1, -5.0, 1);
    breaker.record_failure();
    EXPECT_TRUE(breaker.allow_request());
    EXPECT_EQ(breaker.state(), CircuitState::HalfOpen);
}

TEST_F(BreakerTest, StateTexts) {
    EXPECT_EQ(state_text(CircuitState::Closed), "closed");
    EXPECT_EQ(state_text(CircuitState::Open), "open");
    EXPECT_EQ(state_text(CircuitState::HalfOpen), "half_open");
}

TEST(BreakerConcurrencyTest, ConcurrentCallersLeaveAConsistentState) {
    auto clock = make_manual_clock();
    BreakerCore breaker(CircuitBreakerConfig{"p", 3, 0.0, 2}, clock);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < 20000; ++i) {
                if ((i + t) % 3 == 0) breaker.record_failure();
                else breaker.record_success();
                (void)breaker.allow_request();
                clock->advance(0.001);
            }
        });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    breaker.reset();
    EXPECT_EQ(breaker.state(), CircuitState::Closed);
}

struct DefaultsCase {
    const char* provider;
    std::uint32_t failure_threshold;
    double recovery_timeout_secs;
    std::uint32_t success_threshold;
};

class ProviderDefaultsTest : public ::testing::TestWithParam<DefaultsCase> {};

TEST_P(ProviderDefaultsTest, KnownProvidersHaveTheirRow) {
    const DefaultsCase& row = GetParam();
    auto config = provider_defaults(row.provider);
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(config->provider, row.provider);
    EXPECT_EQ(config->failure_threshold, row.failure_threshold);
    EXPECT_EQ(config->recovery_timeout_secs, row.recovery_timeout_secs);
    EXPECT_EQ(config->success_threshold, row.success_threshold);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProviderDefaultsTest,
    ::testing::Values(DefaultsCase{"openai", 5, 60.0, 2}, DefaultsCase{"anthropic", 5, 60.0, 2},
                      DefaultsCase{"google", 5, 60.0, 2}, DefaultsCase{"mistral", 5, 60.0, 2},
                      DefaultsCase{"cohere", 5, 60.0, 2}, DefaultsCase{"deepseek", 5, 60.0, 2},
                      DefaultsCase{"xai", 5, 60.0, 2}, DefaultsCase{"groq", 3, 30.0, 1},
                      DefaultsCase{"cerebras", 3, 30.0, 1}, DefaultsCase{"together", 5, 45.0, 2},
                      DefaultsCase{"fireworks", 5, 45.0, 2},
                      DefaultsCase{"openrouter", 5, 45.0, 2},
                      DefaultsCase{"azure_openai", 5, 45.0, 2},
                      DefaultsCase{"bedrock", 5, 45.0, 2}, DefaultsCase{"ollama", 10, 15.0, 1}));

TEST(ProviderDefaultsTest, MatchesBytesExactly) {
    for (std::string_view name : {"Groq", "", "default", "openai ", "azure-openai", "OPENAI"}) {
        EXPECT_FALSE(provider_defaults(name).has_value()) << name;
    }
    EXPECT_FALSE(provider_defaults(std::string_view("groq\0", 5)).has_value());
}

}  // namespace
}  // namespace velmorquist
