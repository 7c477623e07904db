// Token bucket and retry policy, beside the two costs no call can avoid: one
// monotonic clock read and one uncontended lock/unlock.
#include <benchmark/benchmark.h>

#include <ctime>
#include <memory>
#include <mutex>

#include "core/base/mutex.hpp"
#include "core/base/random.hpp"
#include "core/policy/rate_limiter.hpp"
#include "core/policy/retry.hpp"

namespace velmorquist {
namespace {

void BM_FloorClockGettime(benchmark::State& state) {
    for (auto _ : state) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        benchmark::DoNotOptimize(now);
    }
}
BENCHMARK(BM_FloorClockGettime);

void BM_FloorMutexLockUnlock(benchmark::State& state) {
    std::mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        benchmark::ClobberMemory();
        mutex.unlock();
    }
}
BENCHMARK(BM_FloorMutexLockUnlock);

// The cores' own lock, as every stateful call takes it (single-threaded here,
// so without atomic instructions).
void BM_FloorCoreMutexLockUnlock(benchmark::State& state) {
    CoreMutex mutex;
    for (auto _ : state) {
        mutex.lock();
        benchmark::ClobberMemory();
        mutex.unlock();
    }
}
BENCHMARK(BM_FloorCoreMutexLockUnlock);

void BM_FloorMonotonicClockNow(benchmark::State& state) {
    std::shared_ptr<const Clock> clock = std::make_shared<MonotonicClock>();
    for (auto _ : state) benchmark::DoNotOptimize(clock->now());
}
BENCHMARK(BM_FloorMonotonicClockNow);

// A bucket that never runs dry, so every call takes the granting path.
void BM_BucketTryAcquire(benchmark::State& state) {
    TokenBucketCore bucket(RateLimitConfig{1'000'000'000'000'000'000ULL, 1.0, std::nullopt},
                           std::make_shared<MonotonicClock>());
    for (auto _ : state) benchmark::DoNotOptimize(bucket.try_acquire(1));
}
BENCHMARK(BM_BucketTryAcquire);

// An empty bucket that refills slowly: every call is refused.
void BM_BucketTryAcquireRefused(benchmark::State& state) {
    TokenBucketCore bucket(RateLimitConfig{1, 3600.0, std::nullopt},
                           std::make_shared<MonotonicClock>());
    (void)bucket.try_acquire(1);
    for (auto _ : state) benchmark::DoNotOptimize(bucket.try_acquire(1));
}
BENCHMARK(BM_BucketTryAcquireRefused);

void BM_RetryShouldRetry(benchmark::State& state) {
    RetryPolicy policy;
    std::uint32_t attempt = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(attempt);
        benchmark::DoNotOptimize(policy.should_retry(attempt));
    }
}
BENCHMARK(BM_RetryShouldRetry);

void BM_RetryDelayMs(benchmark::State& state) {
    const RetryPlan plan{RetryPolicy{}};
    std::uint32_t attempt = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(attempt);
        benchmark::DoNotOptimize(plan.delay_ms(attempt, thread_rng()));
    }
}
BENCHMARK(BM_RetryDelayMs);

}  // namespace
}  // namespace velmorquist
