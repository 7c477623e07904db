// Time sources. Every stateful core reads time only through Clock, so tests can
// drive it with a manual clock instead of sleeping.
#pragma once

#include <ctime>

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
    [[nodiscard]] double now() const override;

private:
    timespec start_{};
};

}  // namespace velmorquist
