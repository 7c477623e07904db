// The five ways a key pool picks among its available keys. Each works on the
// records in map order, takes as available exactly the Active ones (the pool
// has already run its cool-down expiry pass), and returns the chosen position,
// or nullopt when no key is available. None of them allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/key_record.hpp"
#include "core/random.hpp"

namespace velmorquist {

enum class Strategy : std::uint8_t { RoundRobin, LeastUsed, Random, Weighted, Adaptive };

[[nodiscard]] std::string_view strategy_text(Strategy strategy);
// Exact, case-sensitive match of the five texts.
[[nodiscard]] std::optional<Strategy> strategy_from_text(std::string_view text);

// First available from cursor mod n; the cursor becomes that position + 1.
// Inline: with every key active it is a couple of comparisons.
[[nodiscard]] inline std::optional<std::size_t> pick_round_robin(
    std::span<const KeyRecord> records, std::uint64_t& cursor) {
    const std::size_t n = records.size();
    if (n == 0) return std::nullopt;
    // The cursor is usually at most n (it was left at a position + 1), and a
    // 64-bit division costs more than the rest of the pick.
    const auto start =
        static_cast<std::size_t>(cursor < n ? cursor : cursor == n ? 0 : cursor % n);
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t p = start + i;
        if (p >= n) p -= n;
        if (records[p].status != KeyStatus::Active) continue;
        // Left unreduced: the next call takes it modulo the size it then finds.
        cursor = static_cast<std::uint64_t>(p) + 1;
        return p;
    }
    return std::nullopt;
}
// Fewest total_requests; ties go to the earliest key.
[[nodiscard]] std::optional<std::size_t> pick_least_used(std::span<const KeyRecord> records);
// Uniform over the available keys: one uniform_index draw.
[[nodiscard]] std::optional<std::size_t> pick_random(std::span<const KeyRecord> records,
                                                     ThreadRandom& rng);
// In proportion to weight: one uniform_unit draw, or pick_random's one draw
// when the weights do not sum to something positive.
[[nodiscard]] std::optional<std::size_t> pick_weighted(std::span<const KeyRecord> records,
                                                       ThreadRandom& rng);
// In proportion to health x weight, plus a bonus for unused keys and minus a
// penalty for keys used more than the mean: one uniform_unit draw. `scores`
// is scratch space with one entry per record.
[[nodiscard]] std::optional<std::size_t> pick_adaptive(std::span<const KeyRecord> records,
                                                       const HealthWeights& weights,
                                                       std::span<double> scores,
                                                       ThreadRandom& rng);

// The score pick_adaptive gives a record, given the mean total_requests over
// all records of the pool (0.0 when the pool has fewer than two keys).
[[nodiscard]] double adaptive_score(const KeyRecord& record, const HealthWeights& weights,
                                    double mean_requests);

}  // namespace velmorquist
