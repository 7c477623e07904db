// The gateway's changing state for every worker process on a host, kept in
// a shared-memory region (region_file.hpp, shared_layout.hpp) and changed by
// the same policy functions the in-process cores use. Each provider's state
// is guarded by its own process-shared robust mutex; critical sections are a
// few field updates, so a holder's death leaves at most one operation half
// done, and the repair clamps every field back into its valid range.
// The gateway's in-process default is the same state in a private mapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/policy/circuit_breaker.hpp"
#include "core/base/clock.hpp"
#include "core/region/fork_guard.hpp"
#include "core/policy/key_strategies.hpp"
#include "core/policy/provider_profile.hpp"
#include "core/base/random.hpp"
#include "core/policy/rate_limiter.hpp"
#include "core/region/region_file.hpp"
#include "core/region/shared_layout.hpp"
#include "core/policy/stream_stats.hpp"
#include "core/policy/thompson_router.hpp"

namespace velmorquist {

// Seconds since boot on CLOCK_MONOTONIC: the same reading in every process,
// and what Python's time.monotonic() returns on Linux.
class HostClock final : public Clock {
public:
    [[nodiscard]] double now() const override;
};

struct HostProviderConfig {
    std::string name;
    ProviderProfile profile;
    CircuitBreakerConfig breaker;
    std::optional<RateLimitConfig> rate;
    std::optional<RateLimitConfig> token_rate;
    Strategy strategy = Strategy::Adaptive;
    std::vector<std::string> keys;  // only hashed; never stored
    std::vector<double> weights;
    std::vector<std::optional<std::uint64_t>> daily_limits;
};

struct HostConfig {
    std::vector<HostProviderConfig> providers;
    RouterConfig router;
};

// The request path's answers and outcomes; the binding exports their values
// by name, so Python never copies them. Each count sizes a check of input.
enum class BreakerAnswer : std::uint8_t { Refused, Allowed, Trial };
inline constexpr std::size_t kBreakerAnswerCount = 3;
enum class BreakerOutcome : std::uint8_t { Success, Failure, Neutral };
inline constexpr std::size_t kBreakerOutcomeCount = 3;
enum class KeyOutcome : std::uint8_t { Success, Error, RateLimited, Exhausted, Disabled, Enabled };
inline constexpr std::size_t kKeyOutcomeCount = 6;

// What a host tells its fleet, and the fleet tells a host.
// Reset: an operator closed a breaker, which the fleet hears as the end of its trip.
enum class FleetNote : std::uint8_t { Trip, Cool, Exhausted, Disabled, Enabled, Reset };
inline constexpr std::size_t kFleetNoteCount = 6;
static_assert(static_cast<std::size_t>(BreakerAnswer::Trial) + 1 == kBreakerAnswerCount);
static_assert(static_cast<std::size_t>(BreakerOutcome::Neutral) + 1 == kBreakerOutcomeCount);
static_assert(static_cast<std::size_t>(KeyOutcome::Enabled) + 1 == kKeyOutcomeCount);
static_assert(static_cast<std::size_t>(FleetNote::Reset) + 1 == kFleetNoteCount);

// Bits of KeySlot::fleet_notes.
enum FleetNoteBit : std::uint8_t { kNoteCool = 1, kNoteExhausted = 2, kNoteSwitched = 4 };

// One change for the fleet: `value` is seconds left for a trip or a
// cool-down, the day for an exhaustion, 0 otherwise. `k` is unused for a trip.
struct FleetChange {
    FleetNote what;
    std::size_t p;
    std::size_t k;
    double value;
};

enum class LeaseKind : std::uint8_t { Requests, Tokens };
inline constexpr std::size_t kLeaseKindCount = 2;
static_assert(static_cast<std::size_t>(LeaseKind::Tokens) + 1 == kLeaseKindCount);

// One lease's trade with the fleet's bucket, which Redis refills with the
// limit's own capacity and rate (so the fleet never recomputes them).
struct LeaseRequest {
    std::size_t p;
    LeaseKind kind;
    LeaseAsk ask;
    BucketLimits limits;
};

struct FleetStatus {
    bool degraded;
    std::uint32_t hosts;  // 0 until the host's syncer first heard from the fleet
};

struct StreamView {
    double latency_ms;  // the figure the router scores with
    Quantiles first_chunk;
    Quantiles chunk_gap;
};

struct KeyView {
    KeyStatus status;
    double health;
    std::uint64_t requests;
    std::uint64_t errors;
    double avg_latency_ms;
};

// Where a state's rate limits come from, decided once when it is made: its
// own buckets (a gateway alone, or a host), or leases of a fleet's buckets
// that a syncer keeps topped up (fleet_lease.hpp).
enum class LimitSource : std::uint8_t { LocalBuckets, FleetLeases };

// The parts: construction (state_build.cpp), crash repair (state_repair.cpp,
// one call per policy's own repair beside its field struct), the request
// path (shared_state.cpp) and the fleet syncer's side (shared_state_fleet.cpp).
class SharedState {
public:
    // Attaches to (creating or rebuilding as allowed) the region at `path`.
    [[nodiscard]] static std::expected<std::unique_ptr<SharedState>, RegionError> attach(
        const std::string& path, bool create, bool fresh, HostConfig config,
        std::shared_ptr<const Clock> clock, LimitSource limits);
    // The same state in this process's private memory: no file, keys hashed
    // under a secret that never leaves it. A forked child gets its own copy.
    [[nodiscard]] static std::expected<std::unique_ptr<SharedState>, RegionError> attach_private(
        HostConfig config, std::shared_ptr<const Clock> clock, LimitSource limits);

