// A host's lease of a fleet bucket: what the syncer asks for and hands back,
// and the share spent before the first grant.
#include <gtest/gtest.h>

#include <limits>

#include "core/policy/fleet_lease.hpp"

namespace velmorquist {
namespace {

const BucketLimits kFull{20, 20.0, 10.0};  // burst 20, 10 a second

struct WantedCase {
    double held;
    double asked;      // in the last second
    double largest;
    std::uint32_t hosts;
    LeaseAsk expected;
    double held_after;
};

class LeaseWanted : public ::testing::TestWithParam<WantedCase> {};

TEST_P(LeaseWanted, AsksForAboutOneAndAHalfSecondsAndHandsBackTheRest) {
    const WantedCase& c = GetParam();
    LeaseFields lease = fresh_lease(share_limits(kFull, c.hosts), 0.0);
    lease.held = c.held;
    lease.asked = c.asked * 2;  // the demand is halfway smoothed towards it
    lease.largest = c.largest;
    const LeaseAsk ask = lease_wanted(lease, kFull, c.hosts, 2.0);
    EXPECT_EQ(ask.want, c.expected.want);
    EXPECT_EQ(ask.back, c.expected.back);
    EXPECT_EQ(lease.held, c.held_after);
    EXPECT_EQ(lease.asked, 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LeaseWanted,
    ::testing::Values(
        WantedCase{0.0, 0.0, 1.0, 1, {1, 0}, 0.0},     // idle: one token in hand
        WantedCase{0.0, 8.0, 1.0, 1, {6, 0}, 0.0},     // 4/s smoothed: 1.5 s is 6
        WantedCase{0.0, 40.0, 1.0, 2, {10, 0}, 0.0},   // capped at the share of the burst
        WantedCase{0.0, 0.0, 7.0, 4, {7, 0}, 0.0},     // but never below the largest ask
        WantedCase{4.0, 8.0, 1.0, 1, {0, 0}, 4.0},     // enough in hand
        WantedCase{-3.0, 8.0, 1.0, 1, {9, 0}, -3.0},   // a debt is paid first
        WantedCase{15.0, 8.0, 1.0, 1, {0, 9}, 6.0}));  // the excess goes back

TEST(Lease, SpendsTheShareUntilLeasedThenOnlyWhatIsHeld) {
    const BucketLimits share = share_limits(kFull, 4);  // 5 tokens, 2.5 a second
    LeaseFields lease = fresh_lease(share, 0.0);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(lease_take(lease, share, false, 1, 0.0));
    EXPECT_FALSE(lease_take(lease, share, false, 1, 0.0));
    EXPECT_DOUBLE_EQ(lease_wait(lease, kFull, share, false, 1, 0.0), 0.4);
    EXPECT_EQ(lease_wait(lease, kFull, share, false, 6, 0.0),
              std::numeric_limits<double>::infinity());  // beyond the share
    lease.held = 2.0;
    EXPECT_TRUE(lease_take(lease, share, true, 2, 1.0));
    EXPECT_FALSE(lease_take(lease, share, true, 1, 1.0));  // the refilled share stays unspent
    EXPECT_DOUBLE_EQ(lease_wait(lease, kFull, share, true, 1, 1.0), 0.1);
    EXPECT_EQ(lease.asked, 9.0);  // refusals are demand too
}

TEST(Lease, NothingWhileTheHostCountIsUnknown) {
    const BucketLimits none = share_limits(kFull, 0);
    LeaseFields lease = fresh_lease(share_limits(kFull, 1), 0.0);  // a region is built full
    EXPECT_EQ(lease_wait(lease, kFull, none, false, 1, 0.0),
              std::numeric_limits<double>::infinity());
    EXPECT_FALSE(lease_take(lease, none, false, 1, 0.0));
    EXPECT_EQ(lease_level(lease, none, false, 5.0), 0.0);
}

}  // namespace
}  // namespace velmorquist
