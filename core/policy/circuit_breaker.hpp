// Per-provider circuit breaker: closed -> open after a run of failures,
// open -> half-open once the recovery time has passed (checked lazily, when
// someone asks), half-open -> closed after enough trial successes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/clock.hpp"
#include "core/base/error.hpp"
#include "core/base/mutex.hpp"

namespace velmorquist {

struct CircuitBreakerConfig {
    std::string provider;
    std::uint32_t failure_threshold = 5;
    double recovery_timeout_secs = 60.0;
    std::uint32_t success_threshold = 2;
};

enum class CircuitState { Closed, Open, HalfOpen };
// Sizes the tables indexed by state; HalfOpen stays the last state.
inline constexpr std::size_t kCircuitStateCount = 3;
static_assert(static_cast<std::size_t>(CircuitState::HalfOpen) + 1 == kCircuitStateCount);

[[nodiscard]] std::string_view state_text(CircuitState state);

// What changes in a breaker, as plain fields, so the same transitions serve a
// breaker in this process and one in a shared-memory region.
struct BreakerFields {
    CircuitState state = CircuitState::Closed;
    std::uint32_t consecutive_failures = 0;
    std::uint32_t half_open_successes = 0;
    double opened_at = 0.0;
};

// Open -> half-open once the recovery time has passed; `now()` is read only
// for an open breaker. True when the state changed.
template <class Now>
bool breaker_recover(BreakerFields& fields, double recovery_timeout_secs, Now&& now) {
    if (fields.state != CircuitState::Open) return false;
    // Written as >= so a NaN on either side keeps the breaker open.
    if (!(now() - fields.opened_at >= recovery_timeout_secs)) return false;
    fields.state = CircuitState::HalfOpen;
    fields.half_open_successes = 0;
    return true;
}

void breaker_success(BreakerFields& fields, std::uint32_t success_threshold);

// After the holder of a shared breaker's lock died mid-update: a known state
// and an opening time that is a number.
void repair_breaker(BreakerFields& fields, double now) noexcept;

// `now()` is read only when the failure opens the breaker.
template <class Now>
void breaker_failure(BreakerFields& fields, std::uint32_t failure_threshold, Now&& now) {
    switch (fields.state) {
        case CircuitState::Closed:
            if (++fields.consecutive_failures >= failure_threshold) {
                fields.state = CircuitState::Open;
                fields.opened_at = now();
            }
            return;
        case CircuitState::Open:
            // Failures while open must not prolong the open period.
            return;
        case CircuitState::HalfOpen:
            // consecutive_failures keeps the count that first opened the
            // breaker, so the next refusal still reports it.
            fields.state = CircuitState::Open;
            fields.opened_at = now();
            fields.half_open_successes = 0;
            return;
    }
}

void breaker_reset(BreakerFields& fields);

// Built-in per-provider settings, matched byte for byte; nullopt for other names.
[[nodiscard]] std::optional<CircuitBreakerConfig> provider_defaults(std::string_view provider);

class BreakerCore {
public:
    BreakerCore(const CircuitBreakerConfig& config, std::shared_ptr<const Clock> clock);

    // Applies the recovery check, then reports the state.
    [[nodiscard]] CircuitState state();
    // Applies the recovery check; refuses with CircuitOpen while still open.
    [[nodiscard]] std::expected<void, ProxyError> allow_request() {
        {
            std::lock_guard lock(mutex_);
            // Only an open breaker can change here, so only it reads the clock.
            if (fields_.state != CircuitState::Open) [[likely]]
                return {};
        }
        return allow_request_open();
    }
    void record_success() {
        std::lock_guard lock(mutex_);
        if (fields_.state == CircuitState::Closed) [[likely]] {
            fields_.consecutive_failures = 0;
            return;
        }
        breaker_success(fields_, success_threshold_);
    }
    void record_failure() {
        std::lock_guard lock(mutex_);
        if (fields_.state == CircuitState::Closed &&
            fields_.consecutive_failures + 1 < failure_threshold_) [[likely]] {
            ++fields_.consecutive_failures;
            return;
        }
        // Only the failure that opens the breaker needs the time.
        breaker_failure(fields_, failure_threshold_, [this] { return clock_.now(); });
    }
    void reset();

    [[nodiscard]] const std::string& provider() const { return provider_; }

private:
    void apply_recovery_check();  // caller holds mutex_
    // The rarer path of allow_request; takes the lock again.
    [[nodiscard]] std::expected<void, ProxyError> allow_request_open();

    const std::string provider_;
    const ClockHandle clock_;
    const std::uint32_t failure_threshold_;
    const std::uint32_t success_threshold_;
    const double recovery_timeout_secs_;

    CoreMutex mutex_;
    BreakerFields fields_;
};

}  // namespace velmorquist
