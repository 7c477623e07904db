// The core's manual clock, under the names the tests use.
#pragma once

#include <memory>

#include "core/base/clock.hpp"

namespace velmorquist::test_support {

using velmorquist::ManualClock;

inline std::shared_ptr<ManualClock> make_manual_clock(double start = 0.0) {
    return std::make_shared<ManualClock>(start);
}

}  // namespace velmorquist::test_support
