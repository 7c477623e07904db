#include "core/base/format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace velmorquist {
namespace {

struct ShortestCase {
    double value;
    std::string text;
};

class ShortestTest : public ::testing::TestWithParam<ShortestCase> {};

TEST_P(ShortestTest, WritesFewestDigitsWithoutExponent) {
    EXPECT_EQ(format_shortest(GetParam().value), GetParam().text);
}

std::string zeros(std::size_t count) { return std::string(count, '0'); }

INSTANTIATE_TEST_SUITE_P(
    Values, ShortestTest,
    ::testing::Values(
        ShortestCase{3.0, "3"}, ShortestCase{0.5, "0.5"}, ShortestCase{-0.0, "-0"},
        ShortestCase{0.0, "0"}, ShortestCase{-3.0, "-3"}, ShortestCase{2.5, "2.5"},
        ShortestCase{0.1, "0.1"}, ShortestCase{0.3, "0.3"}, ShortestCase{100.0, "100"},
        ShortestCase{1234.5678, "1234.5678"}, ShortestCase{1e-7, "0.0000001"},
        ShortestCase{1.5e-10, "0.00000000015"},
        // Whole values past 2^53 keep only the digits that read back, then zeros.
        ShortestCase{0x1p53, "9007199254740992"}, ShortestCase{0x1p53 + 2, "9007199254740994"},
        ShortestCase{0x1p54, "18014398509481984"}, ShortestCase{0x1p60, "1152921504606847000"},
        ShortestCase{0x1p63, "9223372036854776000"}, ShortestCase{-0x1p63, "-9223372036854776000"},
        ShortestCase{18446744073709551615.0, "18446744073709552000"},
        ShortestCase{1e21, "1000000000000000000000"}, ShortestCase{1e22, "1" + zeros(22)},
        // The double nearest 1e23 is 99999999999999991611392.
        ShortestCase{1e23, "1" + zeros(23)},
        ShortestCase{std::numeric_limits<double>::max(), "17976931348623157" + zeros(292)},
        ShortestCase{std::numeric_limits<double>::denorm_min(), "0." + zeros(323) + "5"},
        ShortestCase{-std::numeric_limits<double>::min(), "-0." + zeros(307) + "22250738585072014"},
        ShortestCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
        ShortestCase{std::numeric_limits<double>::infinity(), "inf"},
        ShortestCase{-std::numeric_limits<double>::infinity(), "-inf"}));

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
