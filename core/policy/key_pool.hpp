// A pool of API keys: which key the next request should use, and the caller's
// feedback about each key. Every operation holds the pool's one lock for its
// whole duration, so a selection with its expiry pass and counter updates is a
// single step with respect to other operations on the same pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/clock.hpp"
#include "core/base/error.hpp"
#include "core/policy/key_map.hpp"
#include "core/policy/key_record.hpp"
#include "core/policy/key_strategies.hpp"
#include "core/base/mutex.hpp"
#include "core/base/random.hpp"

namespace velmorquist {

// What a summary shows of one key: no key material beyond the masked form.
struct KeySnapshot {
    std::string key_masked;
    KeyStatus status = KeyStatus::Active;
    std::uint64_t total_requests = 0;
    std::uint64_t total_errors = 0;
    std::uint64_t total_rate_limits = 0;
    double avg_latency_ms = 0.0;
    double health_score = 0.0;
    double weight = 0.0;
};

// The text of a selected key, copied out under the pool's lock: into an
// inline buffer for keys of usual length, so a selection allocates nothing
// the caller does not keep; on the heap only beyond that.
class KeyText {
public:
    // May throw bad_alloc for a key longer than the inline buffer.
    void assign(std::string_view text) {
        if (text.size() <= kInline) [[likely]] {
            std::memcpy(inline_, text.data(), text.size());
            size_ = text.size();
            heap_.clear();
            return;
        }
        heap_.assign(text);
        size_ = text.size();
    }
    [[nodiscard]] std::string_view view() const noexcept {
        return size_ <= kInline ? std::string_view(inline_, size_) : std::string_view(heap_);
    }

private:
    static constexpr std::size_t kInline = 128;
    char inline_[kInline];
    std::size_t size_ = 0;
    std::string heap_;
};

class KeyPoolCore {
public:
    KeyPoolCore(Strategy strategy, std::shared_ptr<const Clock> clock);

    [[nodiscard]] Strategy strategy() const noexcept { return strategy_; }

    // Appends a fresh record, or replaces a present key's record in place.
    void add_key(std::string_view key, double weight = 1.0,
                 std::optional<std::uint64_t> daily_limit = std::nullopt);
    bool remove_key(std::string_view key);
    [[nodiscard]] bool has_key(std::string_view key);

    // Events on one key; a key the pool does not hold is ignored.
    void record_success(std::string_view key, double latency_ms);
    void record_error(std::string_view key);
    void record_rate_limit(std::string_view key, double cooldown_secs);
    void record_exhausted(std::string_view key);
    void disable_key(std::string_view key);
    void enable_key(std::string_view key);
    void reset_daily_counters();

    // Runs the expiry pass, picks by the strategy and writes the chosen key's
    // text into `out`. `rng` is taken by the caller before the call; at most
    // one draw is made from it.
    [[nodiscard]] std::expected<void, ProxyError> select_key_into(ThreadRandom& rng,
                                                                  KeyText& out);
    [[nodiscard]] std::expected<std::string, ProxyError> select_key(ThreadRandom& rng);

    // One consistent snapshot of every key, in pool order; no expiry pass.
    [[nodiscard]] std::vector<KeySnapshot> list_keys();
    [[nodiscard]] std::size_t size();

    // Copies for inspection (tests, diagnostics).
    [[nodiscard]] std::optional<KeyRecord> record(std::string_view key);
    [[nodiscard]] std::uint64_t cursor();

private:
    // Applies `event` to the key's record under the lock, if the key is present.
    template <class Event>
    void apply(std::string_view key, Event&& event);

    const Strategy strategy_;
    const ClockHandle clock_;
    const HealthWeights weights_{};

    CoreMutex mutex_;
    KeyMap keys_;
    std::uint64_t cursor_ = 0;
    // False only while no record is RateLimited or CoolingDown: selection then
    // has no cool-down to expire and need not read the clock at all.
    bool maybe_cooling_ = false;
    std::vector<double> scores_;  // adaptive scratch: at least one entry per key
};

}  // namespace velmorquist
