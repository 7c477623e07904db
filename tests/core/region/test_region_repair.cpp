// What a region survives: a process killed while it held a provider's lock
// half-way through an update (every damaged field back in range), and files
// that must not be trusted as they are (a build cut short, another layout
// version, another boot), which are rebuilt only when asked to.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "core/region/shared_state.hpp"
#include "tests/core/manual_clock.hpp"
#include "tests/core/region/one_provider.hpp"

namespace velmorquist {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using test_support::one_provider;

class RegionRepairTest : public ::testing::Test {
protected:
    void TearDown() override {
        std::remove(path_.c_str());
        std::remove((path_ + ".key").c_str());
    }
    auto attach(bool create = true) {
        return SharedState::attach(path_, create, false, one_provider(), clock_,
                                   LimitSource::LocalBuckets);
    }
    // Writes `value` at `offset` of the region file, as a torn update would.
    template <class T>
    void poke(std::size_t offset, T value) {
        const int fd = open(path_.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, &value, sizeof value, static_cast<off_t>(offset)),
                  static_cast<ssize_t>(sizeof value));
        close(fd);
    }

    std::string path_ = ::testing::TempDir() + "region_repair_" + std::to_string(getpid());
    std::shared_ptr<ManualClock> clock_ = test_support::make_manual_clock(100.0);
};

TEST_F(RegionRepairTest, DamagedFieldsAreBackInRangeAfterTheHolderDies) {
    auto attached = attach();
    ASSERT_TRUE(attached);
    SharedState& state = **attached;
    ASSERT_EQ(state.key_outcome(0, 0, KeyOutcome::Success, 10.0, 0.0), false);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) state.park_holding_lock(0, ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);

    // The dead holder left every field it could have been writing damaged.
    const RegionGeometry at = region_geometry(1, 1);
    const std::size_t p = at.provider_offset;
    poke(p + offsetof(ProviderSlot, breaker) + offsetof(BreakerFields, state), std::uint8_t{7});
    poke(p + offsetof(ProviderSlot, breaker) + offsetof(BreakerFields, opened_at), kNaN);
    poke(p + offsetof(ProviderSlot, trials_in_flight), std::uint32_t{1000});
    poke(p + offsetof(ProviderSlot, last_trial_at), kNaN);
    poke(p + offsetof(ProviderSlot, requests) + offsetof(BucketLevel, tokens), 1e300);
    poke(p + offsetof(ProviderSlot, requests) + offsetof(BucketLevel, last_refill), kNaN);
    poke(p + offsetof(ProviderSlot, alpha), -1.0);
    poke(p + offsetof(ProviderSlot, beta), kNaN);
    poke(p + offsetof(ProviderSlot, fleet) + offsetof(FleetProviderFields, successes),
         std::numeric_limits<double>::infinity());
    const std::size_t k = at.key_offset;
    poke(k + offsetof(KeySlot, identity), std::uint64_t{0});
    poke(k + offsetof(KeySlot, status), std::uint8_t{99});
    poke(k + offsetof(KeySlot, weight), -5.0);
    poke(k + offsetof(KeySlot, total_errors), std::uint64_t{50});
    poke(k + offsetof(KeySlot, cooldown_until), kNaN);
    poke(k + offsetof(KeySlot, latencies) + offsetof(LatencyWindow, head), std::uint64_t{12345});
    poke(k + offsetof(KeySlot, latencies) + offsetof(LatencyWindow, size), std::uint64_t{1000});
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);

    EXPECT_EQ(state.breaker_state(0), CircuitState::Closed);
    EXPECT_EQ(state.breaker_ready_in(0), 0.0);
    EXPECT_EQ(state.try_breaker(0), BreakerAnswer::Allowed);
    const auto [requests, tokens] = state.bucket_levels(0);
    ASSERT_TRUE(requests);
    EXPECT_EQ(*requests, 5.0);  // the capacity, not 1e300
    EXPECT_EQ(state.try_limits(0, 0), 0.0);
    const Posterior posterior = state.posterior(0);
    EXPECT_EQ(posterior.alpha, 1.0);
    EXPECT_EQ(posterior.beta, 1.0);
    const std::vector<KeyView> keys = state.key_summaries(0);
    EXPECT_EQ(keys[0].status, KeyStatus::Active);
    EXPECT_LE(keys[0].errors, keys[0].requests);
    EXPECT_TRUE(std::isfinite(keys[0].avg_latency_ms));
    EXPECT_EQ(state.select_key(0, thread_rng()), 0U);
    EXPECT_EQ(state.keys_ready_in(0), 0.0);
}

struct DistrustCase {
    const char* name;
    std::size_t offset;
    std::uint32_t value;
    const char* reason;
};

class UntrustedRegionTest : public RegionRepairTest,
                            public ::testing::WithParamInterface<DistrustCase> {};

TEST_P(UntrustedRegionTest, IsRefusedWithoutCreateAndRebuiltWithIt) {
    {
        auto first = attach();
        ASSERT_TRUE(first);
        for (int i = 0; i < 2; ++i) (void)(*first)->breaker_outcome(0, false, BreakerOutcome::Failure);
        ASSERT_EQ((*first)->breaker_state(0), CircuitState::Open);
    }
    poke(GetParam().offset, GetParam().value);
    auto refused = attach(false);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().fault, RegionFault::Refused);
    EXPECT_NE(refused.error().message.find(GetParam().reason), std::string::npos)
        << refused.error().message;
    auto rebuilt = attach(true);
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ((*rebuilt)->breaker_state(0), CircuitState::Closed);  // a fresh state
}

INSTANTIATE_TEST_SUITE_P(
    Headers, UntrustedRegionTest,
    ::testing::Values(
        DistrustCase{"interrupted build", offsetof(RegionHeader, ready), 0, "interrupted"},
        DistrustCase{"older layout", offsetof(RegionHeader, layout_version), kLayoutVersion - 1,
                     "layout version"},
        DistrustCase{"before a reboot", offsetof(RegionHeader, boot_id), 0x30303030,
                     "before the last reboot"}),
    [](const ::testing::TestParamInfo<DistrustCase>& test) {
        std::string name = test.param.name;
        for (char& c : name)
            if (c == ' ') c = '_';
        return name;
    });

}  // namespace
}  // namespace velmorquist
