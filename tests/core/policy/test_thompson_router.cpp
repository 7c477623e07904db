#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/base/format.hpp"
#include "core/base/random.hpp"
#include "core/policy/thompson_router.hpp"

namespace velmorquist {
namespace {

using testing::ElementsAre;
using testing::ElementsAreArray;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr ChaChaKey kSeed{1, 2, 3, 4, 5, 6, 7, 8};

RouterConfig deterministic() {
    RouterConfig config;
    config.explore_mode = false;
    return config;
}

ProviderProfile profile(std::string id, double cost = 0.01, double quality = 0.9,
                        double latency = 300) {
    return ProviderProfile{std::move(id), cost, quality, latency};
}

std::vector<std::string> ids_of(const std::vector<RoutingDecision>& ranking) {
    std::vector<std::string> ids;
    for (const RoutingDecision& decision : ranking) ids.push_back(decision.provider_id);
    return ids;
}

std::vector<RoutingDecision> rank(const RouterCore& router,
                                  std::vector<std::string_view> eligible = {}) {
    ThreadRandom rng(kSeed);
    auto ranking = router.rank_among(eligible, rng);
    EXPECT_TRUE(ranking.has_value());
    return ranking.value_or(std::vector<RoutingDecision>{});
}

TEST(RouterCore, RanksCatalogueByPosteriorMean) {
    RouterCore router(deterministic());
    router.load_defaults();
    ASSERT_EQ(router.provider_count(), 12u);
    std::vector<RoutingDecision> ranking = rank(router);
    EXPECT_THAT(ids_of(ranking),
                ElementsAre("groq", "cerebras", "fireworks", "together", "ollama", "deepseek",
                            "mistral", "cohere", "google", "azure_openai", "openai", "anthropic"));
    EXPECT_EQ(format_fixed(ranking[0].score, 4), "0.1177");
    EXPECT_FALSE(ranking[0].is_explore);

    auto best = router.select_deterministic();
    ASSERT_TRUE(best);
    EXPECT_EQ(best->provider_id, "groq");
    EXPECT_EQ(best->score, 0.35 * (0.5 * 0.85) - 0.5 * 0.002 - 0.15 * (200 / 1000.0));
    EXPECT_FALSE(best->is_explore);
}

TEST(RouterCore, SecondCatalogueLoadDuplicatesEveryEntry) {
    RouterCore router(deterministic());
    router.load_defaults();
    router.load_defaults();
    EXPECT_EQ(router.provider_count(), 24u);
    EXPECT_EQ(router.select_deterministic()->provider_id, "groq");
    std::vector<std::string> ids = ids_of(rank(router));
    ASSERT_EQ(ids.size(), 24u);
    for (std::size_t i = 0; i < ids.size(); i += 2) EXPECT_EQ(ids[i], ids[i + 1]);
}

struct DecayCase {
    double reward;
    double alpha;
    double beta;
};

void PrintTo(const DecayCase& c, std::ostream* out) { *out << "reward " << c.reward; }

class RecordOutcome : public testing::TestWithParam<DecayCase> {};

TEST_P(RecordOutcome, DecaysThenFloorsAtOne) {
    RouterCore router(RouterConfig{});
    router.add_provider(profile("a"));
    ASSERT_TRUE(router.record_outcome("a", GetParam().reward));
    ProviderState state = router.providers().at(0);
    EXPECT_DOUBLE_EQ(state.alpha, GetParam().alpha);
    EXPECT_DOUBLE_EQ(state.beta, GetParam().beta);
}

INSTANTIATE_TEST_SUITE_P(Rewards, RecordOutcome,
                         testing::Values(DecayCase{1.0, 1.95, 1.0}, DecayCase{0.0, 1.0, 1.95},
                                         DecayCase{2.0, 2.95, 1.0}, DecayCase{-1.0, 1.0, 2.95},
                                         DecayCase{kNaN, 1.0, 1.0}));

TEST(RouterCore, UnknownProviderChangesNothing) {
    RouterCore router(RouterConfig{});
    router.add_provider(profile("a"));
    auto result = router.record_outcome("A", 1.0);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), "provider `A` not found");
    EXPECT_EQ(router.providers()[0].alpha, 1.0);
    EXPECT_EQ(router.providers()[0].beta, 1.0);
}

