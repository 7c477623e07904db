#include "core/policy/fleet_lease.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace velmorquist {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Seconds of recent demand a host keeps in hand.
constexpr double kLeaseSeconds = 1.5;
// How fast the demand estimate follows a change (weight of the newest look).
constexpr double kDemandWeight = 0.5;
// While leased, the syncer tops up within its next round.
constexpr double kNextTopUp = 0.05;

// A count of tokens for Redis; a lease far beyond any bucket (a damaged
// field) is held to 2^53, where doubles still count whole tokens exactly.
std::uint64_t whole_tokens(double amount) {
    constexpr double kLargest = 9007199254740992.0;
    return static_cast<std::uint64_t>(std::clamp(amount, 0.0, kLargest));
}

// The share refilled to now, and never above its capacity: a share that
// shrank (more hosts, or none known) spends no more than it now allows.
void refill_share(LeaseFields& lease, const BucketLimits& share, double now) {
    bucket_refill(lease.share, share, now);
    lease.share.tokens = std::min(lease.share.tokens, share.capacity_tokens);
}

}  // namespace

BucketLimits share_limits(const BucketLimits& full, std::uint32_t hosts) {
    if (hosts == 0) return BucketLimits{0, 0.0, 0.0};
    const double capacity = std::max(1.0, full.capacity_tokens / hosts);
    return BucketLimits{std::max<std::uint64_t>(full.capacity / hosts, 1), capacity,
                        full.refill_rate / hosts};
}

LeaseFields fresh_lease(const BucketLimits& share, double now) {
    return LeaseFields{0.0, 0.0, 1.0, 0.0, BucketLevel{share.capacity_tokens, now}};
}

bool lease_take(LeaseFields& lease, const BucketLimits& share, bool leased, std::uint64_t n,
                double now) {
    const double asked = static_cast<double>(n);
    lease.asked += asked;
    lease.largest = std::max(lease.largest, asked);
    if (lease.held >= asked) {
        lease.held -= asked;
        return true;
    }
    if (leased) return false;
    refill_share(lease, share, now);
    const double missing = asked - std::max(lease.held, 0.0);
    if (lease.share.tokens < missing) return false;
    lease.share.tokens -= missing;
    lease.held = std::min(lease.held, 0.0);
    return true;
}

double lease_wait(LeaseFields& lease, const BucketLimits& full, const BucketLimits& share,
                  bool leased, std::uint64_t n, double now) {
    if (n > full.capacity) return kInfinity;
    const double missing = static_cast<double>(n) - lease.held;
    if (missing <= 0.0) return 0.0;
    if (leased) {
        if (!(full.refill_rate > 0.0)) return kInfinity;
        return std::max(kNextTopUp, missing / full.refill_rate);
    }
    refill_share(lease, share, now);
    if (missing > share.capacity_tokens) return kInfinity;
    const double short_by = missing - lease.share.tokens;
    if (short_by <= 0.0) return 0.0;
    return share.refill_rate > 0.0 ? short_by / share.refill_rate : kInfinity;
}

double lease_level(LeaseFields& lease, const BucketLimits& share, bool leased, double now) {
    if (leased) return lease.held;
    refill_share(lease, share, now);
    return lease.held + lease.share.tokens;
}

LeaseAsk lease_wanted(LeaseFields& lease, const BucketLimits& full, std::uint32_t hosts,
                      double elapsed) {
    if (elapsed > 0.0) {
        lease.demand += kDemandWeight * (lease.asked / elapsed - lease.demand);
        lease.asked = 0.0;
    }
    const double largest = std::max(lease.largest, 1.0);
    // Never more than the host's share of the bucket, never less than the
    // largest single ask (or that call could never go out) and one token.
    const double divisor = hosts > 1 ? static_cast<double>(hosts) : 1.0;
    const double ceiling = std::max({largest, std::floor(full.capacity_tokens / divisor), 1.0});
    const double target =
        std::min(std::max({std::ceil(kLeaseSeconds * lease.demand), 1.0, largest}), ceiling);
    if (lease.held < target / 2 || lease.held < largest)
        return LeaseAsk{whole_tokens(std::ceil(target - lease.held)), 0};
    if (lease.held > 2 * target) {
        const std::uint64_t back = whole_tokens(std::floor(lease.held - target));
        lease.held -= static_cast<double>(back);
        return LeaseAsk{0, back};
    }
    return LeaseAsk{};
}

void repair_lease(LeaseFields& lease, const BucketLimits& full, double now) noexcept {
    if (!std::isfinite(lease.held)) lease.held = 0.0;
    if (!(lease.asked >= 0.0) || !std::isfinite(lease.asked)) lease.asked = 0.0;
    if (!(lease.largest >= 1.0) || lease.largest > full.capacity_tokens) lease.largest = 1.0;
    if (!(lease.demand >= 0.0) || !std::isfinite(lease.demand)) lease.demand = 0.0;
    if (!(lease.share.tokens >= 0.0)) lease.share.tokens = 0.0;
    if (lease.share.tokens > full.capacity_tokens) lease.share.tokens = full.capacity_tokens;
    if (!std::isfinite(lease.share.last_refill)) lease.share.last_refill = now;
}

}  // namespace velmorquist
