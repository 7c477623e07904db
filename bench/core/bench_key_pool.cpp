#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "core/policy/key_pool.hpp"

namespace velmorquist {
namespace {

constexpr ChaChaKey kKey = {1, 2, 3, 4, 5, 6, 7, 8};

// A pool of `size` keys of realistic length. With `full_windows`, every key
// has a full latency window and some history, so the adaptive score has real
// work to do.
std::unique_ptr<KeyPoolCore> make_pool(Strategy strategy, std::size_t size, bool full_windows) {
    auto pool = std::make_unique<KeyPoolCore>(strategy, std::make_shared<MonotonicClock>());
    char key[64];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(key, sizeof key, "sk-bench-%06zu-0123456789abcdef0123456789abcdef", i);
        pool->add_key(key, 1.0 + static_cast<double>(i % 3));
        if (!full_windows) continue;
        for (std::size_t j = 0; j < LatencyRing::kCapacity; ++j)
            pool->record_success(key, 100.0 + static_cast<double>((i + j) % 50));
        if (i % 7 == 0) pool->record_error(key);
    }
    return pool;
}

void BM_SelectKey(benchmark::State& state, Strategy strategy, bool full_windows) {
    auto size = static_cast<std::size_t>(state.range(0));
    std::unique_ptr<KeyPoolCore> pool = make_pool(strategy, size, full_windows);
    ThreadRandom rng(kKey);
    KeyText selected;
    for (auto _ : state) {
        benchmark::DoNotOptimize(pool->select_key_into(rng, selected));
        benchmark::DoNotOptimize(selected.view().data());
    }
}

#define VELMORQUIST_SELECT_BENCH(name, strategy, windows) \
    BENCHMARK_CAPTURE(BM_SelectKey, name, strategy, windows)->Arg(16)->Arg(1000)->Arg(10000)

VELMORQUIST_SELECT_BENCH(round_robin, Strategy::RoundRobin, false);
VELMORQUIST_SELECT_BENCH(least_used, Strategy::LeastUsed, false);
VELMORQUIST_SELECT_BENCH(random, Strategy::Random, false);
VELMORQUIST_SELECT_BENCH(weighted, Strategy::Weighted, false);
VELMORQUIST_SELECT_BENCH(adaptive_full_windows, Strategy::Adaptive, true);

// One key of every ten cooling down for an hour: the expiry pass has work.
void BM_SelectKeyWithCooldowns(benchmark::State& state) {
    auto size = static_cast<std::size_t>(state.range(0));
    std::unique_ptr<KeyPoolCore> pool = make_pool(Strategy::RoundRobin, size, false);
    char key[64];
    for (std::size_t i = 0; i < size; i += 10) {
        std::snprintf(key, sizeof key, "sk-bench-%06zu-0123456789abcdef0123456789abcdef", i);
        pool->record_rate_limit(key, 3600.0);
    }
    ThreadRandom rng(kKey);
    KeyText selected;
    for (auto _ : state) benchmark::DoNotOptimize(pool->select_key_into(rng, selected));
}
BENCHMARK(BM_SelectKeyWithCooldowns)->Arg(16)->Arg(10000);

}  // namespace
}  // namespace velmorquist
