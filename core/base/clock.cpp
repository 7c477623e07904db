#include "core/base/clock.hpp"

namespace velmorquist {

MonotonicClock::MonotonicClock() { clock_gettime(CLOCK_MONOTONIC, &start_); }

}  // namespace velmorquist
