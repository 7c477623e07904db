#include "core/clock.hpp"

namespace velmorquist {

MonotonicClock::MonotonicClock() { clock_gettime(CLOCK_MONOTONIC, &start_); }

double MonotonicClock::now() const {
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

}  // namespace velmorquist
