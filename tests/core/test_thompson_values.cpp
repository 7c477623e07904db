#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>

#include "core/provider_profile.hpp"

namespace velmorquist {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct ProfileReprCase {
    ProviderProfile profile;
    const char* expected;
};

// Names the case by its expected text rather than a dump of the struct's bytes.
void PrintTo(const ProfileReprCase& c, std::ostream* out) { *out << c.expected; }

class ProfileRepr : public testing::TestWithParam<ProfileReprCase> {};

TEST_P(ProfileRepr, FormatsFixedDecimalsWithTiesToEven) {
    EXPECT_EQ(repr(GetParam().profile), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileRepr,
    testing::Values(
        ProfileReprCase{{"openai", 0.03, 0.92, 800},
                        "ProviderProfile(id='openai', cost=0.0300, quality=0.92, latency=800ms)"},
        ProfileReprCase{{"x", -1, 2, kNaN},
                        "ProviderProfile(id='x', cost=-1.0000, quality=2.00, latency=NaNms)"},
        ProfileReprCase{{"a", 0, 0, 0.5},
                        "ProviderProfile(id='a', cost=0.0000, quality=0.00, latency=0ms)"},
        ProfileReprCase{{"a", 0, 0, 1.5},
                        "ProviderProfile(id='a', cost=0.0000, quality=0.00, latency=2ms)"},
        ProfileReprCase{{"it's", kInf, -kInf, 2.5},
                        "ProviderProfile(id='it's', cost=inf, quality=-inf, latency=2ms)"}));

TEST(RouterConfigRepr, DefaultAndVariants) {
    EXPECT_EQ(repr(RouterConfig{}),
              "RouterConfig(cost=0.50, quality=0.35, latency=0.15, explore=true, decay=0.95)");
    RouterConfig config{.cost_weight = 0.125,
                        .quality_weight = -1,
                        .latency_weight = kNaN,
                        .explore_mode = false,
                        .decay_factor = 1.005,
                        .fallback_provider = "openai"};
    // The fallback is not shown; 0.125 and 1.005 (just below) round to even / down.
    EXPECT_EQ(repr(config),
              "RouterConfig(cost=0.12, quality=-1.00, latency=NaN, explore=false, decay=1.00)");
}

TEST(RoutingDecisionRepr, ScoreWithFourDecimals) {
    EXPECT_EQ(repr(RoutingDecision{"groq", 0.117750000001, true}),
              "RoutingDecision(provider_id='groq', score=0.1178, is_explore=true)");
    EXPECT_EQ(repr(RoutingDecision{"", -kInf, false}),
              "RoutingDecision(provider_id='', score=-inf, is_explore=false)");
}

TEST(DefaultCatalogue, TwelveProvidersInOrder) {
    const char* ids[] = {"openai",   "anthropic", "google", "groq",    "together", "fireworks",
                         "deepseek", "cerebras",  "ollama", "mistral", "cohere",   "azure_openai"};
    ASSERT_EQ(kDefaultCatalogue.size(), std::size(ids));
    for (std::size_t i = 0; i < kDefaultCatalogue.size(); ++i)
        EXPECT_EQ(kDefaultCatalogue[i].id, ids[i]);
    const CatalogueEntry& azure = kDefaultCatalogue[11];
    EXPECT_EQ(azure.cost_per_1k, 0.03);
    EXPECT_EQ(azure.base_quality, 0.92);
    EXPECT_EQ(azure.base_latency_ms, 780.0);
}

}  // namespace
}  // namespace velmorquist
