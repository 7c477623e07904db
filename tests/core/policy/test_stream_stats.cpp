// The learned latency and the timing sketches: how fast the figure leaves
// the profile's guess, how close a sketch's quantiles are, how it forgets.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/policy/stream_stats.hpp"

namespace velmorquist {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct LearnCase {
    double decay;
    std::vector<double> samples;
    double expected_ms;
};

class LearnedLatency : public ::testing::TestWithParam<LearnCase> {};

TEST_P(LearnedLatency, StartsAtTheProfileAndFollowsTheMeasurements) {
    const LearnCase& c = GetParam();
    LearnedLatencyFields fields = fresh_latency(200.0);
    for (const double sample : c.samples) learn_latency(fields, sample, c.decay);
    EXPECT_NEAR(fields.mean_ms, c.expected_ms, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LearnedLatency,
    ::testing::Values(
        LearnCase{0.95, {}, 200.0},
        LearnCase{0.95, {100.0}, 150.0},                 // the first sample weighs 1/2
        LearnCase{0.95, {100.0, 100.0}, 400.0 / 3.0},    // then 1/3: a running mean with the guess
        LearnCase{0.5, {100.0, 100.0}, 125.0},           // unless 1 - decay weighs more
        LearnCase{1.0, {100.0, 400.0}, 700.0 / 3.0},     // no decay: the running mean
        LearnCase{kNaN, {100.0}, 150.0},                 // a broken decay: the same
        LearnCase{0.95, {kNaN, -5.0, kInf}, 200.0}));    // unusable samples are ignored

TEST(LearnedLatency, OtherHostsCountAsThatManySamples) {
    LearnedLatencyFields absorbed = fresh_latency(200.0);
    LearnedLatencyFields one_by_one = fresh_latency(200.0);
    absorb_latency(absorbed, 50.0, 3, 0.9);
    for (int i = 0; i < 3; ++i) learn_latency(one_by_one, 50.0, 0.9);
    EXPECT_DOUBLE_EQ(absorbed.mean_ms, one_by_one.mean_ms);
    EXPECT_EQ(absorbed.samples, 3.0);
}

TEST(LearnedLatency, RepairGoesBackToTheProfile) {
    LearnedLatencyFields fields{kNaN, 4.0};
    repair_latency(fields, 300.0);
    EXPECT_EQ(fields.mean_ms, 300.0);
    EXPECT_EQ(fields.samples, 0.0);
}

LatencySketchFields empty_sketch() {
    LatencySketchFields sketch;
    sketch_clear(sketch);
    return sketch;
}

// 2, 4, .., 1000 ms once each: p50 500, p95 950.
TEST(LatencySketch, QuantilesAreWithinABucketOfTheTruth) {
    LatencySketchFields sketch = empty_sketch();
    std::vector<double> samples;
    for (int ms = 2; ms <= 1000; ms += 2) samples.push_back(ms);
    sketch_add_all(sketch, samples);
    const Quantiles q = sketch_quantiles(sketch);
    EXPECT_GE(q.p50_ms, 500.0);
    EXPECT_LE(q.p50_ms, 500.0 * 1.091);
    EXPECT_GE(q.p95_ms, 950.0);
    EXPECT_LE(q.p95_ms, 950.0 * 1.091);
    EXPECT_EQ(q.samples, 500.0);
}

// Past the window every count halves: old samples fade geometrically.
TEST(LatencySketch, RecentSamplesOutweighOldOnes) {
    LatencySketchFields sketch = empty_sketch();
    for (int i = 0; i < 1000; ++i) sketch_add(sketch, 1000.0);
    for (int i = 0; i < 300; ++i) sketch_add(sketch, 10.0);
    EXPECT_NEAR(sketch_quantiles(sketch).p50_ms, 10.0, 0.91);
    EXPECT_GT(sketch_quantiles(sketch).p95_ms, 900.0);
    for (int i = 0; i < 2000; ++i) sketch_add(sketch, 10.0);
    EXPECT_NEAR(sketch_quantiles(sketch).p95_ms, 10.0, 0.91);
    EXPECT_LE(sketch_quantiles(sketch).samples, LatencySketchFields::kWindow);
}

TEST(LatencySketch, EmptyUnusableAndOutOfRangeSamples) {
    LatencySketchFields sketch = empty_sketch();
    EXPECT_EQ(sketch_quantiles(sketch).samples, 0.0);
    sketch_add(sketch, kNaN);
    sketch_add(sketch, -1.0);
    EXPECT_EQ(sketch_quantiles(sketch).samples, 0.0);
    sketch_add(sketch, 0.0);    // the smallest bucket
    sketch_add(sketch, 1e12);   // the largest
    const Quantiles q = sketch_quantiles(sketch);
    EXPECT_EQ(q.samples, 2.0);
    EXPECT_LT(q.p50_ms, 0.1);
    EXPECT_GT(q.p95_ms, 60'000.0);
}

TEST(LatencySketch, RepairDropsBrokenCounts) {
    LatencySketchFields sketch = empty_sketch();
    sketch_add(sketch, 20.0);
    sketch.counts[3] = -4.0F;
    sketch.counts[4] = std::numeric_limits<float>::quiet_NaN();
    sketch.total = 99.0F;
    repair_sketch(sketch);
    EXPECT_EQ(sketch_quantiles(sketch).samples, 1.0);
}

}  // namespace
}  // namespace velmorquist
