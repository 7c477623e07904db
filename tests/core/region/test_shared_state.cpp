// The host-shared region: its file checks, and state that survives a holder's death;
// the same state in private memory, across fork.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

#include "core/region/shared_state.hpp"
#include "tests/core/manual_clock.hpp"
#include "tests/core/region/one_provider.hpp"

namespace velmorquist {
namespace {

using test_support::make_manual_clock;

using test_support::one_provider;

class SharedStateTest : public ::testing::Test {
protected:
    void TearDown() override {
        std::remove(path_.c_str());
        std::remove((path_ + ".key").c_str());
    }
    auto attach(HostConfig config = one_provider(), bool create = true, bool fresh = false,
                LimitSource limits = LimitSource::LocalBuckets) {
        return SharedState::attach(path_, create, fresh, std::move(config), clock_, limits);
    }
    auto attach_fleet() { return attach(one_provider(), true, false, LimitSource::FleetLeases); }

    std::string path_ = ::testing::TempDir() + "shared_state_" + std::to_string(getpid());
    std::shared_ptr<test_support::ManualClock> clock_ = make_manual_clock(100.0);
};

TEST_F(SharedStateTest, TwoAttachmentsShareOneState) {
    auto first = attach();
    auto second = attach();
    ASSERT_TRUE(first && second);
    (void)(*first)->breaker_outcome(0, false, BreakerOutcome::Failure);
    EXPECT_EQ((*first)->breaker_outcome(0, false, BreakerOutcome::Failure), CircuitState::Open);
    EXPECT_EQ((*second)->try_breaker(0), BreakerAnswer::Refused);
    EXPECT_DOUBLE_EQ((*second)->breaker_ready_in(0), 10.0);
    clock_->advance(10.0);
    EXPECT_EQ((*second)->try_breaker(0), BreakerAnswer::Trial);
    EXPECT_EQ((*first)->try_breaker(0), BreakerAnswer::Refused);  // one trial slot host-wide
}

TEST_F(SharedStateTest, BucketRefillsOnTheSharedClock) {
    auto state = attach();
    ASSERT_TRUE(state);
    for (int i = 0; i < 5; ++i) EXPECT_EQ((*state)->try_limits(0, 0), 0.0);
    EXPECT_DOUBLE_EQ((*state)->try_limits(0, 0), 0.1);
    clock_->advance(0.15);  // a token and a half: 0.1 s after 100.0 is not exactly 100.1
    EXPECT_EQ((*state)->try_limits(0, 0), 0.0);
    EXPECT_GT((*state)->try_limits(0, 0), 0.0);
}

TEST_F(SharedStateTest, TrialSlotsOutliveARecoveryUntilTheySettle) {
    HostConfig config = one_provider();
    config.providers[0].breaker.success_threshold = 2;
    auto state = attach(config);
    ASSERT_TRUE(state);
    SharedState& s = **state;
    EXPECT_TRUE(s.trial_candidates().empty());
    (void)s.breaker_outcome(0, false, BreakerOutcome::Failure);
    (void)s.breaker_outcome(0, false, BreakerOutcome::Failure);
    EXPECT_TRUE(s.trial_candidates().empty());  // open, recovery not yet passed
    clock_->advance(10.0);
    EXPECT_EQ(s.trial_candidates(), std::vector<std::size_t>{0});
    EXPECT_EQ(s.try_breaker(0), BreakerAnswer::Trial);
    EXPECT_EQ(s.try_breaker(0), BreakerAnswer::Trial);
    EXPECT_TRUE(s.trial_candidates().empty());  // both slots taken
    EXPECT_EQ(s.breaker_ready_in(0), 0.0);
    EXPECT_EQ(s.breaker_outcome(0, true, BreakerOutcome::Failure), CircuitState::Open);
    clock_->advance(9.0);
    EXPECT_EQ(s.try_breaker(0), BreakerAnswer::Refused);
    clock_->advance(1.0);
    // The other trial is still out: one slot left until it settles.
    EXPECT_EQ(s.try_breaker(0), BreakerAnswer::Trial);
    EXPECT_EQ(s.try_breaker(0), BreakerAnswer::Refused);
    EXPECT_EQ(s.breaker_outcome(0, true, BreakerOutcome::Neutral), std::nullopt);
    EXPECT_EQ(s.try_breaker(0), BreakerAnswer::Trial);
    EXPECT_EQ(s.breaker_outcome(0, true, BreakerOutcome::Success), std::nullopt);
    EXPECT_EQ(s.breaker_outcome(0, true, BreakerOutcome::Success), CircuitState::Closed);
    EXPECT_TRUE(s.trial_candidates().empty());
}

TEST_F(SharedStateTest, ReleasedLimitsGoBackWithoutOverfilling) {
    auto state = attach();
    ASSERT_TRUE(state);
    SharedState& s = **state;
    s.release_limits(0, 0);  // a full bucket stays at its capacity
    EXPECT_EQ(s.bucket_levels(0).first, 5.0);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(s.try_limits(0, 0), 0.0);
    EXPECT_DOUBLE_EQ(s.limits_ready_in(0, 0), 0.1);
    EXPECT_DOUBLE_EQ(s.limits_ready_in(0, 0), 0.1);  // asking takes nothing
    s.release_limits(0, 0);
    EXPECT_EQ(s.limits_ready_in(0, 0), 0.0);
    EXPECT_EQ(s.try_limits(0, 0), 0.0);
}

TEST_F(SharedStateTest, AttachmentsSpendOneHostWideLease) {
    auto first = attach_fleet();
    auto second = attach_fleet();
    ASSERT_TRUE(first && second);
    SharedState& a = **first;
    SharedState& b = **second;
    a.fleet_set_hosts(5);  // before the first grant: the share, burst 5 / 5 hosts
    EXPECT_EQ(a.try_limits(0, 0), 0.0);
    EXPECT_DOUBLE_EQ(b.try_limits(0, 0), 0.5);
    const std::vector<LeaseRequest> asks = b.fleet_lease_asks(1.0, false);
    ASSERT_EQ(asks.size(), 1u);
    EXPECT_EQ(asks[0].ask.want, 1u);  // never more than the host's share of the burst
    a.fleet_grant(0, LeaseKind::Requests, 3.0, true);
    for (SharedState* s : {&a, &b, &a}) EXPECT_EQ(s->try_limits(0, 0), 0.0);
    EXPECT_GT(b.try_limits(0, 0), 0.0);
    EXPECT_EQ(a.fleet_status().hosts, 5u);
    b.fleet_set_degraded(true);  // back on the share, which has refilled by now
    clock_->advance(1.0);
    EXPECT_TRUE(a.fleet_status().degraded);
    EXPECT_EQ(a.bucket_levels(0).first, 1.0);
}

TEST_F(SharedStateTest, ChangesAndOutcomesOfAnyAttachmentReachTheSyncerOnce) {
    auto worker = attach_fleet();
    auto syncer = attach_fleet();
    ASSERT_TRUE(worker && syncer);
    SharedState& w = **worker;
    (void)w.breaker_outcome(0, false, BreakerOutcome::Failure);
    (void)w.breaker_outcome(0, false, BreakerOutcome::Failure);
    w.fleet_note(0, 0, FleetNote::Trip);
    (void)w.key_outcome(0, 0, KeyOutcome::RateLimited, 0.0, 30.0);
    w.fleet_note(0, 0, FleetNote::Cool);
    w.reward(0, 1.0);
    w.reward(0, 0.0);
    w.reward(0, 1.0);
    clock_->advance(4.0);
    const std::vector<FleetChange> changes = (*syncer)->fleet_changes();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].what, FleetNote::Trip);
    EXPECT_DOUBLE_EQ(changes[0].value, 6.0);  // what is left of the recovery
    EXPECT_EQ(changes[1].what, FleetNote::Cool);
    EXPECT_DOUBLE_EQ(changes[1].value, 26.0);
    EXPECT_TRUE((*syncer)->fleet_changes().empty());
    EXPECT_EQ((*syncer)->fleet_holdings().size(), 2u);  // still held
    EXPECT_EQ((*syncer)->fleet_take_outcomes()[0], std::make_pair(2.0, 1.0));
    EXPECT_EQ((*syncer)->fleet_take_outcomes()[0], std::make_pair(0.0, 0.0));
}

