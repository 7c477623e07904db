#include "core/format.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace velmorquist {
namespace {

struct ShortestCase {
    double value;
    const char* text;
};

class ShortestTest : public ::testing::TestWithParam<ShortestCase> {};

TEST_P(ShortestTest, WritesShortestRoundTripWithoutExponent) {
    EXPECT_EQ(format_shortest(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ShortestTest,
    ::testing::Values(ShortestCase{3.0, "3"}, ShortestCase{0.5, "0.5"},
                      ShortestCase{1e-7, "0.0000001"},
                      ShortestCase{1e21, "1000000000000000000000"}, ShortestCase{-0.0, "-0"},
                      ShortestCase{0.0, "0"}, ShortestCase{-3.0, "-3"},
                      ShortestCase{2.5, "2.5"}, ShortestCase{0.1, "0.1"},
                      ShortestCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      ShortestCase{std::numeric_limits<double>::infinity(), "inf"},
                      ShortestCase{-std::numeric_limits<double>::infinity(), "-inf"}));

TEST(ShortestTest, ExtremesReadBackExactly) {
    for (double value : {std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min(),
                         -std::numeric_limits<double>::min(), 1.0 / 3.0}) {
        std::string text = format_shortest(value);
        EXPECT_EQ(text.find('e'), std::string::npos) << text;
        double parsed = 0;
        std::from_chars(text.data(), text.data() + text.size(), parsed);
        EXPECT_EQ(parsed, value) << text;
    }
}

struct FixedCase {
    double value;
    int decimals;
    const char* text;
};

class FixedTest : public ::testing::TestWithParam<FixedCase> {};

TEST_P(FixedTest, RoundsExactValueTiesToEven) {
    EXPECT_EQ(format_fixed(GetParam().value, GetParam().decimals), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FixedTest,
    ::testing::Values(FixedCase{0.5, 0, "0"}, FixedCase{1.5, 0, "2"}, FixedCase{2.5, 0, "2"},
                      FixedCase{59.7, 0, "60"}, FixedCase{-0.4, 0, "-0"},
                      FixedCase{60.0, 0, "60"}, FixedCase{0.125, 2, "0.12"},
                      FixedCase{0.375, 2, "0.38"}, FixedCase{0.4, 2, "0.40"},
                      // 0.15 is stored just below 0.15, so it is not a tie.
                      FixedCase{0.15, 1, "0.1"}, FixedCase{0.25, 1, "0.2"},
                      FixedCase{20.0, 1, "20.0"}, FixedCase{1e21, 0, "1000000000000000000000"},
                      FixedCase{std::numeric_limits<double>::quiet_NaN(), 2, "NaN"},
                      FixedCase{-std::numeric_limits<double>::infinity(), 0, "-inf"}));

TEST(FixedTest, AppendsToExistingText) {
    std::string text = "recovery=";
    append_fixed(text, 2.5, 0);
    append_shortest(text, 0.5);
    EXPECT_EQ(text, "recovery=20.5");
}

}  // namespace
}  // namespace velmorquist
