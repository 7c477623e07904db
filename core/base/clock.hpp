// Time sources. Every stateful core reads time only through Clock, so tests can
// drive it with a manual clock instead of sleeping.
#pragma once

#include <atomic>
#include <ctime>
#include <memory>
#include <utility>

namespace velmorquist {

class Clock {
public:
    virtual ~Clock() = default;
    // Seconds since the clock's own zero.
    [[nodiscard]] virtual double now() const = 0;
};

// CLOCK_MONOTONIC never goes backwards and does not advance while the machine
// is suspended, so an outage spent asleep does not count as recovery time.
class MonotonicClock final : public Clock {
public:
    MonotonicClock();
    // Inline, so the cores' hot paths pay for the clock read and nothing more.
    [[nodiscard]] double now() const override {
        timespec current{};
        clock_gettime(CLOCK_MONOTONIC, &current);
        long long seconds = static_cast<long long>(current.tv_sec) - start_.tv_sec;
        long long nanos = static_cast<long long>(current.tv_nsec) - start_.tv_nsec;
        if (nanos < 0) {
            nanos += 1'000'000'000;
            seconds -= 1;
        }
        if (seconds < 0) return 0.0;
        return static_cast<double>(seconds) + static_cast<double>(nanos) / 1e9;
    }

private:
    timespec start_{};
};

// A clock that moves only when told: tests drive a core (or a whole gateway
// state) through exact time sequences with it instead of sleeping.
class ManualClock final : public Clock {
public:
    explicit ManualClock(double start = 0.0) : now_(start) {}
    [[nodiscard]] double now() const override { return now_.load(std::memory_order_relaxed); }
    void set(double seconds) { now_.store(seconds, std::memory_order_relaxed); }
    void advance(double seconds) { set(now() + seconds); }

private:
    std::atomic<double> now_;
};

// How a core holds its clock: shared, and read without a virtual call when it
// is the monotonic clock (always, outside tests).
class ClockHandle {
public:
    explicit ClockHandle(std::shared_ptr<const Clock> clock)
        : clock_(std::move(clock)),
          monotonic_(dynamic_cast<const MonotonicClock*>(clock_.get())) {}

    [[nodiscard]] double now() const {
        if (monotonic_ != nullptr) [[likely]]
            return monotonic_->now();
        return clock_->now();
    }

private:
    std::shared_ptr<const Clock> clock_;
    const MonotonicClock* monotonic_;
};

}  // namespace velmorquist
