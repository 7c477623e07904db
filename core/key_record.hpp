// One API key's record in a key pool: its configuration, lifecycle status and
// usage metrics, plus the values derived from them on demand (average latency,
// health score) and the masked form shown in summaries.
#pragma once

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

[[nodiscard]] std::string_view status_text(KeyStatus status);

// Fixed per pool; nothing outside the pool reads or writes them.
struct HealthWeights {
    double success_weight = 0.4;
    double error_weight = 0.3;
    double rate_limit_weight = 0.2;
    double latency_weight = 0.1;
};

// The most recent latencies, oldest first. The buffer is allocated once, when
// the ring is built, so recording a success never allocates.
class LatencyRing {
public:
    static constexpr std::size_t kCapacity = 100;

    LatencyRing();
    LatencyRing(const LatencyRing& other);
    LatencyRing& operator=(const LatencyRing& other);
    LatencyRing(LatencyRing&&) noexcept = default;
    LatencyRing& operator=(LatencyRing&&) noexcept = default;

    // Drops the oldest sample when full.
    void push(double sample) noexcept;
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    // i = 0 is the oldest sample.
    [[nodiscard]] double operator[](std::size_t i) const noexcept {
        return samples_[(head_ + i) % kCapacity];
    }
    // Mean, summed oldest to newest; 0.0 when empty. Remembered until the
    // next push, so scoring a large pool repeatedly does not re-add every
    // window; the value is the same as a fresh summation.
    [[nodiscard]] double mean() const noexcept;

private:
    std::unique_ptr<double[]> samples_;
    std::size_t head_ = 0;  // position of the oldest sample
    std::size_t size_ = 0;
    mutable double mean_ = 0.0;
    mutable bool mean_known_ = true;
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

[[nodiscard]] inline double avg_latency_ms(const KeyRecord& record) noexcept {
    return record.latencies.mean();
}

// In [0, 1]: success rate against error, rate-limit and latency penalties.
[[nodiscard]] double health_score(const KeyRecord& record, const HealthWeights& weights) noexcept;

// "***" below 9 bytes; otherwise the first and last 4 bytes around "...".
// A cut that would split a UTF-8 sequence moves inwards to the character
// boundary, so the result is valid UTF-8 and never shows more than 4 bytes
// at either end.
[[nodiscard]] std::string key_masked(std::string_view key);

}  // namespace velmorquist