    [[nodiscard]] std::size_t provider_count() const { return providers_.size(); }
    // See RegionFile::damage; checked after every call from outside.
    [[nodiscard]] std::string damage() const { return region_.damage(); }
    // See RegionFile::still_named.
    [[nodiscard]] bool region_still_named() const { return region_.still_named(); }
    [[nodiscard]] std::size_t key_count(std::size_t p) const { return providers_[p].key_count; }
    [[nodiscard]] LimitSource limit_source() const { return limits_; }

    // ---- routing: positions in `candidates`, best first; ties keep the given order
    [[nodiscard]] std::vector<std::size_t> rank(std::span<const std::size_t> candidates,
                                                ThreadRandom& rng);
    [[nodiscard]] Posterior posterior(std::size_t p);
    // With fleet leases the outcome is also counted for the fleet's learning.
    void reward(std::size_t p, double reward);
    // Another host's outcome: the posterior learns it, the fleet's count does not.
    void learn_from_fleet(std::size_t p, double reward);
    void reset_posterior(std::size_t p);

    // ---- breaker
    [[nodiscard]] BreakerAnswer try_breaker(std::size_t p);
    // The new state when this outcome changed it.
    [[nodiscard]] std::optional<CircuitState> breaker_outcome(std::size_t p, bool trial,
                                                              BreakerOutcome outcome);
    // Closed with no failures counted, as an operator's reset; true when it
    // was not closed before.
    bool reset_breaker(std::size_t p);
    // Providers whose breaker would answer Trial now, in provider order.
    [[nodiscard]] std::vector<std::size_t> trial_candidates();
    [[nodiscard]] CircuitState breaker_state(std::size_t p);
    [[nodiscard]] double breaker_ready_in(std::size_t p);

    // ---- rate limits, from the state's LimitSource
    [[nodiscard]] double try_limits(std::size_t p, std::uint64_t tokens);
    [[nodiscard]] double limits_ready_in(std::size_t p, std::uint64_t tokens);
    // Gives back what a successful try_limits(p, tokens) took.
    void release_limits(std::size_t p, std::uint64_t tokens);
    void settle_tokens(std::size_t p, std::uint64_t reserved, std::uint64_t used);
    [[nodiscard]] std::pair<std::optional<double>, std::optional<double>> bucket_levels(
        std::size_t p);

