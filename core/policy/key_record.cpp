#include "core/policy/key_record.hpp"

namespace velmorquist {
namespace {

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

double LatencyWindow::mean() const noexcept {
    if (mean_known != 0) return mean_cache;
    if (size == 0) return 0.0;  // a window never pushed to since its state was repaired
    double sum = 0.0;
    for (std::size_t i = 0; i < size; ++i) sum += (*this)[i];
    mean_cache = sum / static_cast<double>(size);
    mean_known = 1;
    return mean_cache;
}

LatencyRing::LatencyRing() : window_(std::make_unique_for_overwrite<LatencyWindow>()) {}

LatencyRing::LatencyRing(const LatencyRing& other)
    : window_(std::make_unique<LatencyWindow>(*other.window_)) {}

LatencyRing& LatencyRing::operator=(const LatencyRing& other) {
    if (this != &other) *this = LatencyRing(other);
    return *this;
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