TEST(RouterCore, DuplicateIdsUpdateFirstAndRemoveAll) {
    RouterCore router(deterministic());
    router.add_provider(profile("a"));
    router.add_provider(profile("b"));
    router.add_provider(profile("a"));
    ASSERT_TRUE(router.record_outcome("a", 1.0));
    std::vector<ProviderState> states = router.providers();
    EXPECT_DOUBLE_EQ(states[0].alpha, 1.95);
    EXPECT_EQ(states[2].alpha, 1.0);

    EXPECT_TRUE(router.remove_provider("a"));
    EXPECT_EQ(router.provider_count(), 1u);
    EXPECT_FALSE(router.remove_provider("a"));
    router.add_provider(profile("a"));
    EXPECT_EQ(router.providers()[1].alpha, 1.0);  // re-added: fresh posterior
}

TEST(RouterCore, RankAmongCandidateRules) {
    RouterCore router(deterministic());
    router.add_provider(profile("slow", 0.01, 0.9, 900));
    router.add_provider(profile("fast", 0.01, 0.9, 100));
    router.add_provider(profile("slow", 0.01, 0.9, 900));
    router.add_provider(profile("mid", 0.01, 0.9, 500));

    // Unknown ids ignored, repeated ids not repeated, duplicates registered twice count twice.
    EXPECT_THAT(ids_of(rank(router, {"slow", "nobody", "slow"})), ElementsAre("slow", "slow"));
    // The order of the eligible ids has no effect.
    EXPECT_THAT(ids_of(rank(router, {"slow", "fast"})), ElementsAre("fast", "slow", "slow"));
    EXPECT_THAT(ids_of(rank(router, {"fast", "slow"})), ElementsAre("fast", "slow", "slow"));
    EXPECT_THAT(ids_of(rank(router)), ElementsAre("fast", "mid", "slow", "slow"));

    ThreadRandom rng(kSeed);
    std::vector<std::string_view> unknown{"nobody", "FAST"};
    auto none = router.rank_among(unknown, rng);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().message(), "no providers registered");
}

TEST(RouterCore, NanProfileWinsOnlyInFirstPlace) {
    for (bool explore : {false, true}) {
        RouterConfig config;
        config.explore_mode = explore;
        RouterCore nan_first(config);
        nan_first.add_provider(profile("nan", kNaN));
        nan_first.add_provider(profile("good"));
        RouterCore nan_later(config);
        nan_later.add_provider(profile("poor", 5.0));
        nan_later.add_provider(profile("nan", 0.0, kNaN));
        nan_later.add_provider(profile("good"));

        ThreadRandom rng(kSeed);
        for (int i = 0; i < 20; ++i) {
            auto first = nan_first.select(rng);
            EXPECT_EQ(first->provider_id, "nan");
            EXPECT_TRUE(std::isnan(first->score));
            EXPECT_EQ(nan_later.select(rng)->provider_id, "good");
        }
        EXPECT_EQ(nan_first.select_deterministic()->provider_id, "nan");
        EXPECT_EQ(nan_later.select_deterministic()->provider_id, "good");

        auto ranking = nan_later.rank_among({}, rng);
        ASSERT_TRUE(ranking);
        EXPECT_EQ(ranking->size(), 3u);
    }
}

// Replays the draws select must make: one Beta draw per provider, in list order.
TEST(RouterCore, ExploreDrawsOncePerProviderInListOrder) {
    RouterCore router(RouterConfig{});
    router.load_defaults();
    ASSERT_TRUE(router.record_outcome("groq", 0.0));
    ASSERT_TRUE(router.record_outcome("anthropic", 1.0));
    ASSERT_TRUE(router.record_outcome("anthropic", 1.0));

    ThreadRandom rng(kSeed);
    ThreadRandom replay(kSeed);
    for (int round = 0; round < 5; ++round) {
        auto decision = router.select(rng);
        ASSERT_TRUE(decision);
        EXPECT_TRUE(decision->is_explore);

        std::string best_id;
        double best = 0.0;
        for (const ProviderState& state : router.providers()) {
            double theta = beta_sample(replay, state.alpha, state.beta).value();
            double score = provider_score(router.config(), state.profile, theta);
            if (best_id.empty() || score > best) {
                best_id = state.profile.id;
                best = score;
            }
        }
        EXPECT_EQ(decision->provider_id, best_id);
        EXPECT_EQ(decision->score, best);
        EXPECT_EQ(rng.next_u64(), replay.next_u64());  // same number of draws
    }
}

