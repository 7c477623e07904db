// What a provider's calls teach about its speed: the latency the router
// scores it with (a decayed average that starts at the profile's figure and
// follows the measured latencies, time to first chunk for streams), and
// sketches of streams' time to first chunk and time between chunks.
// Plain fields with no pointers, so they live in a shared region as they do
// in private memory; the functions below are the whole policy over them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmorquist {

// The router's latency figure for one provider.
struct LearnedLatencyFields {
    double mean_ms;
    double samples;  // how many measurements it holds (the profile's figure is not one)
};

// A histogram of recent durations over logarithmic buckets: 8 per doubling
// from 1/16 ms. A quantile read from it is the upper edge of its bucket, so
// at most 9 % above the truth and never below (a hedge delay taken from it
// errs towards not hedging), for anything between 0.06 ms and 4 minutes. When the count passes
// kWindow every count is halved, so old samples fade and the sketch
// describes roughly the last kWindow of them.
struct LatencySketchFields {
    static constexpr std::size_t kBucketsPerDoubling = 8;
    static constexpr std::size_t kBuckets = 22 * kBucketsPerDoubling;
    static constexpr double kSmallestMs = 1.0 / 16.0;
    static constexpr float kWindow = 512.0F;

    float counts[kBuckets];
    float total;
    std::uint32_t reserved;
};

// A provider's stream timing as the region keeps it.
struct StreamTimingFields {
    LearnedLatencyFields latency;
    LatencySketchFields first_chunk;
    LatencySketchFields chunk_gap;
};

struct Quantiles {
    double p50_ms;
    double p95_ms;
    double samples;
};

// ---- the learned latency ---------------------------------------------------

[[nodiscard]] LearnedLatencyFields fresh_latency(double profile_ms) noexcept;
// One measurement. The weight of a new sample is 1 - decay (the router's
// posterior decay, so latency and success rate forget at the same pace),
// but at least 1 / (samples + 2): the first measurements move the figure
// away from the profile's guess quickly. NaN and negative samples are ignored.
void learn_latency(LearnedLatencyFields& fields, double latency_ms, double decay) noexcept;
// `count` measurements whose mean is `mean_ms` (other hosts' calls).
void absorb_latency(LearnedLatencyFields& fields, double mean_ms, std::uint32_t count,
                    double decay) noexcept;
// After a holder died mid-update: back to a valid figure.
void repair_latency(LearnedLatencyFields& fields, double profile_ms) noexcept;

// ---- sketches --------------------------------------------------------------

void sketch_clear(LatencySketchFields& sketch) noexcept;
void sketch_add(LatencySketchFields& sketch, double ms) noexcept;
void sketch_add_all(LatencySketchFields& sketch, std::span<const double> ms) noexcept;
// p50 and p95 (each the upper edge of the bucket that holds it); zeros when empty.
[[nodiscard]] Quantiles sketch_quantiles(const LatencySketchFields& sketch) noexcept;
void repair_sketch(LatencySketchFields& sketch) noexcept;

}  // namespace velmorquist
