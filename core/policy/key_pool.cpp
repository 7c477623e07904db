#include "core/policy/key_pool.hpp"

#include <algorithm>

namespace velmorquist {

KeyPoolCore::KeyPoolCore(Strategy strategy, std::shared_ptr<const Clock> clock)
    : strategy_(strategy), clock_(std::move(clock)) {}

template <class Event>
void KeyPoolCore::apply(std::string_view key, Event&& event) {
    std::lock_guard lock(mutex_);
    if (KeyRecord* record = keys_.find(key)) event(*record);
}

void KeyPoolCore::add_key(std::string_view key, double weight,
                          std::optional<std::uint64_t> daily_limit) {
    // The new record (and its latency ring) is built before taking the lock.
    KeyRecord fresh(std::string(key), weight, daily_limit);
    std::lock_guard lock(mutex_);
    // Grown ahead of the insertion, so selection never allocates and a
    // failed allocation leaves the pool as it was.
    if (strategy_ == Strategy::Adaptive && scores_.size() <= keys_.size())
        scores_.resize(keys_.size() + 1);
    keys_.insert_or_replace(std::move(fresh));
}

bool KeyPoolCore::remove_key(std::string_view key) {
    std::lock_guard lock(mutex_);
    if (!keys_.erase(key)) return false;
    cursor_ = keys_.empty() ? 0 : cursor_ % keys_.size();
    return true;
}

bool KeyPoolCore::has_key(std::string_view key) {
    std::lock_guard lock(mutex_);
    return keys_.position(key).has_value();
}

void KeyPoolCore::record_success(std::string_view key, double latency_ms) {
    apply(key, [latency_ms](KeyRecord& record) { note_success(record, latency_ms); });
}

void KeyPoolCore::record_error(std::string_view key) {
    apply(key, [](KeyRecord& record) { note_error(record); });
}

void KeyPoolCore::record_rate_limit(std::string_view key, double cooldown_secs) {
    std::lock_guard lock(mutex_);
    const double now = clock_.now();
    KeyRecord* record = keys_.find(key);
    if (record == nullptr) return;
    note_rate_limit(*record, now + cooldown_secs);
    maybe_cooling_ = true;
}

void KeyPoolCore::record_exhausted(std::string_view key) {
    apply(key, [](KeyRecord& record) { record.status = KeyStatus::Exhausted; });
}

void KeyPoolCore::disable_key(std::string_view key) {
    apply(key, [](KeyRecord& record) { record.status = KeyStatus::Disabled; });
}

void KeyPoolCore::enable_key(std::string_view key) {
    apply(key, [](KeyRecord& record) { note_enabled(record); });
}

void KeyPoolCore::reset_daily_counters() {
    std::lock_guard lock(mutex_);
    for (KeyRecord& record : keys_.records()) note_daily_reset(record);
}

std::expected<void, ProxyError> KeyPoolCore::select_key_into(ThreadRandom& rng, KeyText& out) {
    std::lock_guard lock(mutex_);
    std::span<KeyRecord> records = keys_.records();
    if (maybe_cooling_) maybe_cooling_ = expire_cooldowns(records, clock_.now());

    // Adaptive scratch holds at least one entry per key; other strategies ignore it.
    const std::span<double> scores =
        strategy_ == Strategy::Adaptive ? std::span(scores_).first(records.size())
                                        : std::span<double>();
    const std::optional<std::size_t> chosen =
        pick_key(strategy_, records, cursor_, weights_, scores, rng);
    if (!chosen) {
        const auto active = std::count_if(records.begin(), records.end(), [](const KeyRecord& r) {
            return r.status == KeyStatus::Active;
        });
        return std::unexpected(ProxyError(NoAvailableKeys{
            static_cast<std::uint64_t>(records.size()), static_cast<std::uint64_t>(active)}));
    }
    KeyRecord& record = records[*chosen];
    // Copied before counting, so a failed copy does not count a selection.
    out.assign(record.key);
    note_selected(strategy_, record);
    return {};
}

std::expected<std::string, ProxyError> KeyPoolCore::select_key(ThreadRandom& rng) {
    KeyText key;
    if (auto selected = select_key_into(rng, key); !selected)
        return std::unexpected(std::move(selected.error()));
    return std::string(key.view());
}

std::vector<KeySnapshot> KeyPoolCore::list_keys() {
    std::lock_guard lock(mutex_);
    std::vector<KeySnapshot> snapshots;
    snapshots.reserve(keys_.size());
    for (const KeyRecord& record : keys_.records()) {
        snapshots.push_back(KeySnapshot{
            .key_masked = key_masked(record.key),
            .status = record.status,
            .total_requests = record.total_requests,
            .total_errors = record.total_errors,
            .total_rate_limits = record.total_rate_limits,
            .avg_latency_ms = avg_latency_ms(record),
            .health_score = health_score(record, weights_),
            .weight = record.weight,
        });
    }
    return snapshots;
}

std::size_t KeyPoolCore::size() {
    std::lock_guard lock(mutex_);
    return keys_.size();
}

std::optional<KeyRecord> KeyPoolCore::record(std::string_view key) {
    std::lock_guard lock(mutex_);
    if (const KeyRecord* found = keys_.find(key)) return *found;
    return std::nullopt;
}

std::uint64_t KeyPoolCore::cursor() {
    std::lock_guard lock(mutex_);
    return cursor_;
}

}  // namespace velmorquist
