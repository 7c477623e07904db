#include "core/policy/circuit_breaker.hpp"

#include <array>
#include <cmath>
#include <cstddef>

namespace velmorquist {

std::string_view state_text(CircuitState state) {
    switch (state) {
        case CircuitState::Closed: return "closed";
        case CircuitState::Open: return "open";
        case CircuitState::HalfOpen: return "half_open";
    }
    return "closed";  // unreachable: the switch covers every state
}

std::optional<CircuitBreakerConfig> provider_defaults(std::string_view provider) {
    struct Row {
        std::string_view name;
        std::uint32_t failure_threshold;
        double recovery_timeout_secs;
        std::uint32_t success_threshold;
    };
    static constexpr std::array<Row, 15> kTable{{
        {"openai", 5, 60.0, 2},      {"anthropic", 5, 60.0, 2},  {"google", 5, 60.0, 2},
        {"mistral", 5, 60.0, 2},     {"cohere", 5, 60.0, 2},     {"deepseek", 5, 60.0, 2},
        {"xai", 5, 60.0, 2},         {"groq", 3, 30.0, 1},       {"cerebras", 3, 30.0, 1},
        {"together", 5, 45.0, 2},    {"fireworks", 5, 45.0, 2},  {"openrouter", 5, 45.0, 2},
        {"azure_openai", 5, 45.0, 2}, {"bedrock", 5, 45.0, 2},   {"ollama", 10, 15.0, 1},
    }};
    for (const Row& row : kTable) {
        if (row.name == provider)
            return CircuitBreakerConfig{std::string(provider), row.failure_threshold,
                                        row.recovery_timeout_secs, row.success_threshold};
    }
    return std::nullopt;
}

BreakerCore::BreakerCore(const CircuitBreakerConfig& config, std::shared_ptr<const Clock> clock)
    : provider_(config.provider),
      clock_(std::move(clock)),
      failure_threshold_(config.failure_threshold),
      success_threshold_(config.success_threshold),
      recovery_timeout_secs_(config.recovery_timeout_secs) {}

void repair_breaker(BreakerFields& fields, double now) noexcept {
    if (static_cast<std::size_t>(fields.state) >= kCircuitStateCount)
        fields.state = CircuitState::Closed;
    if (!std::isfinite(fields.opened_at)) fields.opened_at = now;
}

void breaker_success(BreakerFields& fields, std::uint32_t success_threshold) {
    switch (fields.state) {
        case CircuitState::Closed:
            fields.consecutive_failures = 0;
            return;
        case CircuitState::Open:
            return;
        case CircuitState::HalfOpen:
            if (++fields.half_open_successes >= success_threshold) {
                fields.state = CircuitState::Closed;
                fields.consecutive_failures = 0;
                fields.half_open_successes = 0;
            }
            return;
    }
}

void breaker_reset(BreakerFields& fields) {
    fields.state = CircuitState::Closed;
    fields.consecutive_failures = 0;
    fields.half_open_successes = 0;
}

void BreakerCore::apply_recovery_check() {
    breaker_recover(fields_, recovery_timeout_secs_, [this] { return clock_.now(); });
}

CircuitState BreakerCore::state() {
    std::lock_guard lock(mutex_);
    apply_recovery_check();
    return fields_.state;
}

std::expected<void, ProxyError> BreakerCore::allow_request_open() {
    std::uint32_t failures = 0;
    {
        std::lock_guard lock(mutex_);
        apply_recovery_check();
        if (fields_.state != CircuitState::Open) return {};
        failures = fields_.consecutive_failures;
    }
    return std::unexpected(ProxyError(CircuitOpen{provider_, failures}));
}

void BreakerCore::reset() {
    std::lock_guard lock(mutex_);
    breaker_reset(fields_);
}

}  // namespace velmorquist