    // ---- keys
    [[nodiscard]] std::optional<std::size_t> select_key(std::size_t p, ThreadRandom& rng);
    [[nodiscard]] double keys_ready_in(std::size_t p);
    bool key_outcome(std::size_t p, std::size_t k, KeyOutcome outcome, double latency_ms,
                     double cooldown_s);
    [[nodiscard]] std::vector<KeyView> key_summaries(std::size_t p);
    [[nodiscard]] bool daily_reset_due(std::int64_t day);

    // ---- latency and stream timing (shared_state_stream.cpp)
    // A measured latency for the router's figure; with `first_chunk` also a
    // stream's time to first chunk for its sketch. With fleet leases it is
    // also summed for the fleet's learning.
    void learn_latency(std::size_t p, double latency_ms, bool first_chunk);
    // `count` latencies averaging `mean_ms`, measured by a fleet's other
    // hosts: the figure learns them, the fleet's sums do not.
    void absorb_latency(std::size_t p, double mean_ms, std::uint32_t count);
    // Times between a stream's chunks, for their sketch.
    void chunk_gaps(std::size_t p, std::span<const double> gaps_ms);
    [[nodiscard]] StreamView stream_view(std::size_t p);

    // ---- the fleet syncer's side (shared_state_fleet.cpp)
    // Marks a change of this host for the syncer; a trip takes no key.
    void fleet_note(std::size_t p, std::size_t k, FleetNote what);
    // The changes noted since the last call, clearing the notes.
    [[nodiscard]] std::vector<FleetChange> fleet_changes();
    // Everything the host holds that the fleet should hold too (nothing cleared).
    [[nodiscard]] std::vector<FleetChange> fleet_holdings();
    // (successes, failures) per provider since the last call.
    [[nodiscard]] std::vector<std::pair<double, double>> fleet_take_outcomes();
    // (sum of latencies in ms, their count) per provider since the last call.
    [[nodiscard]] std::vector<std::pair<double, double>> fleet_take_latencies();
    // What to ask the fleet for and hand back after `elapsed` seconds; with
    // `every_lease`, also the leases with nothing to ask.
    [[nodiscard]] std::vector<LeaseRequest> fleet_lease_asks(double elapsed, bool every_lease);
    // Takes every whole token held, to hand back when the host leaves.
    [[nodiscard]] std::vector<LeaseRequest> fleet_hand_back();
    // Adds `amount` to a lease (a grant, or a hand-back that failed);
    // `leased` ends the spending of the share.
    void fleet_grant(std::size_t p, LeaseKind kind, double amount, bool leased);
    [[nodiscard]] FleetStatus fleet_status() const;
    // Degraded: every provider spends its share until the next grant.
    void fleet_set_degraded(bool degraded);
    // A new count of live hosts starts each share afresh.
    void fleet_set_hosts(std::uint32_t hosts);

#ifdef VELMORQUIST_TEST_HOOKS
    // Takes provider p's lock, writes one byte to `ready_fd` and never
    // returns (the test kills the process while it holds the lock).
    [[noreturn]] void park_holding_lock(std::size_t p, int ready_fd);
#endif

private:
    // Per provider, the two fleet counters given, zeroed as they are taken.
    [[nodiscard]] std::vector<std::pair<double, double>> take_fleet_counters(
        double FleetProviderFields::*first, double FleetProviderFields::*second);
    // What this process knows about one provider; the changing part is in
    // the region.
    struct Provider {
        std::uint32_t failure_threshold;
        std::uint32_t success_threshold;
        std::uint32_t trial_limit;  // trials in flight at once; at least one
        double recovery_timeout_secs;
        std::optional<BucketLimits> requests;
        std::optional<BucketLimits> tokens;
        Strategy strategy;
        std::size_t first_key;
        std::size_t key_count;
        // For scoring: the profile, and a Beta sampler remembered for the
        // posterior it was last built for (guarded by the provider's lock).
        ProviderState scoring;
        std::vector<double> scores;  // adaptive scratch, guarded by the provider's lock
    };

