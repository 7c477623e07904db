// The five ways a key pool picks among its available keys. Each works on the
// records in pool order, takes as available exactly the Active ones (the pool
// has already run its cool-down expiry pass), and returns the chosen position,
// or nullopt when no key is available. None of them allocates.
//
// Templates over the records, so a pool in this process (KeyRecord) and keys
// in a shared-memory region pick by the same code: `Records` is anything with
// size() and operator[] giving records with KeyRecord's fields.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/policy/key_record.hpp"
#include "core/base/random.hpp"

namespace velmorquist {

enum class Strategy : std::uint8_t { RoundRobin, LeastUsed, Random, Weighted, Adaptive };

[[nodiscard]] std::string_view strategy_text(Strategy strategy);
// Exact, case-sensitive match of the five texts.
[[nodiscard]] std::optional<Strategy> strategy_from_text(std::string_view text);

namespace strategy_detail {

inline constexpr double kExplorationBonus = 0.2;
inline constexpr double kLoadPenalty = 0.1;
inline constexpr double kScoreFloor = 0.01;

template <class Record>
[[nodiscard]] bool available(const Record& record) {
    return record.status == KeyStatus::Active;
}

}  // namespace strategy_detail

// First available from cursor mod n; the cursor becomes that position + 1.
// Inline: with every key active it is a couple of comparisons.
template <class Records>
[[nodiscard]] std::optional<std::size_t> pick_round_robin(const Records& records,
                                                          std::uint64_t& cursor) {
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
template <class Records>
[[nodiscard]] std::optional<std::size_t> pick_least_used(const Records& records) {
    std::optional<std::size_t> best;
    for (std::size_t p = 0; p < records.size(); ++p) {
        if (!strategy_detail::available(records[p])) continue;
        if (!best || records[p].total_requests < records[*best].total_requests) best = p;
    }
    return best;
}

// Uniform over the available keys: one uniform_index draw.
template <class Records>
[[nodiscard]] std::optional<std::size_t> pick_random(const Records& records, ThreadRandom& rng) {
    std::uint64_t count = 0;
    for (std::size_t p = 0; p < records.size(); ++p)
        count += strategy_detail::available(records[p]) ? 1 : 0;
    if (count == 0) return std::nullopt;
    std::uint64_t skip = uniform_index(rng, count);
    for (std::size_t p = 0; p < records.size(); ++p) {
        if (!strategy_detail::available(records[p])) continue;
        if (skip == 0) return p;
        --skip;
    }
    return std::nullopt;  // unreachable: skip < count
}

// In proportion to weight: one uniform_unit draw, or pick_random's one draw
// when the weights do not sum to something positive.
template <class Records>
[[nodiscard]] std::optional<std::size_t> pick_weighted(const Records& records,
                                                       ThreadRandom& rng) {
    double total = 0.0;
    std::optional<std::size_t> last;
    for (std::size_t p = 0; p < records.size(); ++p) {
        if (!strategy_detail::available(records[p])) continue;
        total += records[p].weight;
        last = p;
    }
    if (!last) return std::nullopt;
    if (total <= 0.0) return pick_random(records, rng);
    double t = uniform_unit(rng) * total;
    for (std::size_t p = 0; p < records.size(); ++p) {
        if (!strategy_detail::available(records[p])) continue;
        t -= records[p].weight;
        if (t <= 0.0) return p;
    }
    // Rounding, or a total that is not a number, can leave t above zero.
    return last;
}

// The score pick_adaptive gives a record, given the mean total_requests over
// all records of the pool (0.0 when the pool has fewer than two keys).
template <class Record>
[[nodiscard]] double adaptive_score(const Record& record, const HealthWeights& weights,
                                    double mean_requests) {
    using namespace strategy_detail;
    const auto requests = static_cast<double>(record.total_requests);
    double penalty = 0.0;
    if (mean_requests > 0.0)
        penalty = kLoadPenalty * std::max(requests / mean_requests - 1.0, 0.0);
    const double bonus = record.total_requests == 0 ? kExplorationBonus : 0.0;
    const double score = health_score(record, weights) * record.weight + bonus - penalty;
    if (std::isnan(score)) return kScoreFloor;
    return std::max(score, kScoreFloor);
}

// In proportion to health x weight, plus a bonus for unused keys and minus a
// penalty for keys used more than the mean: one uniform_unit draw. `scores`
// is scratch space with one entry per record.
template <class Records>
[[nodiscard]] std::optional<std::size_t> pick_adaptive(const Records& records,
                                                       const HealthWeights& weights,
                                                       std::span<double> scores,
                                                       ThreadRandom& rng) {
    const std::size_t n = records.size();
    // The load mean runs over every key, available or not.
    double mean = 0.0;
    if (n >= 2) {
        std::uint64_t sum = 0;
        for (std::size_t p = 0; p < n; ++p) sum += records[p].total_requests;
        mean = static_cast<double>(sum) / static_cast<double>(n);
    }
    double total = 0.0;
    std::optional<std::size_t> last;
    for (std::size_t p = 0; p < n; ++p) {
        if (!strategy_detail::available(records[p])) continue;
        scores[p] = adaptive_score(records[p], weights, mean);
        total += scores[p];
        last = p;
    }
    if (!last) return std::nullopt;
    double t = uniform_unit(rng) * total;
    for (std::size_t p = 0; p < n; ++p) {
        if (!strategy_detail::available(records[p])) continue;
        t -= scores[p];
        if (t <= 0.0) return p;
    }
    return last;
}

// The strategy's pick; at most one draw from `rng`. `cursor` is the pool's
// round-robin position, `scores` adaptive scratch with one entry per record.
template <class Records>
[[nodiscard]] std::optional<std::size_t> pick_key(Strategy strategy, const Records& records,
                                                  std::uint64_t& cursor,
                                                  const HealthWeights& weights,
                                                  std::span<double> scores, ThreadRandom& rng) {
    switch (strategy) {
        case Strategy::RoundRobin: return pick_round_robin(records, cursor);
        case Strategy::LeastUsed: return pick_least_used(records);
        case Strategy::Random: return pick_random(records, rng);
        case Strategy::Weighted: return pick_weighted(records, rng);
        case Strategy::Adaptive: return pick_adaptive(records, weights, scores, rng);
    }
    return std::nullopt;  // unreachable: the switch covers every strategy
}

// Round-robin and adaptive selections count as a request and a daily use of
// the chosen key; the other strategies count only the feedback.
template <class Record>
void note_selected(Strategy strategy, Record& record) noexcept {
    if (strategy != Strategy::RoundRobin && strategy != Strategy::Adaptive) return;
    ++record.total_requests;
    ++record.daily_count;
}

}  // namespace velmorquist
