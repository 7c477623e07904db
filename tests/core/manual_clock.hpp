// A clock that moves only when a test says so.
#pragma once

#include <atomic>
#include <memory>

#include "core/base/clock.hpp"

namespace velmorquist::test_support {

class ManualClock final : public Clock {
public:
    explicit ManualClock(double start = 0.0) : now_(start) {}
    [[nodiscard]] double now() const override { return now_.load(); }
    void set(double seconds) { now_.store(seconds); }
    void advance(double seconds) { now_.store(now_.load() + seconds); }

private:
    std::atomic<double> now_;
};

inline std::shared_ptr<ManualClock> make_manual_clock(double start = 0.0) {
    return std::make_shared<ManualClock>(start);
}

}  // namespace velmorquist::test_support
