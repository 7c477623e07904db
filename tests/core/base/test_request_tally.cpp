#include "core/base/request_tally.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <vector>

namespace velmorquist {
namespace {

// Places as the server lays them out: two counts, then the histograms.
constexpr std::size_t kOverhead = 2;
constexpr std::size_t kFirstToken = kOverhead + kOverheadBoundsS.size() + 2;
constexpr std::size_t kTokensIn = kFirstToken + kFirstTokenBoundsS.size() + 2;
constexpr std::size_t kTokensOut = kTokensIn + kTokenBounds.size() + 2;
constexpr std::size_t kCells = kTokensOut + kTokenBounds.size() + 2;

RequestTally stream_request() {
    RequestTally tally;
    tally.request = 0;
    tally.success = 1;
    tally.overhead = kOverhead;
    tally.overhead_s = 0.001;   // on a bound: that bound's bucket
    tally.first_token = kFirstToken;
    tally.first_token_s = 99.0;   // past every bound
    tally.tokens_in = kTokensIn;
    tally.tokens_out = kTokensOut;
    tally.tokens = RequestTally::Tokens{0.0, 5.0};
    return tally;
}

TEST(RequestTallyTest, CountsAndPlacesEachFigureInItsBucket) {
    std::vector<double> cells(kCells, 0.0);
    ASSERT_TRUE(tally_request(cells, stream_request()));
    ASSERT_TRUE(tally_request(cells, stream_request()));
    std::vector<double> expected(kCells, 0.0);
    expected[0] = expected[1] = 2;
    expected[kOverhead + 3] = 2;                                   // 0.001
    expected[kOverhead + kOverheadBoundsS.size() + 1] = 0.002;     // its sum
    expected[kFirstToken + kFirstTokenBoundsS.size()] = 2;         // past 60 s
    expected[kFirstToken + kFirstTokenBoundsS.size() + 1] = 198.0;
    expected[kTokensIn + 0] = 2;                                   // 0 tokens: the first bucket
    expected[kTokensOut + 2] = 2;                                  // 5: up to 16
    expected[kTokensOut + kTokenBounds.size() + 1] = 10.0;
    EXPECT_EQ(cells, expected);
}

TEST(RequestTallyTest, LeavesOutWhatTheRequestDidNotHave) {
    std::vector<double> cells(kCells, 0.0);
    RequestTally tally = stream_request();
    tally.success.reset();
    tally.first_token_s.reset();
    tally.tokens.reset();
    ASSERT_TRUE(tally_request(cells, tally));
    std::vector<double> expected(kCells, 0.0);
    expected[0] = 1;
    expected[kOverhead + 3] = 1;
    expected[kOverhead + kOverheadBoundsS.size() + 1] = 0.001;
    EXPECT_EQ(cells, expected);
}

// One place moved to `value`; the success count's place when `place` is null.
struct OutsideCase {
    std::size_t RequestTally::*place;
    std::size_t value;
};

class RequestTallyOutsideTest : public ::testing::TestWithParam<OutsideCase> {};

TEST_P(RequestTallyOutsideTest, RefusesAPlaceOutsideTheCellsAndAddsNothing) {
    std::vector<double> cells(kCells, 0.0);
    RequestTally tally = stream_request();
    if (GetParam().place == nullptr) {
        tally.success = GetParam().value;
    } else {
        tally.*GetParam().place = GetParam().value;
    }
    EXPECT_FALSE(tally_request(cells, tally));
    EXPECT_EQ(cells, std::vector<double>(kCells, 0.0));
}

INSTANTIATE_TEST_SUITE_P(
    Places, RequestTallyOutsideTest,
    ::testing::Values(OutsideCase{&RequestTally::request, kCells},
                      OutsideCase{nullptr, kCells},
                      // Its buckets fit, its sum does not.
                      OutsideCase{&RequestTally::overhead, kCells - kOverheadBoundsS.size() - 1},
                      OutsideCase{&RequestTally::first_token, kCells},
                      OutsideCase{&RequestTally::tokens_out, kCells - 1},
                      OutsideCase{&RequestTally::tokens_in, static_cast<std::size_t>(-1)}));

}  // namespace
}  // namespace velmorquist
