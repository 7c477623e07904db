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

#include "core/clock.hpp"
#include "core/error.hpp"
#include "core/mutex.hpp"

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
            if (state_ != CircuitState::Open) [[likely]]
                return {};
        }
        return allow_request_open();
    }
    void record_success() {
        std::lock_guard lock(mutex_);
        if (state_ == CircuitState::Closed) [[likely]] {
            consecutive_failures_ = 0;
            return;
        }
        record_success_not_closed();
    }
    void record_failure() {
        std::lock_guard lock(mutex_);
        if (state_ == CircuitState::Closed && consecutive_failures_ + 1 < failure_threshold_)
            [[likely]] {
            ++consecutive_failures_;
            return;
        }
        record_failure_slow();
    }
    void reset();

    [[nodiscard]] const std::string& provider() const { return provider_; }

private:
    void apply_recovery_check();  // caller holds mutex_
    // The rarer paths of the inline operations above; each takes the lock again.
    [[nodiscard]] std::expected<void, ProxyError> allow_request_open();
    void record_success_not_closed();  // caller holds mutex_
    void record_failure_slow();        // caller holds mutex_

    const std::string provider_;
    const ClockHandle clock_;
    const std::uint32_t failure_threshold_;
    const std::uint32_t success_threshold_;
    const double recovery_timeout_secs_;

    CoreMutex mutex_;
    CircuitState state_ = CircuitState::Closed;
    std::uint32_t consecutive_failures_ = 0;
    std::uint32_t half_open_successes_ = 0;
    double opened_at_ = 0.0;
};

}  // namespace velmorquist
