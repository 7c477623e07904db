// A host's leases of a fleet's token buckets, over plain fields so that the
// fields can live in a host-shared region and every process on the host
// spends one host-wide lease. The fleet's bucket lives in Redis; the host's
// syncer tops the lease up to about LEASE_SECONDS of the host's demand and
// hands back what sits unused. Until the first grant, and while Redis does
// not answer, the host spends its share of the limit instead: a local bucket
// with the limit and burst divided by the live hosts (none while their
// number is unknown).
#pragma once

#include <cstdint>

#include "core/policy/bucket_policy.hpp"

namespace velmorquist {

// One limit (requests or tokens) of one provider on this host.
struct LeaseFields {
    double held;        // granted and not yet spent; below zero a debt the next grant pays
    double asked;       // demand since the syncer last looked
    double largest;     // the largest single ask: a lease must cover it
    double demand;      // tokens per second, smoothed by the syncer
    BucketLevel share;  // the host's share, spent while not leased
};

// What the syncer asks the fleet for and hands back, at most one non-zero.
struct LeaseAsk {
    std::uint64_t want = 0;
    std::uint64_t back = 0;
};

// The host's share of a limit: capacity and rate divided by the live hosts.
// With `hosts` 0 (not known: the host never heard from its fleet) nothing:
// a host that assumed it was alone could admit the whole fleet's limit.
[[nodiscard]] BucketLimits share_limits(const BucketLimits& full, std::uint32_t hosts);

// A fresh lease: nothing held, a full share.
[[nodiscard]] LeaseFields fresh_lease(const BucketLimits& share, double now);

// Takes `n` from what is held, or (not leased) from the share beyond it.
// Counts the ask as demand either way; false when it cannot be covered.
[[nodiscard]] bool lease_take(LeaseFields& lease, const BucketLimits& share, bool leased,
                              std::uint64_t n, double now);

// Seconds until `n` could be taken; infinity when never.
[[nodiscard]] double lease_wait(LeaseFields& lease, const BucketLimits& full,
                                const BucketLimits& share, bool leased, std::uint64_t n,
                                double now);

// What the host spends now: held, plus the share while not leased.
[[nodiscard]] double lease_level(LeaseFields& lease, const BucketLimits& share, bool leased,
                                 double now);

// The syncer's look after `elapsed` seconds: updates the demand and says
// what to ask for or hand back (the hand-back is already deducted).
[[nodiscard]] LeaseAsk lease_wanted(LeaseFields& lease, const BucketLimits& full,
                                    std::uint32_t hosts, double elapsed);

// After a holder died: every field back in its valid range.
void repair_lease(LeaseFields& lease, const BucketLimits& full, double now) noexcept;

}  // namespace velmorquist
