// The region's side of a FleetState over a host region: one set of leases
// per host that every process spends, the changes any process made that
// the host's syncer still has to tell the fleet, and the host's outcomes
// for the fleet's learning.
#include <algorithm>
#include <cmath>
#include <utility>

#include "core/region/shared_state.hpp"

namespace velmorquist {
namespace {

// A breaker that never recovers by itself still has to expire in Redis.
constexpr double kLongestTripSecs = 86400.0;
constexpr double kShortestTripSecs = 0.001;

}  // namespace

BucketLimits SharedState::share_of(const BucketLimits& full) const {
    return share_limits(full, header().fleet_hosts.load(std::memory_order_relaxed));
}

LeaseFields* SharedState::lease_of(std::size_t p, LeaseKind kind) const {
    if (!limits_of(p, kind)) return nullptr;
    FleetProviderFields& fleet = slot(p).fleet;
    return kind == LeaseKind::Requests ? &fleet.requests : &fleet.tokens;
}

const std::optional<BucketLimits>& SharedState::limits_of(std::size_t p, LeaseKind kind) const {
    return kind == LeaseKind::Requests ? providers_[p].requests : providers_[p].tokens;
}

// ---- limits -----------------------------------------------------------------

double SharedState::lease_wait(std::size_t p, std::uint64_t tokens, double now) const {
    const Provider& provider = providers_[p];
    FleetProviderFields& fleet = slot(p).fleet;
    const bool leased = fleet.leased != 0;
    double wait = 0.0;
    if (provider.requests)
        wait = velmorquist::lease_wait(fleet.requests, *provider.requests, share_of(*provider.requests), leased,
                          1, now);
    if (provider.tokens && tokens > 0)
        wait = std::max(wait, velmorquist::lease_wait(fleet.tokens, *provider.tokens,
                                         share_of(*provider.tokens), leased, tokens, now));
    return wait;
}

double SharedState::take_from_leases(std::size_t p, std::uint64_t tokens) {
    const Provider& provider = providers_[p];
    const bool count_tokens = provider.tokens && tokens > 0;
    RobustLock held = lock(p);
    FleetProviderFields& fleet = slot(p).fleet;
    const double now = clock_.now();
    const double wait = lease_wait(p, tokens, now);
    const bool leased = fleet.leased != 0;
    // Taking counts demand too, so a refused call still shapes the next lease.
    if (wait > 0.0) {
        if (provider.requests) fleet.requests.asked += 1.0;
        if (count_tokens) fleet.tokens.asked += static_cast<double>(tokens);
        return wait;
    }
    if (provider.requests)
        (void)lease_take(fleet.requests, share_of(*provider.requests), leased, 1, now);
    if (count_tokens)
        (void)lease_take(fleet.tokens, share_of(*provider.tokens), leased, tokens, now);
    return 0.0;
}

void SharedState::return_to_leases(std::size_t p, std::uint64_t tokens) {
    const Provider& provider = providers_[p];
    RobustLock held = lock(p);
    FleetProviderFields& fleet = slot(p).fleet;
    if (provider.requests) fleet.requests.held += 1.0;
    if (provider.tokens && tokens > 0) fleet.tokens.held += static_cast<double>(tokens);
}

// ---- learning ---------------------------------------------------------------

std::vector<std::pair<double, double>> SharedState::take_fleet_counters(
    double FleetProviderFields::*first, double FleetProviderFields::*second) {
    std::vector<std::pair<double, double>> taken;
    taken.reserve(providers_.size());
    for (std::size_t p = 0; p < providers_.size(); ++p) {
        RobustLock held = lock(p);
        FleetProviderFields& fleet = slot(p).fleet;
        taken.emplace_back(std::exchange(fleet.*first, 0.0), std::exchange(fleet.*second, 0.0));
    }
    return taken;
}

std::vector<std::pair<double, double>> SharedState::fleet_take_outcomes() {
    return take_fleet_counters(&FleetProviderFields::successes, &FleetProviderFields::failures);
}

// ---- trips and keys ---------------------------------------------------------

void SharedState::fleet_note(std::size_t p, std::size_t k, FleetNote what) {
    RobustLock held = lock(p);
    switch (what) {
        case FleetNote::Trip: slot(p).fleet.trip_noted = kTripNoted; return;
        case FleetNote::Reset: slot(p).fleet.trip_noted = kResetNoted; return;
        case FleetNote::Cool: keys(p)[k].fleet_notes |= kNoteCool; return;
        case FleetNote::Exhausted: keys(p)[k].fleet_notes |= kNoteExhausted; return;
        case FleetNote::Disabled:
        case FleetNote::Enabled: keys(p)[k].fleet_notes |= kNoteSwitched; return;
    }
}

std::vector<FleetChange> SharedState::fleet_changes() { return collect_changes(false); }

std::vector<FleetChange> SharedState::fleet_holdings() { return collect_changes(true); }

std::vector<FleetChange> SharedState::collect_changes(bool everything) {
    std::vector<FleetChange> changes;
    const double day = static_cast<double>(header().reset_day.load());
    for (std::size_t p = 0; p < providers_.size(); ++p) {
        RobustLock held = lock(p);
        ProviderSlot& s = slot(p);
        const double now = clock_.now();
        // What the region holds now is what the fleet hears: a trip that
        // already recovered, or a cool-down that ended, is not worth telling.
        if (!everything && s.fleet.trip_noted == kResetNoted &&
            s.breaker.state != CircuitState::Open)
            changes.push_back({FleetNote::Reset, p, 0, 0.0});
        if ((everything || s.fleet.trip_noted == kTripNoted) &&
            s.breaker.state == CircuitState::Open) {
            const double left = s.breaker.opened_at + providers_[p].recovery_timeout_secs - now;
            const double seconds = std::isnan(left) ? kLongestTripSecs
                                                    : std::min(left, kLongestTripSecs);
            if (seconds > 0.0)
                changes.push_back({FleetNote::Trip, p, 0, std::max(seconds, kShortestTripSecs)});
        }
        if (!everything) s.fleet.trip_noted = 0;
        std::span<KeySlot> records = keys(p);
        for (std::size_t k = 0; k < records.size(); ++k) {
            KeySlot& key = records[k];
            const std::uint8_t notes = everything ? kNoteCool | kNoteExhausted : key.fleet_notes;
            if (!everything) key.fleet_notes = 0;
            if ((notes & kNoteCool) != 0 && is_cooling(key.status) && key.cooldown_until > now)
                changes.push_back({FleetNote::Cool, p, k, key.cooldown_until - now});
            if ((notes & kNoteExhausted) != 0 && key.status == KeyStatus::Exhausted)
                changes.push_back({FleetNote::Exhausted, p, k, day});
            const bool disabled = key.status == KeyStatus::Disabled;
            if (everything && disabled) changes.push_back({FleetNote::Disabled, p, k, 0.0});
            if (!everything && (notes & kNoteSwitched) != 0)
                changes.push_back({disabled ? FleetNote::Disabled : FleetNote::Enabled, p, k, 0.0});
        }
    }
    return changes;
}

// ---- leases -----------------------------------------------------------------

std::vector<LeaseRequest> SharedState::fleet_lease_asks(double elapsed, bool every_lease) {
    std::vector<LeaseRequest> asks;
    const std::uint32_t hosts = header().fleet_hosts.load(std::memory_order_relaxed);
    for (std::size_t p = 0; p < providers_.size(); ++p) {
        for (LeaseKind kind : {LeaseKind::Requests, LeaseKind::Tokens}) {
            LeaseFields* lease = lease_of(p, kind);
            if (lease == nullptr) continue;
            RobustLock held = lock(p);
            const LeaseAsk ask = lease_wanted(*lease, *limits_of(p, kind), hosts, elapsed);
            if (every_lease || ask.want > 0 || ask.back > 0 || slot(p).fleet.leased == 0)
                asks.push_back({p, kind, ask, *limits_of(p, kind)});
        }
    }
    return asks;
}

std::vector<LeaseRequest> SharedState::fleet_hand_back() {
    std::vector<LeaseRequest> backs;
    for (std::size_t p = 0; p < providers_.size(); ++p) {
        for (LeaseKind kind : {LeaseKind::Requests, LeaseKind::Tokens}) {
            LeaseFields* lease = lease_of(p, kind);
            if (lease == nullptr) continue;
            RobustLock held = lock(p);
            // Whole tokens go back; a fraction or a debt stays.
            const double whole = std::floor(lease->held);
            if (!(whole >= 1.0)) continue;
            lease->held -= whole;
            backs.push_back(
                {p, kind, LeaseAsk{0, static_cast<std::uint64_t>(whole)}, *limits_of(p, kind)});
        }
    }
    return backs;
}

void SharedState::fleet_grant(std::size_t p, LeaseKind kind, double amount, bool leased) {
    LeaseFields* lease = lease_of(p, kind);
    // Redis grants whole tokens; anything else would spoil the lease for good.
    if (lease == nullptr || !std::isfinite(amount)) return;
    RobustLock held = lock(p);
    lease->held += amount;
    if (leased) slot(p).fleet.leased = 1;
}

FleetStatus SharedState::fleet_status() const {
    const RegionHeader& h = header();
    const std::uint32_t hosts = h.fleet_hosts.load(std::memory_order_relaxed);
    return FleetStatus{h.fleet_degraded.load(std::memory_order_relaxed) != 0, hosts};
}

void SharedState::fleet_set_degraded(bool degraded) {
    header().fleet_degraded.store(degraded ? 1 : 0, std::memory_order_relaxed);
    if (!degraded) return;
    for (std::size_t p = 0; p < providers_.size(); ++p) {
        RobustLock held = lock(p);
        slot(p).fleet.leased = 0;
    }
}

void SharedState::fleet_set_hosts(std::uint32_t hosts) {
    hosts = std::max<std::uint32_t>(hosts, 1);
    if (header().fleet_hosts.exchange(hosts) == hosts) return;
    const double now = clock_.now();
    for (std::size_t p = 0; p < providers_.size(); ++p) {
        for (LeaseKind kind : {LeaseKind::Requests, LeaseKind::Tokens}) {
            LeaseFields* lease = lease_of(p, kind);
            if (lease == nullptr) continue;
            RobustLock held = lock(p);
            lease->share = BucketLevel{share_of(*limits_of(p, kind)).capacity_tokens, now};
        }
    }
}

}  // namespace velmorquist
