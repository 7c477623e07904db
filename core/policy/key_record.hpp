// One API key's record in a key pool: its configuration, lifecycle status and
// usage metrics, plus the values derived from them on demand (average latency,
// health score) and the masked form shown in summaries.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velmorquist {

enum class KeyStatus : std::uint8_t { Active, RateLimited, CoolingDown, Disabled, Exhausted };
// Sizes the tables indexed by status; Exhausted stays the last status.
inline constexpr std::size_t kKeyStatusCount = 5;
static_assert(static_cast<std::size_t>(KeyStatus::Exhausted) + 1 == kKeyStatusCount);

// Rate limited or cooling down: usable again once its cool-down ends.
[[nodiscard]] constexpr bool is_cooling(KeyStatus status) {
    return status == KeyStatus::RateLimited || status == KeyStatus::CoolingDown;
}

[[nodiscard]] std::string_view status_text(KeyStatus status);

// Fixed per pool; nothing outside the pool reads or writes them.
struct HealthWeights {
    double success_weight = 0.4;
    double error_weight = 0.3;
    double rate_limit_weight = 0.2;
    double latency_weight = 0.1;
};

// The most recent latencies, oldest first, in storage of fixed size and no
// pointers, so a record in a shared-memory region keeps the same window.
struct LatencyWindow {
    static constexpr std::size_t kCapacity = 100;

    // Drops the oldest sample when full.
    void push(double sample) noexcept {
        mean_known = 0;
        if (size < kCapacity) {
            samples[(head + size) % kCapacity] = sample;
            ++size;
            return;
        }
        // Full: the oldest slot becomes the newest.
        samples[head] = sample;
        head = (head + 1) % kCapacity;
    }
    // i = 0 is the oldest sample.
    [[nodiscard]] double operator[](std::size_t i) const noexcept {
        return samples[(head + i) % kCapacity];
    }
    // Mean, summed oldest to newest; 0.0 when empty. Remembered until the
    // next push, so scoring a large pool repeatedly does not re-add every
    // window; the value is the same as a fresh summation.
    [[nodiscard]] double mean() const noexcept;

    double samples[kCapacity];
    std::uint64_t head = 0;  // position of the oldest sample
    std::uint64_t size = 0;
    mutable double mean_cache = 0.0;
    mutable std::uint64_t mean_known = 1;
};

// A LatencyWindow allocated once, when the ring is built, so recording a
// success never allocates and records move cheaply.
class LatencyRing {
public:
    static constexpr std::size_t kCapacity = LatencyWindow::kCapacity;

    LatencyRing();
    LatencyRing(const LatencyRing& other);
    LatencyRing& operator=(const LatencyRing& other);
    LatencyRing(LatencyRing&&) noexcept = default;
    LatencyRing& operator=(LatencyRing&&) noexcept = default;

    void push(double sample) noexcept { window_->push(sample); }
    [[nodiscard]] std::size_t size() const noexcept { return window_->size; }
    [[nodiscard]] double operator[](std::size_t i) const noexcept { return (*window_)[i]; }
    [[nodiscard]] double mean() const noexcept { return window_->mean(); }

private:
    std::unique_ptr<LatencyWindow> window_;
};

struct KeyRecord {
    KeyRecord(std::string key_text, double key_weight, std::optional<std::uint64_t> limit)
        : key(std::move(key_text)), daily_limit(limit), weight(key_weight) {}

    std::string key;
    std::optional<std::uint64_t> daily_limit;
    LatencyRing latencies;
    std::uint64_t total_requests = 0;
    std::uint64_t total_errors = 0;
    std::uint64_t total_rate_limits = 0;
    double weight = 1.0;
    std::uint64_t daily_count = 0;
    double cooldown_until = 0.0;
    KeyStatus status = KeyStatus::Active;
};

// Every function below works on any record with KeyRecord's counters, status
// and `latencies`: a KeyRecord here, a key's slot in a shared-memory region.