TEST_F(SharedStateTest, LearnedLatencyRanksAndReachesTheSyncerOnce) {
    HostConfig config = one_provider();
    HostProviderConfig second = config.providers[0];
    second.name = "bravo";
    second.profile.id = "bravo";
    second.keys = {"sk-test-key-000002"};
    config.providers.push_back(second);
    config.router.explore_mode = false;
    auto worker = attach(config, true, false, LimitSource::FleetLeases);
    auto syncer = attach(config, true, false, LimitSource::FleetLeases);
    ASSERT_TRUE(worker && syncer);
    SharedState& w = **worker;
    const std::size_t both[] = {0, 1};
    EXPECT_EQ(w.rank(both, thread_rng()), (std::vector<std::size_t>{0, 1}));  // a tie: in order
    w.learn_latency(0, 2100.0, true);   // alpha: 100 ms in the profile, 1.1 s learned
    w.absorb_latency(1, 50.0, 1);       // another host's: not the fleet's to learn again
    EXPECT_EQ((*syncer)->rank(both, thread_rng()), (std::vector<std::size_t>{1, 0}));
    const StreamView alpha = (*syncer)->stream_view(0);
    EXPECT_DOUBLE_EQ(alpha.latency_ms, 1100.0);
    EXPECT_EQ(alpha.first_chunk.samples, 1.0);
    EXPECT_EQ((*syncer)->stream_view(1).first_chunk.samples, 0.0);  // not a stream
    const auto taken = (*syncer)->fleet_take_latencies();
    EXPECT_EQ(taken[0], std::make_pair(2100.0, 1.0));
    EXPECT_EQ(taken[1], std::make_pair(0.0, 0.0));
    EXPECT_EQ((*syncer)->fleet_take_latencies()[0], std::make_pair(0.0, 0.0));
}

