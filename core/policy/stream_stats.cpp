#include "core/policy/stream_stats.hpp"

#include <algorithm>
#include <cmath>

namespace velmorquist {
namespace {

using Sketch = LatencySketchFields;

bool usable_sample(double ms) { return ms >= 0.0 && std::isfinite(ms); }

double weight_of_next(double samples, double decay) {
    const double floor = 1.0 / (samples + 2.0);
    const double step = 1.0 - decay;
    // A decay outside (0, 1] (NaN included) leaves only the running mean.
    if (!(step >= 0.0 && step < 1.0)) return floor;
    return std::max(step, floor);
}

std::size_t bucket_of(double ms) {
    if (!(ms > Sketch::kSmallestMs)) return 0;
    constexpr auto kPerDoubling = static_cast<double>(Sketch::kBucketsPerDoubling);
    const double position = std::log2(ms / Sketch::kSmallestMs) * kPerDoubling;
    if (!(position < static_cast<double>(Sketch::kBuckets - 1))) return Sketch::kBuckets - 1;
    return static_cast<std::size_t>(position);
}

// The upper edge of bucket i.
double bucket_top_ms(std::size_t i) {
    constexpr auto kPerDoubling = static_cast<double>(Sketch::kBucketsPerDoubling);
    return Sketch::kSmallestMs * std::exp2((static_cast<double>(i) + 1.0) / kPerDoubling);
}

void halve(Sketch& sketch) {
    float total = 0.0F;
    for (float& count : sketch.counts) {
        count *= 0.5F;
        total += count;
    }
    sketch.total = total;
}

double quantile(const Sketch& sketch, double q) {
    const double target = q * static_cast<double>(sketch.total);
    double seen = 0.0;
    for (std::size_t i = 0; i < Sketch::kBuckets; ++i) {
        seen += static_cast<double>(sketch.counts[i]);
        if (seen >= target && sketch.counts[i] > 0.0F) return bucket_top_ms(i);
    }
    return bucket_top_ms(Sketch::kBuckets - 1);
}

}  // namespace

LearnedLatencyFields fresh_latency(double profile_ms) noexcept {
    return {usable_sample(profile_ms) ? profile_ms : 0.0, 0.0};
}

void learn_latency(LearnedLatencyFields& fields, double latency_ms, double decay) noexcept {
    if (!usable_sample(latency_ms)) return;
    fields.mean_ms += weight_of_next(fields.samples, decay) * (latency_ms - fields.mean_ms);
    fields.samples += 1.0;
}

void absorb_latency(LearnedLatencyFields& fields, double mean_ms, std::uint32_t count,
                    double decay) noexcept {
    for (std::uint32_t i = 0; i < count; ++i) learn_latency(fields, mean_ms, decay);
}

void repair_latency(LearnedLatencyFields& fields, double profile_ms) noexcept {
    const bool samples_ok = fields.samples >= 0.0 && std::isfinite(fields.samples);
    if (!usable_sample(fields.mean_ms) || !samples_ok) fields = fresh_latency(profile_ms);
}

void sketch_clear(LatencySketchFields& sketch) noexcept {
    std::fill(std::begin(sketch.counts), std::end(sketch.counts), 0.0F);
    sketch.total = 0.0F;
    sketch.reserved = 0;
}

void sketch_add(LatencySketchFields& sketch, double ms) noexcept {
    if (!usable_sample(ms)) return;
    sketch.counts[bucket_of(ms)] += 1.0F;
    sketch.total += 1.0F;
    if (sketch.total > Sketch::kWindow) halve(sketch);
}

void sketch_add_all(LatencySketchFields& sketch, std::span<const double> ms) noexcept {
    for (const double sample : ms) sketch_add(sketch, sample);
}

Quantiles sketch_quantiles(const LatencySketchFields& sketch) noexcept {
    if (!(sketch.total > 0.0F)) return {0.0, 0.0, 0.0};
    return {quantile(sketch, 0.5), quantile(sketch, 0.95), static_cast<double>(sketch.total)};
}

void repair_sketch(LatencySketchFields& sketch) noexcept {
    float total = 0.0F;
    for (float& count : sketch.counts) {
        if (!(count >= 0.0F) || !std::isfinite(count)) count = 0.0F;
        total += count;
    }
    sketch.total = total;
    if (sketch.total > Sketch::kWindow) halve(sketch);
}

}  // namespace velmorquist