template <class Record>
[[nodiscard]] double avg_latency_ms(const Record& record) noexcept {
    return record.latencies.mean();
}

// In [0, 1]: success rate against error, rate-limit and latency penalties.
template <class Record>
[[nodiscard]] double health_score(const Record& record, const HealthWeights& weights) noexcept {
    constexpr double kLatencyScaleMs = 5000.0;
    double success = 1.0;
    double errors = 0.0;
    double rate_limits = 0.0;
    if (const std::uint64_t requests = record.total_requests; requests != 0) {
        const auto r = static_cast<double>(requests);
        // Every error also counted a request, so the difference cannot wrap.
        success = static_cast<double>(requests - record.total_errors) / r;
        errors = static_cast<double>(record.total_errors) / r;
        rate_limits = static_cast<double>(record.total_rate_limits) / r;
    }
    const double average = avg_latency_ms(record);
    // An undefined average (inf and -inf samples) counts as the slowest.
    const double latency = std::isnan(average) ? 1.0 : std::min(average / kLatencyScaleMs, 1.0);
    const double x = weights.success_weight * success - weights.error_weight * errors -
                     weights.rate_limit_weight * rate_limits - weights.latency_weight * latency;
    const double floored = x > 0.0 ? x : 0.0;
    return floored < 1.0 ? floored : 1.0;
}

// ---- what each piece of feedback does to a record ---------------------------

template <class Record>
void note_success(Record& record, double latency_ms) noexcept {
    ++record.total_requests;
    ++record.daily_count;
    record.latencies.push(latency_ms);
}

template <class Record>
void note_error(Record& record) noexcept {
    ++record.total_requests;
    ++record.total_errors;
}

template <class Record>
void note_rate_limit(Record& record, double cooldown_until) noexcept {
    ++record.total_requests;
    ++record.total_rate_limits;
    record.status = KeyStatus::RateLimited;
    record.cooldown_until = cooldown_until;
}

template <class Record>
void note_enabled(Record& record) noexcept {
    record.status = KeyStatus::Active;
    record.cooldown_until = 0.0;
}

// After the holder of a shared record's lock died mid-update: the status a
// known one, counts that never exceed the requests, a deadline that is a
// number, and a latency window whose cached mean is recomputed.
template <class Record>
void repair_key_record(Record& record, double now) noexcept {
    if (static_cast<std::size_t>(record.status) >= kKeyStatusCount) record.status = KeyStatus::Active;
    if (record.total_errors > record.total_requests) record.total_errors = record.total_requests;
    if (record.total_rate_limits > record.total_requests)
        record.total_rate_limits = record.total_requests;
    if (std::isnan(record.cooldown_until)) record.cooldown_until = now;
    LatencyWindow& window = record.latencies;
    window.head %= LatencyWindow::kCapacity;
    if (window.size > LatencyWindow::kCapacity) window.size = LatencyWindow::kCapacity;
    window.mean_known = 0;
}

template <class Record>
void note_daily_reset(Record& record) noexcept {
    record.daily_count = 0;
    if (record.status == KeyStatus::Exhausted) record.status = KeyStatus::Active;
}

// The expiry pass before a selection: cooled keys become active again.
// Returns whether any key is still cooling.
template <class Records>
bool expire_cooldowns(Records& records, double now) noexcept {
    bool still_cooling = false;
    for (auto& record : records) {
        if (!is_cooling(record.status)) continue;
        // A NaN deadline compares false and so never expires.
        if (record.cooldown_until <= now)
            record.status = KeyStatus::Active;
        else
            still_cooling = true;
    }
    return still_cooling;
}

// "***" below 9 bytes; otherwise the first and last 4 bytes around "...".
// A cut that would split a UTF-8 sequence moves inwards to the character
// boundary, so the result is valid UTF-8 and never shows more than 4 bytes
// at either end.
[[nodiscard]] std::string key_masked(std::string_view key);

}  // namespace velmorquist