TEST_F(SharedStateTest, KeysAreReadyWhileOneIsActive) {
    HostConfig config = one_provider();
    config.providers[0].keys.push_back("sk-test-key-000002");
    config.providers[0].weights.push_back(1.0);
    config.providers[0].daily_limits.push_back(std::nullopt);
    auto state = attach(config);
    ASSERT_TRUE(state);
    SharedState& s = **state;
    s.key_outcome(0, 0, KeyOutcome::RateLimited, 0.0, 30.0);
    EXPECT_EQ(s.keys_ready_in(0), 0.0);
    s.key_outcome(0, 1, KeyOutcome::Disabled, 0.0, 0.0);
    EXPECT_DOUBLE_EQ(s.keys_ready_in(0), 30.0);
    clock_->advance(30.0);
    EXPECT_EQ(s.keys_ready_in(0), 0.0);
    EXPECT_EQ(s.key_summaries(0)[0].status, KeyStatus::Active);  // before any selection
    s.key_outcome(0, 0, KeyOutcome::Exhausted, 0.0, 0.0);
    EXPECT_EQ(s.keys_ready_in(0), std::numeric_limits<double>::infinity());
}

struct FileCase {
    const char* name;
    std::string contents;
    RegionFault fault;
};

class ForeignFileTest : public SharedStateTest, public ::testing::WithParamInterface<FileCase> {};

TEST_P(ForeignFileTest, IsRefusedAndLeftUntouched) {
    { std::ofstream(path_, std::ios::binary) << GetParam().contents; }
    for (bool create : {true, false}) {
        auto state = attach(one_provider(), create);
        ASSERT_FALSE(state) << GetParam().name;
        EXPECT_EQ(state.error().fault, GetParam().fault) << GetParam().name;
        EXPECT_NE(state.error().message.find(path_), std::string::npos);
    }
    std::ifstream in(path_, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), GetParam().contents);
}

INSTANTIATE_TEST_SUITE_P(Files, ForeignFileTest,
                         ::testing::Values(FileCase{"empty", "", RegionFault::NotOurs},
                                           FileCase{"text", "hello, not a region\n",
                                                    RegionFault::NotOurs},
                                           FileCase{"magic only", "VLMQHOST\x01\0\0\0",
                                                    RegionFault::NotOurs}));

