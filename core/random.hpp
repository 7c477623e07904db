// The per-thread random source: a ChaCha12 keystream generator and the draws
// built on it. Core operations take the generator as a parameter so tests can
// pass one built from a fixed key and get reproducible draws.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>

namespace velmorquist {

using ChaChaKey = std::array<std::uint32_t, 8>;

class ThreadRandom {
public:
    // A generator on a fixed key, counter 0 (for tests and benchmarks).
    explicit ThreadRandom(const ChaChaKey& key);

    [[nodiscard]] std::uint64_t next_u64();

    // (implementation details: buffer, index, counter, reseed budget, fork stamp)
};

// The calling thread's generator, created (keyed from getentropy) on first use.
// Throws InternalFault when the entropy source or fork-handler registration fails.
[[nodiscard]] ThreadRandom& thread_rng();

// [0, 1), 53 random bits.
[[nodiscard]] double uniform_unit(ThreadRandom& rng);
// (0, 1), 52 random bits.
[[nodiscard]] double uniform_open_unit(ThreadRandom& rng);
// [low, high]; throws InternalFault "cannot sample empty range" or
// "Uniform::new_inclusive: range overflow" without drawing.
[[nodiscard]] double uniform_inclusive(ThreadRandom& rng, double low, double high);
// [0, n) for n >= 1.
[[nodiscard]] std::uint64_t uniform_index(ThreadRandom& rng, std::uint64_t n);
// Beta(alpha, beta) in [0, 1], or the message "invalid Beta(a, b): <reason>".
[[nodiscard]] std::expected<double, std::string> beta_sample(ThreadRandom& rng, double alpha,
                                                             double beta);

}  // namespace velmorquist
