#include "core/policy/key_record.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace velmorquist {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct HealthCase {
    const char* name;
    std::vector<double> latencies;  // one success each
    std::uint64_t errors;
    std::uint64_t rate_limits;
    double expected;
};

class HealthScore : public ::testing::TestWithParam<HealthCase> {};

TEST_P(HealthScore, MatchesTheWeightedFormula) {
    const HealthCase& c = GetParam();
    KeyRecord record("key", 1.0, std::nullopt);
    for (double latency : c.latencies) record.latencies.push(latency);
    record.total_requests = c.latencies.size() + c.errors + c.rate_limits;
    record.total_errors = c.errors;
    record.total_rate_limits = c.rate_limits;
    EXPECT_NEAR(health_score(record, HealthWeights{}), c.expected, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, HealthScore,
    ::testing::Values(HealthCase{"Fresh", {}, 0, 0, 0.4},
                      HealthCase{"ThreeSuccessesOneError", {100, 200, 300}, 1, 0, 0.221},
                      HealthCase{"RateLimitCountsAsSuccess", {100}, 0, 1, 0.298},
                      HealthCase{"AllErrorsClampAtZero", {}, 10, 0, 0.0},
                      HealthCase{"SlowLatencyCapsAtOne", {6000, 6000, 6000}, 0, 0, 0.3},
                      HealthCase{"UndefinedAverageCountsAsSlowest", {kNaN}, 0, 0, 0.3},
                      HealthCase{"NegativeLatencyClampsAtOne", {-1e9}, 0, 0, 1.0}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(LatencyRing, KeepsTheLatestHundredOldestFirst) {
    LatencyRing ring;
    EXPECT_EQ(ring.mean(), 0.0);
    for (int i = 1; i <= 101; ++i) ring.push(i);
    ASSERT_EQ(ring.size(), 100U);
    EXPECT_EQ(ring[0], 2.0);
    EXPECT_EQ(ring[99], 101.0);
    EXPECT_DOUBLE_EQ(ring.mean(), 51.5);

    LatencyRing copy = ring;  // a deep copy: the original moves on alone
    ring.push(1000.0);
    EXPECT_EQ(copy[0], 2.0);
    EXPECT_EQ(ring[0], 3.0);
    EXPECT_DOUBLE_EQ(ring.mean(), 61.48);
    EXPECT_DOUBLE_EQ(copy.mean(), 51.5);
}

TEST(KeyStatus, Texts) {
    EXPECT_EQ(status_text(KeyStatus::Active), "active");
    EXPECT_EQ(status_text(KeyStatus::RateLimited), "rate_limited");
    EXPECT_EQ(status_text(KeyStatus::CoolingDown), "cooling_down");
    EXPECT_EQ(status_text(KeyStatus::Disabled), "disabled");
    EXPECT_EQ(status_text(KeyStatus::Exhausted), "exhausted");
}

class Masking : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(Masking, ShowsFourBytesAtEachEndOnCharacterBoundaries) {
    EXPECT_EQ(key_masked(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, Masking,
    ::testing::Values(std::pair{std::string(""), std::string("***")}, std::pair{"a", "***"},
                      std::pair{"abcdefgh", "***"}, std::pair{"abcdefghi", "abcd...fghi"},
                      std::pair{"abcdefghijklmnop", "abcd...mnop"},
                      // Two-byte characters: the cuts fall on boundaries.
                      std::pair{"\u00e9\u00e9\u00e9\u00e9\u00e9", "\u00e9\u00e9...\u00e9\u00e9"},
                      // 'a' then four e-acutes: the head cut moves back one byte.
                      std::pair{"a\u00e9\u00e9\u00e9\u00e9", "a\u00e9...\u00e9\u00e9"},
                      // An emoji straddling either cut is left out entirely.
                      std::pair{"a\U0001F600bcdefgh", "a...efgh"},
                      std::pair{"abcdefg\U0001F600z", "abcd...z"},
                      std::pair{"\U0001F600\U0001F600\U0001F600", "\U0001F600...\U0001F600"}));

}  // namespace
}  // namespace velmorquist