TEST(RouterCore, ExploreRankingDrawsOncePerCandidate) {
    RouterCore router(RouterConfig{});
    router.load_defaults();
    std::vector<std::string_view> eligible{"openai", "ollama", "groq"};
    ThreadRandom rng(kSeed);
    ThreadRandom replay(kSeed);
    auto ranking = router.rank_among(eligible, rng);
    ASSERT_TRUE(ranking);
    std::vector<double> expected;
    for (const ProviderState& state : router.providers()) {
        const std::string& id = state.profile.id;
        if (id != "openai" && id != "ollama" && id != "groq") continue;
        expected.push_back(
            provider_score(router.config(), state.profile, beta_sample(replay, 1.0, 1.0).value()));
    }
    std::sort(expected.begin(), expected.end(), std::greater<>());
    std::vector<double> scores;
    for (const RoutingDecision& decision : *ranking) {
        EXPECT_TRUE(decision.is_explore);
        scores.push_back(decision.score);
    }
    EXPECT_THAT(scores, ElementsAreArray(expected));
    EXPECT_EQ(rng.next_u64(), replay.next_u64());
}

TEST(RouterCore, DeterministicModeSelectDrawsNothing) {
    RouterCore router(deterministic());
    router.load_defaults();
    ThreadRandom rng(kSeed);
    ThreadRandom untouched(kSeed);
    auto decision = router.select(rng);
    ASSERT_TRUE(decision);
    EXPECT_FALSE(decision->is_explore);
    EXPECT_EQ(decision->provider_id, "groq");
    ASSERT_TRUE(router.rank_among({}, rng));
    EXPECT_EQ(rng.next_u64(), untouched.next_u64());
}

// Three equal providers that succeed 90 %, 60 % and 30 % of the time: Thompson
// sampling must settle on the first.
TEST(RouterCore, ExploreLearnsTheMostReliableProvider) {
    RouterCore router(RouterConfig{});
    const std::vector<std::pair<std::string, double>> truth{
        {"unreliable", 0.3}, {"middling", 0.6}, {"reliable", 0.9}};
    for (const auto& [id, rate] : truth) router.add_provider(profile(id));

    ThreadRandom router_rng(kSeed);
    ThreadRandom world(ChaChaKey{9, 9, 9, 9, 9, 9, 9, 9});
    constexpr int kRounds = 3000;
    constexpr int kRecent = 1000;
    int recent_best = 0;
    for (int round = 0; round < kRounds; ++round) {
        auto decision = router.select(router_rng);
        ASSERT_TRUE(decision);
        double rate = 0.0;
        for (const auto& [id, r] : truth)
            if (id == decision->provider_id) rate = r;
        double reward = uniform_unit(world) < rate ? 1.0 : 0.0;
        ASSERT_TRUE(router.record_outcome(decision->provider_id, reward));
        if (round >= kRounds - kRecent && decision->provider_id == "reliable") ++recent_best;
    }
    EXPECT_GT(recent_best, kRecent * 85 / 100);
}

TEST(RouterCore, ConcurrentCallersKeepTheListConsistent) {
    RouterCore router(RouterConfig{});
    router.load_defaults();
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < 4; ++t) {
        threads.emplace_back([&router, t] {
            ThreadRandom rng(ChaChaKey{t, 0, 0, 0, 0, 0, 0, 1});
            std::string own = "own" + std::to_string(t);
            for (int i = 0; i < 300; ++i) {
                router.add_provider(profile(own));
                EXPECT_TRUE(router.select(rng));
                EXPECT_TRUE(router.record_outcome(own, i % 2));
                EXPECT_TRUE(router.rank_among({}, rng));
                EXPECT_TRUE(router.remove_provider(own));
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(router.provider_count(), 12u);
}

}  // namespace
}  // namespace velmorquist
