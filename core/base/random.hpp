// The per-thread random source: a ChaCha12 keystream generator and the draws
// built on it. Core operations take the generator as a parameter so tests can
// pass one built from a fixed key and get reproducible draws.
#pragma once

#include <bit>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "core/base/chacha.hpp"
#include "core/base/error.hpp"

namespace velmorquist {

class ThreadRandom {
public:
    // A generator on a fixed key, counter 0 (for tests and benchmarks). It is
    // stamped with the current fork generation, so only a later fork rekeys it.
    // Throws InternalFault if the fork handler cannot be registered.
    explicit ThreadRandom(const ChaChaKey& key);
    // A generator whose next 64 words are `words`, followed by the keystream
    // of `key` from counter 0 (for golden-stream tests of the draws).
    ThreadRandom(const ChaChaKey& key, std::span<const std::uint32_t, kChaChaBatchWords> words);

    // Inline: a draw is usually two loads from the buffer.
    [[nodiscard]] std::uint64_t next_u64() {
        if (index_ + 1 < kChaChaBatchWords) [[likely]] {
            std::uint64_t low = buffer_[index_];
            std::uint64_t high = buffer_[index_ + 1];
            index_ += 2;
            return high << 32 | low;
        }
        return next_u64_across_refill();
    }
    [[nodiscard]] std::uint32_t next_u32();

    // Drops the unread buffered words, so the next draw refills.
    void discard_buffer() noexcept {
        index_ = kChaChaBatchWords;
        ahead_words_ = 0;
    }

private:
    friend ThreadRandom& thread_rng();
    ThreadRandom(const ChaChaKey& key, std::uintptr_t fork_stamp);
    // thread_rng's first call in a thread, kept out of its fast path.
    static ThreadRandom& create_in(std::optional<ThreadRandom>& slot);

    void refill();
    // next_u64 when the buffer holds fewer than two unread words.
    [[nodiscard]] std::uint64_t next_u64_across_refill();

    static constexpr std::int64_t kReseedThreshold = 65536;
    static constexpr std::int64_t kRefillBytes = kChaChaBatchWords * 4;

    std::uint32_t buffer_[kChaChaBatchWords];
    // Blocks computed ahead of the counter (a wide computation yields four
    // refills at once): the last ahead_words_ words of ahead_ are the next
    // refills' output, valid until the key changes.
    static constexpr std::uint32_t kAheadWords = kChaChaWideWords - kChaChaBatchWords;
    std::uint32_t ahead_[kAheadWords];
    std::uint32_t ahead_words_ = 0;
    ChaChaKey key_;
    std::uint64_t counter_ = 0;
    std::int64_t bytes_until_reseed_ = kReseedThreshold;
    std::uintptr_t fork_stamp_;
    std::uint32_t index_ = kChaChaBatchWords;  // kChaChaBatchWords: empty
};

// The calling thread's generator, created (keyed from the entropy source) on
// first use. Throws InternalFault when the entropy source or fork-handler
// registration fails; a later call tries again.
[[nodiscard]] ThreadRandom& thread_rng();

// Fills `out` with fresh key material; returns 0 or an errno value.
using EntropySource = int (*)(std::span<std::uint8_t, 32> out);
// Replaces the process's entropy source (getentropy by default) and returns
// the previous one. For tests: seeding failures and reseeds with known keys.
EntropySource set_entropy_source(EntropySource source) noexcept;

// [0, 1), 53 random bits.
[[nodiscard]] inline double uniform_unit(ThreadRandom& rng) {
    return static_cast<double>(rng.next_u64() >> 11) * 0x1.0p-53;
}
// (0, 1), 52 random bits: [1, 2) minus (1 - 2^-53), exact, from 2^-53 to
// 1 - 2^-53 in steps of 2^-52.
[[nodiscard]] inline double uniform_open_unit(ThreadRandom& rng) {
    return std::bit_cast<double>((rng.next_u64() >> 12) | 0x3FF0'0000'0000'0000ULL) -
           (1.0 - 0x1.0p-53);
}
// [low, high]; throws InternalFault "cannot sample empty range" or
// "Uniform::new_inclusive: range overflow" without drawing.
[[nodiscard]] double uniform_inclusive(ThreadRandom& rng, double low, double high);

// uniform_inclusive in two steps, for a caller that samples the same range
// many times: the checks and the scale once, then one draw per sample.
struct InclusiveRange {
    double low;
    double scale;
};
// The range, or the fault uniform_inclusive would throw for it.
[[nodiscard]] std::expected<InclusiveRange, InternalFault> prepare_inclusive(double low,
                                                                             double high);
// Exactly what uniform_inclusive returns for the prepared bounds: u in
// [0, 1 - 2^-52] from 52 bits, then u * scale + low rounded twice (the core is
// built without contraction into a fused multiply-add, which could land above
// the top of the range).
[[nodiscard]] inline double sample_inclusive(ThreadRandom& rng, const InclusiveRange& range) {
    const double u =
        std::bit_cast<double>((rng.next_u64() >> 12) | 0x3FF0'0000'0000'0000ULL) - 1.0;
    return u * range.scale + range.low;
}
// [0, n) for n >= 1; n == 0 is an InternalFault.
[[nodiscard]] std::uint64_t uniform_index(ThreadRandom& rng, std::uint64_t n);
// Beta(alpha, beta) in [0, 1], or Sampling "invalid Beta(a, b): <reason>".
[[nodiscard]] std::expected<double, ProxyError> beta_sample(ThreadRandom& rng, double alpha,
                                                            double beta);

// beta_sample with the algorithm chosen and its constants worked out once,
// for a caller that draws from the same Beta many times (the router's
// posteriors). sample() returns exactly what beta_sample returns for the same
// parameters and generator state, error messages included.
class BetaSampler {
public:
    BetaSampler(double alpha, double beta);
    [[nodiscard]] std::expected<double, ProxyError> sample(ThreadRandom& rng) const;

private:
    enum class Kind : std::uint8_t { Invalid, BB, BC };

    double alpha_;
    double beta_;
    Kind kind_ = Kind::Invalid;
    double m_ = 0.0;    // the smaller shape
    double big_ = 0.0;  // the larger shape
    double sum_ = 0.0;
    // BB: b and g. BC: c, k1 and k2.
    double first_ = 0.0;
    double second_ = 0.0;
    double third_ = 0.0;
};

}  // namespace velmorquist
