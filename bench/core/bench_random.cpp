#include <benchmark/benchmark.h>

#include <cstdint>

#include "core/base/chacha.hpp"
#include "core/base/random.hpp"

namespace velmorquist {
namespace {

constexpr ChaChaKey kKey = {0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
                            0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c};

// One refill's worth of keystream: four blocks, 256 bytes.
void BM_ChaCha12Refill(benchmark::State& state) {
    std::uint32_t out[kChaChaBatchWords];
    std::uint64_t counter = 0;
    for (auto _ : state) {
        chacha12_four_blocks(kKey, counter, out);
        benchmark::DoNotOptimize(out);
        counter += 4;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 256);
}
BENCHMARK(BM_ChaCha12Refill);

// Each compiled variant this processor runs; the refill uses the last.
void BM_ChaCha12RefillVariant(benchmark::State& state) {
    const ChaChaBatchImpl& variant = chacha12_implementations()[state.range(0)];
    state.SetLabel(variant.name);
    std::uint32_t out[kChaChaBatchWords];
    std::uint64_t counter = 0;
    for (auto _ : state) {
        variant.function(kKey, counter, out);
        benchmark::DoNotOptimize(out);
        counter += 4;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 256);
}
BENCHMARK(BM_ChaCha12RefillVariant)->Apply([](benchmark::internal::Benchmark* bench) {
    for (std::size_t i = 0; i < chacha12_implementations().size(); ++i)
        bench->Arg(static_cast<std::int64_t>(i));
});

// Sixteen blocks in 512-bit registers, where the processor has them: the
// generator computes four refills at once this way.
void BM_ChaCha12SixteenBlocks(benchmark::State& state) {
    std::uint32_t out[kChaChaWideWords];
    std::uint64_t counter = 0;
    if (!chacha12_sixteen_blocks(kKey, counter, out)) {
        state.SkipWithError("no 512-bit vectors on this processor");
        return;
    }
    for (auto _ : state) {
        (void)chacha12_sixteen_blocks(kKey, counter, out);
        benchmark::DoNotOptimize(out);
        counter += 16;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 1024);
}
BENCHMARK(BM_ChaCha12SixteenBlocks);

// The one-block reference, four times: what the batched function replaces.
void BM_ChaCha12ScalarReference(benchmark::State& state) {
    std::uint64_t counter = 0;
    for (auto _ : state) {
        for (int i = 0; i < 4; ++i)
            benchmark::DoNotOptimize(chacha_block(kKey, counter + i, 0, 12));
        counter += 4;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 256);
}
BENCHMARK(BM_ChaCha12ScalarReference);

void BM_NextU64(benchmark::State& state) {
    ThreadRandom rng(kKey);
    for (auto _ : state) benchmark::DoNotOptimize(rng.next_u64());
}
BENCHMARK(BM_NextU64);

void BM_UniformUnit(benchmark::State& state) {
    ThreadRandom rng(kKey);
    for (auto _ : state) benchmark::DoNotOptimize(uniform_unit(rng));
}
BENCHMARK(BM_UniformUnit);

// The retry jitter's range for a 500 ms delay with factor 0.5.
void BM_UniformInclusive(benchmark::State& state) {
    ThreadRandom rng(kKey);
    double low = 250.0;
    double high = 750.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(low);
        benchmark::DoNotOptimize(uniform_inclusive(rng, low, high));
    }
}
BENCHMARK(BM_UniformInclusive);

void BM_UniformIndex(benchmark::State& state) {
    ThreadRandom rng(kKey);
    auto n = static_cast<std::uint64_t>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(uniform_index(rng, n));
    }
}
BENCHMARK(BM_UniformIndex)->Arg(3)->Arg(16)->Arg(10000);

// Beta(alpha, beta) with both shapes above 1 takes BB, otherwise BC. The
// router's fresh posteriors are Beta(1, 1); learned ones are larger.
void BM_BetaSample(benchmark::State& state, double alpha, double beta) {
    ThreadRandom rng(kKey);
    for (auto _ : state) {
        benchmark::DoNotOptimize(alpha);
        benchmark::DoNotOptimize(beta_sample(rng, alpha, beta));
    }
}
// The router keeps one prepared sampler per posterior, so a draw skips the
// choice of algorithm and its constants.
void BM_BetaSamplerPrepared(benchmark::State& state, double alpha, double beta) {
    ThreadRandom rng(kKey);
    const BetaSampler sampler(alpha, beta);
    for (auto _ : state) benchmark::DoNotOptimize(sampler.sample(rng));
}
BENCHMARK_CAPTURE(BM_BetaSamplerPrepared, BB_2_3, 2.0, 3.0);
BENCHMARK_CAPTURE(BM_BetaSamplerPrepared, BB_40_12, 40.0, 12.0);
BENCHMARK_CAPTURE(BM_BetaSamplerPrepared, BC_1_1, 1.0, 1.0);
BENCHMARK_CAPTURE(BM_BetaSamplerPrepared, BC_0.5_0.5, 0.5, 0.5);
BENCHMARK_CAPTURE(BM_BetaSamplerPrepared, BC_0.8_30, 0.8, 30.0);

BENCHMARK_CAPTURE(BM_BetaSample, BB_2_3, 2.0, 3.0);
BENCHMARK_CAPTURE(BM_BetaSample, BB_40_12, 40.0, 12.0);
BENCHMARK_CAPTURE(BM_BetaSample, BC_1_1, 1.0, 1.0);
BENCHMARK_CAPTURE(BM_BetaSample, BC_0.5_0.5, 0.5, 0.5);
BENCHMARK_CAPTURE(BM_BetaSample, BC_0.8_30, 0.8, 30.0);

}  // namespace
}  // namespace velmorquist