TEST_F(SharedStateTest, OtherConfigurationIsRebuiltOnlyWithoutLiveAttachments) {
    auto live = attach();
    ASSERT_TRUE(live);
    auto refused = attach(one_provider("sk-another-key-0001"));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().fault, RegionFault::Refused);
    live->reset();
    EXPECT_TRUE(attach(one_provider("sk-another-key-0001")));
}

TEST_F(SharedStateTest, OwnerDeathIsRepairedAndOthersGoOn) {
    auto state = attach();
    ASSERT_TRUE(state);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) (*state)->park_holding_lock(0, ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ((*state)->try_breaker(0), BreakerAnswer::Allowed);
    EXPECT_EQ((*state)->try_limits(0, 0), 0.0);
    EXPECT_EQ((*state)->select_key(0, thread_rng()), 0U);
}

// A thread is inside the state's critical sections while the process forks
// over and over: each child must get a consistent copy whose locks it can
// take (a lock copied held would hang it; alarm() turns that into a failure),
// and what a child takes never reaches the parent.
TEST(PrivateStateTest, ForkedChildrenGetUsableCopiesWhileAThreadWorks) {
    auto state = SharedState::attach_private(one_provider(), make_manual_clock(100.0),
                                             LimitSource::LocalBuckets);
    ASSERT_TRUE(state);
    SharedState& shared = **state;
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop.load()) {
            if (shared.try_limits(0, 0) == 0.0) shared.release_limits(0, 0);
        }
    });
    for (int fork_number = 0; fork_number < 20; ++fork_number) {
        const pid_t child = fork();
        if (child == 0) {
            alarm(10);
            int taken = 0;
            while (taken < 10 && shared.try_limits(0, 0) == 0.0) ++taken;
            // Five in the bucket, one of them maybe out with the busy thread's copy.
            _exit(taken == 4 || taken == 5 ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    stop.store(true);
    busy.join();
    EXPECT_EQ(shared.bucket_levels(0).first, 5.0);
}

TEST_F(SharedStateTest, AResetClosesTheBreakerForEveryAttachmentAndTellsTheFleet) {
    auto first = attach();
    auto second = attach();
    ASSERT_TRUE(first && second);
    SharedState& s = **first;
    (void)s.breaker_outcome(0, false, BreakerOutcome::Failure);
    (void)s.breaker_outcome(0, false, BreakerOutcome::Failure);
    s.fleet_note(0, 0, FleetNote::Trip);
    EXPECT_TRUE((*second)->reset_breaker(0));
    (*second)->fleet_note(0, 0, FleetNote::Reset);
    EXPECT_EQ(s.try_breaker(0), BreakerAnswer::Allowed);
    EXPECT_FALSE(s.reset_breaker(0));  // already closed
    const std::vector<FleetChange> changes = s.fleet_changes();
    ASSERT_EQ(changes.size(), 1U);
    EXPECT_EQ(changes[0].what, FleetNote::Reset);
    // One failure short of the threshold again: the reset forgot the count.
    (void)s.breaker_outcome(0, false, BreakerOutcome::Failure);
    EXPECT_EQ(s.breaker_state(0), CircuitState::Closed);
}

TEST_F(SharedStateTest, ASelectionCountsNothingUntilTheCallEnds) {
    HostConfig config = one_provider();
    config.providers[0].daily_limits = {2};
    for (Strategy strategy : {Strategy::RoundRobin, Strategy::Adaptive}) {
        config.providers[0].strategy = strategy;
        auto state = SharedState::attach_private(config, clock_, LimitSource::LocalBuckets);
        ASSERT_TRUE(state);
        SharedState& s = **state;
        ThreadRandom rng{ChaChaKey{1, 2, 3, 4, 5, 6, 7, 8}};
        EXPECT_EQ(s.select_key(0, rng), 0U);
        EXPECT_FALSE(s.key_outcome(0, 0, KeyOutcome::Success, 5.0, 0.0));
        EXPECT_EQ(s.key_summaries(0)[0].requests, 1U);
        EXPECT_TRUE(s.key_outcome(0, 0, KeyOutcome::Success, 5.0, 0.0));  // the second success
    }
}

}  // namespace
}  // namespace velmorquist
