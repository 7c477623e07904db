#include "core/key_record.hpp"

#include <algorithm>
#include <cmath>

namespace velmorquist {
namespace {

constexpr double kLatencyScaleMs = 5000.0;
constexpr std::size_t kMaskThreshold = 9;
constexpr std::size_t kMaskShown = 4;

bool is_continuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0U) == 0x80U;
}

}  // namespace

std::string_view status_text(KeyStatus status) {
    switch (status) {
        case KeyStatus::Active: return "active";
        case KeyStatus::RateLimited: return "rate_limited";
        case KeyStatus::CoolingDown: return "cooling_down";
        case KeyStatus::Disabled: return "disabled";
        case KeyStatus::Exhausted: return "exhausted";
    }
    return "active";  // unreachable: the switch covers every status
}

LatencyRing::LatencyRing() : samples_(std::make_unique_for_overwrite<double[]>(kCapacity)) {}

LatencyRing::LatencyRing(const LatencyRing& other)
    : samples_(std::make_unique_for_overwrite<double[]>(kCapacity)),
      head_(other.head_),
      size_(other.size_),
      mean_(other.mean_),
      mean_known_(other.mean_known_) {
    std::copy_n(other.samples_.get(), kCapacity, samples_.get());
}

LatencyRing& LatencyRing::operator=(const LatencyRing& other) {
    if (this != &other) *this = LatencyRing(other);
    return *this;
}

void LatencyRing::push(double sample) noexcept {
    mean_known_ = false;
    if (size_ < kCapacity) {
        samples_[(head_ + size_) % kCapacity] = sample;
        ++size_;
        return;
    }
    // Full: the oldest slot becomes the newest.
    samples_[head_] = sample;
    head_ = (head_ + 1) % kCapacity;
}

double LatencyRing::mean() const noexcept {
    if (mean_known_) return mean_;
    double sum = 0.0;
    for (std::size_t i = 0; i < size_; ++i) sum += (*this)[i];
    mean_ = sum / static_cast<double>(size_);  // size_ > 0: only a push forgets the mean
    mean_known_ = true;
    return mean_;
}

double health_score(const KeyRecord& record, const HealthWeights& weights) noexcept {
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

std::string key_masked(std::string_view key) {
    if (key.size() < kMaskThreshold) return "***";
    std::size_t head = kMaskShown;
    while (head > 0 && is_continuation(key[head])) --head;
    std::size_t tail = key.size() - kMaskShown;
    while (tail < key.size() && is_continuation(key[tail])) ++tail;
    std::string masked;
    masked.reserve(head + 3 + (key.size() - tail));
    masked.append(key.substr(0, head));
    masked.append("...");
    masked.append(key.substr(tail));
    return masked;
}

}  // namespace velmorquist
