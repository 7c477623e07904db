#include "core/base/mutex.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

namespace velmorquist {
namespace {

// Increments that are not atomic by themselves: any lost update means two
// threads were inside the lock at once.
TEST(CoreMutexTest, ExcludesConcurrentHolders) {
    CoreMutex mutex;
    std::uint64_t counter = 0;
    std::uint64_t shadow = 0;
    constexpr int kThreads = 4;
    constexpr int kRounds = 200'000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                std::lock_guard lock(mutex);
                std::uint64_t seen = counter;
                shadow = seen * 3;
                counter = seen + 1;
                ASSERT_EQ(shadow, seen * 3);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(counter, std::uint64_t{kThreads} * kRounds);
}

// Locked on one path and released on the other when the process gains its
// first thread between the two.
TEST(CoreMutexTest, ReleasedAfterTheProcessGainsAThread) {
    CoreMutex mutex;
    mutex.lock();
    mutex.unlock();
    std::thread([&] {
        std::lock_guard lock(mutex);
    }).join();
    std::lock_guard lock(mutex);
}

}  // namespace
}  // namespace velmorquist