    SharedState(RegionFile region, RouterConfig router, std::vector<Provider> providers,
                std::vector<KeySlot> initial_keys, std::shared_ptr<const Clock> clock,
                LimitSource limits);
    // Both constructors' common part, once the region is mapped.
    [[nodiscard]] static std::expected<std::unique_ptr<SharedState>, RegionError> build(
        const HostConfig& config, const RegionSecret& secret, RegionRequest request,
        std::shared_ptr<const Clock> clock, LimitSource limits);
    // This process's view of each provider, from the configuration.
    [[nodiscard]] static std::vector<Provider> describe(const HostConfig& config);
    // Each key's fresh slot, identified under `secret`.
    [[nodiscard]] static std::vector<KeySlot> initial_key_slots(const HostConfig& config,
                                                                const RegionSecret& secret);
    // Fills a fresh region's slots (the initial state) for `providers`.
    static void fill_slots(std::byte* base, const std::vector<Provider>& providers,
                           const std::vector<KeySlot>& keys, double now);
    void guard_across_fork();

    [[nodiscard]] ProviderSlot& slot(std::size_t p) const;
    [[nodiscard]] std::span<KeySlot> keys(std::size_t p) const;
    [[nodiscard]] RegionHeader& header() const;
    [[nodiscard]] bool has_limits(std::size_t p, std::uint64_t tokens) const;
    // The provider's lock, with the repair its owner-died case needs.
    [[nodiscard]] RobustLock lock(std::size_t p);

    // Each of these takes provider p's lock itself.
    [[nodiscard]] double take_from_buckets(std::size_t p, std::uint64_t tokens);
    [[nodiscard]] double take_from_leases(std::size_t p, std::uint64_t tokens);
    void return_to_buckets(std::size_t p, std::uint64_t tokens);
    void return_to_leases(std::size_t p, std::uint64_t tokens);
    // Every provider's noted changes (clearing the notes), or with
    // `everything` all the region holds; takes each provider's lock in turn.
    [[nodiscard]] std::vector<FleetChange> collect_changes(bool everything);

    // REQUIRES provider p's lock, held by the caller (a RobustLock from lock(p)).
    // After a holder died: every field of provider p back in its valid range.
    void repair(std::size_t p) noexcept;
    // The breaker's recovery check.
    void recover(std::size_t p, ProviderSlot& s);
    // Whether try_breaker would hand out a trial now; recover() ran.
    [[nodiscard]] bool trial_slot_free(std::size_t p, const ProviderSlot& s, double now) const;
    // Seconds until the limits cover a call of `tokens` (buckets refilled first).
    [[nodiscard]] double bucket_wait(std::size_t p, ProviderSlot& s, std::uint64_t tokens,
                                     double now) const;
    [[nodiscard]] double lease_wait(std::size_t p, std::uint64_t tokens, double now) const;

    // The share of each limit for the current count of live hosts.
    [[nodiscard]] BucketLimits share_of(const BucketLimits& full) const;
    // Provider p's lease of `kind`, or nullptr where that limit is not set.
    [[nodiscard]] LeaseFields* lease_of(std::size_t p, LeaseKind kind) const;
    [[nodiscard]] const std::optional<BucketLimits>& limits_of(std::size_t p, LeaseKind kind) const;

    RegionFile region_;
    const ClockHandle clock_;
    const RouterConfig router_;
    const LimitSource limits_;
    std::vector<Provider> providers_;
    std::vector<KeySlot> initial_keys_;  // each key's fresh slot, for building and repair
    // Private memory only: its locks across fork (declared last, so it goes first).
    std::optional<ForkGuard> fork_guard_;
};

// The hash a region is made for: everything that gives its state a meaning,
// with keys by their identities.
[[nodiscard]] std::uint64_t config_hash(const HostConfig& config, const RegionSecret& secret);
// Identifies the key file a region was made with, without revealing it.
[[nodiscard]] std::uint32_t key_check(const RegionSecret& secret);
// A key's identity in the region: SipHash under the secret's first half.
[[nodiscard]] std::uint64_t key_identity(std::string_view key, const RegionSecret& secret);

}  // namespace velmorquist
