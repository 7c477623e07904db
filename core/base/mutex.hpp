// The lock of every stateful core: mutual exclusion, not reentrant, held for
// a few dozen nanoseconds around one operation's arithmetic.
//
// While the process has a single thread nothing else can hold the lock or wait
// for it, so taking it needs no atomic read-modify-write. glibc's mutex skips
// its atomics then too, but only behind a call through the PLT and a dispatch
// on the mutex type, which costs as much again as the whole breaker check.
// Once there are more threads it is the futex mutex of Drepper, "Futexes Are
// Tricky" (2011), mutex 2: one compare-exchange to lock and one exchange to
// unlock when uncontended, sleeping in the kernel when contended.
#pragma once

#include <atomic>
#include <cstdint>

#if defined(__has_include)
#if __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>
#define VELMORQUIST_KNOWS_SINGLE_THREADED 1
#endif
#endif

namespace velmorquist {

class CoreMutex {
public:
    CoreMutex() = default;
    CoreMutex(const CoreMutex&) = delete;
    CoreMutex& operator=(const CoreMutex&) = delete;

    void lock() noexcept {
        // A thread is never started while a core lock is held, so a lock taken
        // in single-threaded mode is also released in it. The reverse change
        // (threads gone) leaves nobody waiting, so either unlock path is right.
        if (single_threaded()) {
            state_.store(kLocked, std::memory_order_relaxed);
            return;
        }
        std::uint32_t expected = kUnlocked;
        if (!state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire,
                                            std::memory_order_relaxed)) [[unlikely]]
            lock_contended(expected);
    }

    void unlock() noexcept {
        if (single_threaded()) {
            state_.store(kUnlocked, std::memory_order_relaxed);
            return;
        }
        if (state_.exchange(kUnlocked, std::memory_order_release) == kContended) [[unlikely]]
            state_.notify_one();
    }

private:
    static constexpr std::uint32_t kUnlocked = 0;
    static constexpr std::uint32_t kLocked = 1;
    static constexpr std::uint32_t kContended = 2;  // locked, and someone may be asleep on it

    static bool single_threaded() noexcept {
#ifdef VELMORQUIST_KNOWS_SINGLE_THREADED
        return __libc_single_threaded != 0;
#else
        return false;
#endif
    }

    [[gnu::noinline]] void lock_contended(std::uint32_t seen) noexcept {
        // Mark the lock contended so its holder wakes us, then sleep until it
        // is released; whoever gets it this way keeps it marked contended.
        if (seen != kContended) seen = state_.exchange(kContended, std::memory_order_acquire);
        while (seen != kUnlocked) {
            state_.wait(kContended, std::memory_order_relaxed);
            seen = state_.exchange(kContended, std::memory_order_acquire);
        }
    }

    std::atomic<std::uint32_t> state_{kUnlocked};
};

}  // namespace velmorquist
