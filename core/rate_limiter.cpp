#include "core/rate_limiter.hpp"

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

// tokens >= n compared exactly. Converting n to a double first would round
// requests beyond 2^53 and could admit one the bucket cannot cover.
bool covers(double tokens, std::uint64_t n) {
    // Up to 2^53 the conversion is exact, and for a whole n, tokens >= n holds
    // exactly when floor(tokens) >= n: the same answer without waiting for a
    // conversion of the freshly refilled level.
    if (n <= (std::uint64_t{1} << 53)) [[likely]]
        return tokens >= static_cast<double>(n);
    constexpr double kTwoTo64 = 18446744073709551616.0;
    if (tokens >= kTwoTo64) return true;
    // 0 <= tokens < 2^64 here, so truncation is the exact floor.
    return static_cast<std::uint64_t>(tokens) >= n;
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

TokenBucketCore::TokenBucketCore(const RateLimitConfig& config, std::shared_ptr<const Clock> clock)
    : clock_(std::move(clock)),
      capacity_(config.burst_size.value_or(config.max_calls)),
      capacity_tokens_(static_cast<double>(capacity_)),
      refill_rate_(refill_rate_for(config)),
      tokens_(capacity_tokens_),
      last_refill_(clock_.now()) {}

inline void TokenBucketCore::refill() {
    double now = clock_.now();
    double elapsed = now - last_refill_;
    if (!(elapsed > 0.0)) return;
    double sum = tokens_ + elapsed * refill_rate_;
    // Written as sum < capacity so a NaN or infinite sum fills the bucket.
    tokens_ = sum < capacity_tokens_ ? sum : capacity_tokens_;
    last_refill_ = now;
}

std::expected<void, ProxyError> TokenBucketCore::try_acquire(std::uint64_t n) {
    double available = 0.0;
    {
        std::lock_guard lock(mutex_);
        refill();
        // The capacity check stays in integers: near 2^64 the capacity itself
        // rounds up as a double, and a request above it must still be refused.
        if (n <= capacity_ && covers(tokens_, n)) {
            // n <= tokens_ and tokens_ is a double, so the rounded n is at most
            // tokens_ and the level cannot go negative.
            tokens_ -= static_cast<double>(n);
            return {};
        }
        available = tokens_;
    }
    return std::unexpected(ProxyError(RateLimited{available, n}));
}

double TokenBucketCore::available_tokens() {
    std::lock_guard lock(mutex_);
    refill();
    return tokens_;
}

}  // namespace velmorquist
