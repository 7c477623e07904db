#include "core/policy/key_pool.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/core/manual_clock.hpp"

namespace velmorquist {
namespace {

using test_support::ManualClock;
using test_support::make_manual_clock;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr ChaChaKey kSeed{1, 2, 3, 4, 5, 6, 7, 8};

class PoolTest : public ::testing::Test {
protected:
    std::shared_ptr<ManualClock> clock = make_manual_clock(10.0);
    ThreadRandom rng{kSeed};

    std::vector<std::unique_ptr<KeyPoolCore>> pools;

    KeyPoolCore& make(Strategy strategy,
                      std::initializer_list<const char*> keys = {"A", "B", "C"}) {
        KeyPoolCore& pool = *pools.emplace_back(std::make_unique<KeyPoolCore>(strategy, clock));
        for (const char* key : keys) pool.add_key(key);
        return pool;
    }

    std::string select(KeyPoolCore& pool) {
        auto key = pool.select_key(rng);
        return key ? *key : "error: " + key.error().message();
    }

    std::vector<std::string> select_n(KeyPoolCore& pool, int n) {
        std::vector<std::string> keys;
        for (int i = 0; i < n; ++i) keys.push_back(select(pool));
        return keys;
    }

};

using Strings = std::vector<std::string>;

// ---- record events --------------------------------------------------------------

struct EventCase {
    const char* name;
    std::function<void(KeyPoolCore&)> event;
    std::uint64_t requests, errors, rate_limits, daily;
    std::size_t samples;
    KeyStatus status;
    double cooldown_until;
};

class PoolEvent : public PoolTest, public ::testing::WithParamInterface<EventCase> {};

TEST_P(PoolEvent, MovesExactlyItsCounters) {
    const EventCase& c = GetParam();
    KeyPoolCore& pool = make(Strategy::LeastUsed, {"K"});
    pool.record_rate_limit("K", 5.0);  // status RateLimited, cooldown_until 15
    pool.enable_key("K");              // back to Active, cooldown 0
    const KeyRecord before = *pool.record("K");
    c.event(pool);
    const KeyRecord after = *pool.record("K");
    EXPECT_EQ(after.total_requests - before.total_requests, c.requests);
    EXPECT_EQ(after.total_errors - before.total_errors, c.errors);
    EXPECT_EQ(after.total_rate_limits - before.total_rate_limits, c.rate_limits);
    EXPECT_EQ(after.daily_count - before.daily_count, c.daily);
    EXPECT_EQ(after.latencies.size(), c.samples);
    EXPECT_EQ(after.status, c.status);
    EXPECT_EQ(after.cooldown_until, c.cooldown_until);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PoolEvent,
    ::testing::Values(
        EventCase{"Success", [](KeyPoolCore& p) { p.record_success("K", 12.5); }, 1, 0, 0, 1, 1,
                  KeyStatus::Active, 0.0},
        EventCase{"Error", [](KeyPoolCore& p) { p.record_error("K"); }, 1, 1, 0, 0, 0,
                  KeyStatus::Active, 0.0},
        EventCase{"RateLimit", [](KeyPoolCore& p) { p.record_rate_limit("K", 2.5); }, 1, 0, 1, 0,
                  0, KeyStatus::RateLimited, 12.5},
        EventCase{"Exhausted", [](KeyPoolCore& p) { p.record_exhausted("K"); }, 0, 0, 0, 0, 0,
                  KeyStatus::Exhausted, 0.0},
        EventCase{"Disable", [](KeyPoolCore& p) { p.disable_key("K"); }, 0, 0, 0, 0, 0,
                  KeyStatus::Disabled, 0.0}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(PoolTest, SelectionCountsOnlyForRoundRobinAndAdaptive) {
    for (Strategy strategy : {Strategy::RoundRobin, Strategy::LeastUsed, Strategy::Random,
                              Strategy::Weighted, Strategy::Adaptive}) {
        KeyPoolCore& pool = make(strategy, {"K"});
        ASSERT_EQ(select(pool), "K");
        const bool counts = strategy == Strategy::RoundRobin || strategy == Strategy::Adaptive;
        EXPECT_EQ(pool.record("K")->total_requests, counts ? 1U : 0U) << strategy_text(strategy);
        EXPECT_EQ(pool.record("K")->daily_count, counts ? 1U : 0U) << strategy_text(strategy);
    }
}

TEST_F(PoolTest, StatusEventsOverrideWhateverCameBefore) {
    KeyPoolCore& pool = make(Strategy::RoundRobin, {"K"});
    pool.disable_key("K");
    pool.record_rate_limit("K", 1.0);
    EXPECT_EQ(pool.record("K")->status, KeyStatus::RateLimited);
    clock->advance(1.0);
    EXPECT_EQ(select(pool), "K");  // the expiry pass, exactly at the deadline
    EXPECT_EQ(pool.record("K")->cooldown_until, 11.0);  // left as it was

    pool.disable_key("K");
    pool.record_exhausted("K");
    EXPECT_EQ(pool.record("K")->status, KeyStatus::Exhausted);
    pool.record_success("K", 1.0);
    pool.reset_daily_counters();
    EXPECT_EQ(pool.record("K")->status, KeyStatus::Active);
    EXPECT_EQ(pool.record("K")->daily_count, 0U);
    EXPECT_EQ(pool.record("K")->total_requests, 3U);  // totals survive the daily reset

    pool.disable_key("K");
    pool.reset_daily_counters();  // only Exhausted comes back
    EXPECT_EQ(pool.record("K")->status, KeyStatus::Disabled);
}

TEST_F(PoolTest, EventsForUnknownKeysChangeNothing) {
    KeyPoolCore& pool = make(Strategy::RoundRobin);
    select_n(pool, 2);
    pool.record_success("a", 1.0);
    pool.record_error("a");
    pool.record_rate_limit("a", 1.0);
    pool.record_exhausted("a");
    pool.disable_key("a");
    pool.enable_key("a");
    EXPECT_FALSE(pool.remove_key("a"));
    EXPECT_FALSE(pool.has_key("a"));
    EXPECT_EQ(pool.cursor(), 2U);
    EXPECT_EQ(select_n(pool, 1), Strings{"C"});
}

TEST_F(PoolTest, ReAddingAKeyResetsItInPlace) {
    KeyPoolCore& pool = make(Strategy::RoundRobin);
    pool.record_error("A");
    pool.record_rate_limit("A", 100.0);
    pool.add_key("A", 2.0, 50);
    ASSERT_EQ(pool.size(), 3U);
    const KeyRecord a = *pool.record("A");
    EXPECT_EQ(a.status, KeyStatus::Active);
    EXPECT_EQ(a.total_requests, 0U);
    EXPECT_EQ(a.total_errors, 0U);
    EXPECT_EQ(a.weight, 2.0);
    EXPECT_EQ(a.daily_limit, 50U);
    EXPECT_EQ(select_n(pool, 3), (Strings{"A", "B", "C"}));
}

// ---- round robin and least used -------------------------------------------------

TEST_F(PoolTest, RoundRobinCyclesAndSkipsUnavailableKeys) {
    KeyPoolCore& pool = make(Strategy::RoundRobin);
    EXPECT_EQ(select_n(pool, 4), (Strings{"A", "B", "C", "A"}));
    EXPECT_EQ(pool.record("A")->total_requests, 2U);

    KeyPoolCore& skipping = make(Strategy::RoundRobin);
    skipping.disable_key("B");
    EXPECT_EQ(select_n(skipping, 4), (Strings{"A", "C", "A", "C"}));
    EXPECT_EQ(skipping.cursor(), 3U);  // p + 1, not reduced
}

TEST_F(PoolTest, RemovingAKeyReducesTheCursor) {
    KeyPoolCore& pool = make(Strategy::RoundRobin);
    EXPECT_EQ(select_n(pool, 2), (Strings{"A", "B"}));
    EXPECT_TRUE(pool.remove_key("A"));
    EXPECT_EQ(pool.cursor(), 0U);  // 2 mod 2
    EXPECT_EQ(select(pool), "B");
    EXPECT_TRUE(pool.remove_key("B"));
    EXPECT_TRUE(pool.remove_key("C"));
    EXPECT_EQ(pool.cursor(), 0U);
}

TEST_F(PoolTest, LeastUsedPrefersTheEarliestOfTheFewest) {
    KeyPoolCore& pool = make(Strategy::LeastUsed);
    EXPECT_EQ(select_n(pool, 3), (Strings{"A", "A", "A"}));
    pool.record_success("A", 1.0);
    EXPECT_EQ(select(pool), "B");
    pool.record_error("B");
    pool.record_error("C");
    pool.record_error("C");
    EXPECT_EQ(select(pool), "A");  // A and B tie at 1
    pool.disable_key("A");
    EXPECT_EQ(select(pool), "B");
}

// ---- random draws -----------------------------------------------------------------

TEST_F(PoolTest, RandomPicksTheDrawnAvailableKeyWithOneDraw) {
    KeyPoolCore& pool = make(Strategy::Random, {"A", "B", "C", "D"});
    pool.disable_key("B");
    const std::string chosen = select(pool);
    ThreadRandom twin(kSeed);
    const Strings available{"A", "C", "D"};
    EXPECT_EQ(chosen, available[uniform_index(twin, 3)]);
    EXPECT_EQ(rng.next_u64(), twin.next_u64());
}

TEST_F(PoolTest, WeightedFollowsTheWeights) {
    KeyPoolCore pool(Strategy::Weighted, clock);
    pool.add_key("light", 1.0);
    pool.add_key("heavy", 3.0);
    constexpr int kDraws = 20000;
    int heavy = 0;
    for (int i = 0; i < kDraws; ++i) heavy += select(pool) == "heavy";
    // Six standard deviations: a correct pool essentially never fails this.
    EXPECT_NEAR(static_cast<double>(heavy) / kDraws, 0.75, 0.019);
}

TEST_F(PoolTest, WeightedWalksThePrefixSumsWithOneUnitDraw) {
    KeyPoolCore pool(Strategy::Weighted, clock);
    pool.add_key("A", 1.0);
    pool.add_key("off", 100.0);
    pool.add_key("B", 2.0);
    pool.disable_key("off");
    const std::string chosen = select(pool);
    ThreadRandom twin(kSeed);
    EXPECT_EQ(chosen, uniform_unit(twin) * 3.0 <= 1.0 ? "A" : "B");
    EXPECT_EQ(rng.next_u64(), twin.next_u64());
}

TEST_F(PoolTest, WeightedFallsBackToOneIndexDrawWithoutPositiveTotal) {
    KeyPoolCore pool(Strategy::Weighted, clock);
    for (const char* key : {"A", "B", "C"}) pool.add_key(key, 0.0);
    const std::string chosen = select(pool);
    ThreadRandom twin(kSeed);
    EXPECT_EQ(chosen, (Strings{"A", "B", "C"}[uniform_index(twin, 3)]));
    EXPECT_EQ(rng.next_u64(), twin.next_u64());
}

TEST_F(PoolTest, WeightedWithAnUndefinedTotalTakesTheLastKey) {
    KeyPoolCore pool(Strategy::Weighted, clock);
    pool.add_key("A", kNaN);
    pool.add_key("B", 1.0);
    pool.add_key("C", 1.0);
    EXPECT_EQ(select_n(pool, 3), (Strings{"C", "C", "C"}));
}

TEST_F(PoolTest, AdaptiveScoresHealthBonusAndLoad) {
    KeyRecord fresh("A", 1.0, std::nullopt);
    EXPECT_DOUBLE_EQ(adaptive_score(fresh, HealthWeights{}, 0.0), 0.6);
    KeyRecord used("B", 1.0, std::nullopt);
    used.total_requests = 1;
    EXPECT_DOUBLE_EQ(adaptive_score(used, HealthWeights{}, 0.5), 0.3);
    KeyRecord broken("C", kNaN, std::nullopt);
    EXPECT_EQ(adaptive_score(broken, HealthWeights{}, 0.0), 0.01);
    broken.weight = -5.0;
    EXPECT_EQ(adaptive_score(broken, HealthWeights{}, 0.0), 0.01);
}

TEST_F(PoolTest, AdaptiveSelectionDrawsOnceAndCounts) {
    KeyPoolCore& pool = make(Strategy::Adaptive, {"A", "B"});
    const std::string first = select(pool);
    ThreadRandom twin(kSeed);
    // Both fresh keys score the same (0.6).
    const double fresh = adaptive_score(KeyRecord("A", 1.0, std::nullopt), HealthWeights{}, 0.0);
    EXPECT_EQ(first, uniform_unit(twin) * (fresh + fresh) - fresh <= 0.0 ? "A" : "B");
    EXPECT_EQ(rng.next_u64(), twin.next_u64());
    EXPECT_EQ(pool.record(first)->total_requests, 1U);

    // The used key now scores 0.3 against 0.6 (mean load 0.5).
    const double a = adaptive_score(*pool.record("A"), HealthWeights{}, 0.5);
    const double b = adaptive_score(*pool.record("B"), HealthWeights{}, 0.5);
    EXPECT_DOUBLE_EQ(std::min(a, b), 0.3);
    EXPECT_DOUBLE_EQ(std::max(a, b), 0.6);
    const std::string second = select(pool);
    EXPECT_EQ(second, uniform_unit(twin) * (a + b) - a <= 0.0 ? "A" : "B");
}

// ---- cool-downs and refusals --------------------------------------------------------

TEST_F(PoolTest, CoolDownExpiresExactlyAtItsDeadline) {
    for (Strategy strategy : {Strategy::RoundRobin, Strategy::LeastUsed, Strategy::Random,
                              Strategy::Weighted, Strategy::Adaptive}) {
        KeyPoolCore& pool = make(strategy, {"A"});
        pool.record_rate_limit("A", 30.0);
        clock->set(39.999);
        EXPECT_EQ(select(pool), "error: no available keys in pool (total: 1, active: 0)");
        clock->set(40.0);
        EXPECT_EQ(select(pool), "A") << strategy_text(strategy);
        clock->set(10.0);
    }
}

TEST_F(PoolTest, PastCoolDownsExpireButUndefinedAndInfiniteOnesNever) {
    KeyPoolCore& pool = make(Strategy::RoundRobin, {"nan", "inf", "neg"});
    pool.record_rate_limit("nan", kNaN);
    pool.record_rate_limit("inf", kInf);
    pool.record_rate_limit("neg", -5.0);  // expires at the very next selection
    EXPECT_EQ(select(pool), "neg");
    pool.disable_key("neg");
    clock->set(1e300);
    EXPECT_EQ(select(pool), "error: no available keys in pool (total: 3, active: 0)");
    pool.enable_key("inf");
    EXPECT_EQ(pool.record("inf")->cooldown_until, 0.0);
    EXPECT_EQ(select_n(pool, 2), (Strings{"inf", "inf"}));
    EXPECT_EQ(pool.record("nan")->status, KeyStatus::RateLimited);
}

// Selection skips the expiry pass once nothing is cooling down; every later
// cool-down, and each still running after a pass, must still be honoured.
TEST_F(PoolTest, StaggeredCoolDownsEachExpireOnTime) {
    KeyPoolCore& pool = make(Strategy::LeastUsed, {"A", "B", "C"});
    pool.record_rate_limit("A", 10.0);
    pool.record_rate_limit("B", 20.0);
    EXPECT_EQ(select(pool), "C");
    clock->set(25.0);  // A's deadline (20) has passed, B's (30) has not
    pool.record_success("C", 1.0);
    EXPECT_EQ(select(pool), "A");
    pool.record_success("A", 1.0);
    EXPECT_EQ(select(pool), "C");
    clock->set(30.0);
    EXPECT_EQ(select(pool), "B");
    pool.record_success("B", 1.0);
    pool.record_rate_limit("C", 5.0);  // after every earlier cool-down ended
    EXPECT_EQ(select(pool), "A");
    pool.record_success("A", 1.0);
    EXPECT_EQ(select(pool), "B");
    clock->set(35.0);
    EXPECT_EQ(pool.record("C")->status, KeyStatus::RateLimited);
    pool.record_success("B", 1.0);
    EXPECT_EQ(select(pool), "C");
}

TEST_F(PoolTest, RefusalsReportTotalAndActiveAfterTheExpiryPass) {
    KeyPoolCore& empty = make(Strategy::Adaptive, {});
    EXPECT_EQ(select(empty), "error: no available keys in pool (total: 0, active: 0)");
    KeyPoolCore& pool = make(Strategy::Random);
    for (const char* key : {"A", "B", "C"}) pool.disable_key(key);
    EXPECT_EQ(select(pool), "error: no available keys in pool (total: 3, active: 0)");
    EXPECT_EQ(rng.next_u64(), ThreadRandom(kSeed).next_u64());  // refusals draw nothing
}

TEST_F(PoolTest, ListKeysSnapshotsWithoutAnExpiryPass) {
    KeyPoolCore pool(Strategy::RoundRobin, clock);
    pool.add_key("sk-live-0123456789", -2.0);
    pool.add_key("short");
    pool.record_success("short", 100.0);
    pool.record_rate_limit("short", 1.0);
    clock->advance(5.0);
    const std::vector<KeySnapshot> keys = pool.list_keys();
    ASSERT_EQ(keys.size(), 2U);
    EXPECT_EQ(keys[0].key_masked, "sk-l...6789");
    EXPECT_EQ(keys[0].weight, -2.0);
    EXPECT_DOUBLE_EQ(keys[0].health_score, 0.4);
    EXPECT_EQ(keys[1].key_masked, "***");
    EXPECT_EQ(keys[1].status, KeyStatus::RateLimited);
    EXPECT_EQ(keys[1].total_requests, 2U);
    EXPECT_EQ(keys[1].total_rate_limits, 1U);
    EXPECT_EQ(keys[1].avg_latency_ms, 100.0);
    EXPECT_NEAR(keys[1].health_score, 0.298, 1e-12);
}

// ---- concurrency ------------------------------------------------------------------

TEST(PoolThreads, SelectionsAndEventsAddUpUnderContention) {
    auto clock = make_manual_clock();
    KeyPoolCore pool(Strategy::RoundRobin, clock);
    const Strings stable{"s0", "s1", "s2", "s3"};
    for (const std::string& key : stable) pool.add_key(key);

    constexpr int kSelectors = 3;
    constexpr int kRounds = 5000;
    std::vector<std::vector<int>> picks(kSelectors, std::vector<int>(stable.size()));
    std::vector<std::thread> threads;
    for (int t = 0; t < kSelectors; ++t) {
        threads.emplace_back([&, t] {
            ThreadRandom rng(ChaChaKey{static_cast<std::uint32_t>(t)});
            for (int i = 0; i < kRounds; ++i) {
                auto key = pool.select_key(rng);
                ASSERT_TRUE(key);
                for (std::size_t k = 0; k < stable.size(); ++k) picks[t][k] += *key == stable[k];
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) pool.record_error(stable[i % stable.size()]);
    });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            const std::string key = "tmp" + std::to_string(i % 7);
            pool.add_key(key);
            if (i % 2 == 1) pool.remove_key(key);
        }
    });
    for (std::thread& thread : threads) thread.join();

    for (std::size_t k = 0; k < stable.size(); ++k) {
        std::uint64_t selected = 0;
        for (const auto& counts : picks) selected += counts[k];
        EXPECT_EQ(pool.record(stable[k])->total_requests, selected + kRounds / stable.size());
    }
}

}  // namespace
}  // namespace velmorquist
