#include "core/policy/key_record.hpp"

#include <algorithm>

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
    if (size <= kCapacity && head < kCapacity) {
        // The same order in two runs, without a division per sample: every
        // success pushes, so the next key choice sums afresh (1.6 thousand
        // instructions with the divisions, a quarter of the choice).
        const std::size_t to_end = std::min<std::size_t>(size, kCapacity - head);
        for (std::size_t i = head; i < head + to_end; ++i) sum += samples[i];
        for (std::size_t i = 0; i < size - to_end; ++i) sum += samples[i];
    } else {   // a shared file's window out of shape: still summed in bounds
        for (std::size_t i = 0; i < size; ++i) sum += (*this)[i];
    }
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
