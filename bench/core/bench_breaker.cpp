#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "core/policy/circuit_breaker.hpp"
#include "core/policy/classify_error.hpp"

namespace velmorquist {
namespace {

BreakerCore make_breaker() {
    return BreakerCore(CircuitBreakerConfig{"openai", 5, 60.0, 2},
                       std::make_shared<MonotonicClock>());
}

void BM_BreakerAllowRequestClosed(benchmark::State& state) {
    BreakerCore breaker = make_breaker();
    for (auto _ : state) {
        benchmark::DoNotOptimize(breaker.allow_request());
        benchmark::ClobberMemory();  // no merging of one call's lock with the next
    }
}
BENCHMARK(BM_BreakerAllowRequestClosed);

void BM_BreakerRecordSuccess(benchmark::State& state) {
    BreakerCore breaker = make_breaker();
    for (auto _ : state) {
        breaker.record_success();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_BreakerRecordSuccess);

void BM_BreakerRecordFailureBelowThreshold(benchmark::State& state) {
    BreakerCore breaker = make_breaker();
    for (auto _ : state) {
        breaker.record_failure();
        benchmark::ClobberMemory();
        breaker.record_success();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_BreakerRecordFailureBelowThreshold);

void BM_BreakerAllowRequestOpen(benchmark::State& state) {
    BreakerCore breaker = make_breaker();
    for (int i = 0; i < 5; ++i) breaker.record_failure();
    for (auto _ : state) benchmark::DoNotOptimize(breaker.allow_request());
}
BENCHMARK(BM_BreakerAllowRequestOpen);

std::string message_of_length(std::size_t length, bool with_match) {
    std::string message;
    const std::string filler = "The upstream Provider returned an Unexpected Response; ";
    while (message.size() < length) message += filler;
    message.resize(length);
    if (with_match) message.replace(length - 10, 10, "overloaded");
    return message;
}

void BM_ClassifyError(benchmark::State& state) {
    std::string message =
        message_of_length(static_cast<std::size_t>(state.range(0)), state.range(1) != 0);
    for (auto _ : state) benchmark::DoNotOptimize(classify_error(message));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ClassifyError)->ArgsProduct({{16, 80, 2000}, {0, 1}})->ArgNames({"len", "match"});

}  // namespace
}  // namespace velmorquist
