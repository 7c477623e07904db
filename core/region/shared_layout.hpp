// The host-shared region's on-disk format: a header, then one slot per
// provider, then one slot per key (providers' keys in order). Every field has
// a fixed size and offset, nothing holds a pointer, times are seconds on the
// raw CLOCK_MONOTONIC clock (which every process on a host reads alike).
//
// The magic and the layout version sit at offsets 0 and 8 in every version,
// so a region written by another version is recognised as ours and refused
// or rebuilt rather than misread. Raise kLayoutVersion with any change below.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/policy/circuit_breaker.hpp"
#include "core/policy/bucket_policy.hpp"
#include "core/policy/fleet_lease.hpp"
#include "core/policy/key_record.hpp"
#include "core/region/robust_mutex.hpp"
#include "core/policy/stream_stats.hpp"

namespace velmorquist {

inline constexpr std::uint64_t kRegionMagic = 0x54534f48514d4c56ULL;  // "VLMQHOST" read little-endian
inline constexpr std::uint32_t kLayoutVersion = 5;
inline constexpr std::size_t kBootIdBytes = 40;
inline constexpr std::size_t kSlotAlign = 64;  // one cache line: providers never share one

struct RegionHeader {
    std::uint64_t magic;
    std::uint32_t layout_version;
    std::uint32_t header_bytes;
    std::uint64_t region_bytes;
    std::uint32_t provider_slot_bytes;
    std::uint32_t key_slot_bytes;
    std::uint32_t provider_count;
    std::uint32_t key_count;
    // Of everything that gives the state its meaning: providers, key
    // identities, limits, strategies, router settings.
    std::uint64_t config_hash;
    // The boot the monotonic times were read in; another boot's are meaningless.
    char boot_id[kBootIdBytes];
    // 1 once initialisation finished; 0 in a region whose building was cut short.
    std::atomic<std::uint32_t> ready;
    // Of the key file the region was made with (key_check()), so a key file
    // replaced under a running host is named as the cause.
    std::uint32_t key_check;
    // The latest day whose daily reset has been done.
    std::atomic<std::int64_t> reset_day;
    // Written by the host's fleet syncer (FleetState), read by every process.
    std::atomic<std::uint32_t> fleet_hosts;     // live hosts of the fleet; 0 before it is known
    std::atomic<std::uint32_t> fleet_degraded;  // 1 while the syncer cannot reach Redis
};

// Values of FleetProviderFields::trip_noted; a later note replaces an earlier one.
inline constexpr std::uint32_t kTripNoted = 1;
inline constexpr std::uint32_t kResetNoted = 2;

// What a host in a fleet keeps per provider beside its own state.
struct FleetProviderFields {
    LeaseFields requests;
    LeaseFields tokens;
    // Outcomes of this host's calls since the syncer last took them.
    double successes;
    double failures;
    std::uint32_t leased;      // 0 before the first grant and while degraded: spend the share
    std::uint32_t trip_noted;  // kTripNoted or kResetNoted: still to be told to the fleet
    // Latencies this host measured since the syncer last took them.
    double latency_sum_ms;
    double latency_count;
};

// One provider's changing state, all of it guarded by `mutex`.
struct alignas(kSlotAlign) ProviderSlot {
    RobustMutex mutex;
    BreakerFields breaker;
    // Half-open trial calls handed out and not yet settled, host-wide.
    std::uint32_t trials_in_flight;
    std::uint32_t maybe_cooling;  // 0 only while no key is rate limited or cooling
    double last_trial_at;
    // 1 while the breaker is not closed. Written under `mutex`, read without
    // it: the trial check before every request is then one load per provider.
    std::atomic<std::uint32_t> unclosed;
    std::uint32_t reserved;
    BucketLevel requests;
    BucketLevel tokens;
    double alpha;
    double beta;
    std::uint64_t cursor;  // round-robin position among the provider's keys
    FleetProviderFields fleet;
    StreamTimingFields timing;
};

// One key: identity, status and usage, guarded by its provider's mutex.
struct alignas(kSlotAlign) KeySlot {
    std::uint64_t identity;  // keyed hash of the key text; the text never enters the region
    KeyStatus status;
    std::uint8_t has_daily_limit;
    std::uint8_t fleet_notes;  // FleetNoteBit: changes still to be told to the fleet
    std::uint8_t reserved[5];
    std::uint64_t daily_limit;
    std::uint64_t total_requests;
    std::uint64_t total_errors;
    std::uint64_t total_rate_limits;
    std::uint64_t daily_count;
    double weight;
    double cooldown_until;
    LatencyWindow latencies;
};

static_assert(std::is_standard_layout_v<RegionHeader>);
static_assert(std::is_standard_layout_v<ProviderSlot>);
static_assert(std::is_standard_layout_v<KeySlot>);
static_assert(std::atomic<std::uint32_t>::is_always_lock_free &&
              std::atomic<std::int64_t>::is_always_lock_free,
              "the header's atomics must work across processes");
static_assert(offsetof(RegionHeader, magic) == 0 && offsetof(RegionHeader, layout_version) == 8);

// Where each part lies in a region for `providers` providers and `keys` keys.
struct RegionGeometry {
    std::size_t provider_offset;
    std::size_t key_offset;
    std::size_t total_bytes;
};

[[nodiscard]] constexpr std::size_t round_up(std::size_t value, std::size_t step) {
    return (value + step - 1) / step * step;
}

[[nodiscard]] constexpr RegionGeometry region_geometry(std::size_t providers, std::size_t keys) {
    const std::size_t provider_offset = round_up(sizeof(RegionHeader), kSlotAlign);
    const std::size_t key_offset = provider_offset + providers * sizeof(ProviderSlot);
    return {provider_offset, key_offset, key_offset + keys * sizeof(KeySlot)};
}

}  // namespace velmorquist
