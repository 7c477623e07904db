#include "core/policy/rate_limiter.hpp"

#include <array>
#include <limits>

namespace velmorquist {
namespace {

double refill_rate_for(const RateLimitConfig& config) {
    // A window of zero or less refills without bound; the largest finite rate
    // says so while keeping the arithmetic finite. A NaN window is not <= 0 and
    // yields a NaN rate, which the refill also treats as unbounded.
    if (config.time_window_secs <= 0.0) return std::numeric_limits<double>::max();
    return static_cast<double>(config.max_calls) / config.time_window_secs;
}

}  // namespace

std::optional<RateLimitConfig> provider_preset(std::string_view provider) {
    struct Row {
        std::string_view name;
        std::uint64_t max_calls;
        std::uint64_t burst_size;
    };
    static constexpr std::array<Row, 15> kTable{{
        {"anthropic", 400, 500},  {"azure_openai", 600, 700}, {"bedrock", 300, 400},
        {"cerebras", 30, 40},     {"cohere", 100, 120},       {"deepseek", 60, 80},
        {"fireworks", 600, 700},  {"google", 360, 400},       {"groq", 30, 40},
        {"mistral", 120, 150},    {"ollama", 1000, 1200},     {"openai", 500, 600},
        {"openrouter", 200, 250}, {"together", 600, 700},     {"xai", 60, 80},
    }};
    for (const Row& row : kTable) {
        if (row.name == provider) return RateLimitConfig{row.max_calls, 60.0, row.burst_size};
    }
    return std::nullopt;
}

BucketLimits bucket_limits(const RateLimitConfig& config) {
    const std::uint64_t capacity = config.burst_size.value_or(config.max_calls);
    return BucketLimits{capacity, static_cast<double>(capacity), refill_rate_for(config)};
}

TokenBucketCore::TokenBucketCore(const RateLimitConfig& config, std::shared_ptr<const Clock> clock)
    : clock_(std::move(clock)),
      limits_(bucket_limits(config)),
      level_{limits_.capacity_tokens, clock_.now()} {}

std::expected<void, ProxyError> TokenBucketCore::try_acquire(std::uint64_t n) {
    double available = 0.0;
    {
        std::lock_guard lock(mutex_);
        bucket_refill(level_, limits_, clock_.now());
        if (bucket_can_take(level_, limits_, n)) {
            bucket_take(level_, n);
            return {};
        }
        available = level_.tokens;
    }
    return std::unexpected(ProxyError(RateLimited{available, n}));
}

double TokenBucketCore::available_tokens() {
    std::lock_guard lock(mutex_);
    bucket_refill(level_, limits_, clock_.now());
    return level_.tokens;
}

}  // namespace velmorquist
