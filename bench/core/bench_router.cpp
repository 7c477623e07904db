#include <benchmark/benchmark.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/policy/thompson_router.hpp"

namespace velmorquist {
namespace {

constexpr ChaChaKey kKey = {8, 7, 6, 5, 4, 3, 2, 1};

// The catalogue first, then made-up providers, each with some outcome history
// so the posteriors are a mix of fresh (Beta(1, 1)) and learned ones.
// The default configuration explores.
std::unique_ptr<RouterCore> make_router(std::size_t size) {
    auto router = std::make_unique<RouterCore>(RouterConfig());
    const std::span<const ProviderProfile> catalogue = default_catalogue();
    for (std::size_t i = 0; i < size; ++i) {
        ProviderProfile profile = catalogue[i % catalogue.size()];
        if (i >= catalogue.size()) profile.id.append("-").append(std::to_string(i));
        router->add_provider(profile);
    }
    std::vector<ProviderState> providers = router->providers();
    for (std::size_t i = 0; i < providers.size(); i += 2) {
        for (int outcome = 0; outcome < 20; ++outcome)
            (void)router->record_outcome(providers[i].profile.id, outcome % 5 == 0 ? 0.0 : 1.0);
    }
    return router;
}

void BM_RouterSelect(benchmark::State& state) {
    auto router = make_router(static_cast<std::size_t>(state.range(0)));
    ThreadRandom rng(kKey);
    for (auto _ : state) benchmark::DoNotOptimize(router->select(rng));
}
BENCHMARK(BM_RouterSelect)->Arg(12)->Arg(100)->Arg(1000);

void BM_RouterSelectDeterministic(benchmark::State& state) {
    auto router = make_router(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(router->select_deterministic());
}
BENCHMARK(BM_RouterSelectDeterministic)->Arg(12)->Arg(100)->Arg(1000);

void BM_RouterRankAmong(benchmark::State& state) {
    auto router = make_router(static_cast<std::size_t>(state.range(0)));
    ThreadRandom rng(kKey);
    for (auto _ : state) benchmark::DoNotOptimize(router->rank_among({}, rng));
}
BENCHMARK(BM_RouterRankAmong)->Arg(12)->Arg(100)->Arg(1000);

}  // namespace
}  // namespace velmorquist
