#include "core/key_strategies.hpp"

#include <algorithm>
#include <cmath>

namespace velmorquist {
namespace {

constexpr double kExplorationBonus = 0.2;
constexpr double kLoadPenalty = 0.1;
constexpr double kScoreFloor = 0.01;

bool available(const KeyRecord& record) { return record.status == KeyStatus::Active; }

}  // namespace

std::string_view strategy_text(Strategy strategy) {
    switch (strategy) {
        case Strategy::RoundRobin: return "round_robin";
        case Strategy::LeastUsed: return "least_used";
        case Strategy::Random: return "random";
        case Strategy::Weighted: return "weighted";
        case Strategy::Adaptive: return "adaptive";
    }
    return "round_robin";  // unreachable: the switch covers every strategy
}

std::optional<Strategy> strategy_from_text(std::string_view text) {
    for (Strategy strategy : {Strategy::RoundRobin, Strategy::LeastUsed, Strategy::Random,
                              Strategy::Weighted, Strategy::Adaptive}) {
        if (strategy_text(strategy) == text) return strategy;
    }
    return std::nullopt;
}

std::optional<std::size_t> pick_least_used(std::span<const KeyRecord> records) {
    std::optional<std::size_t> best;
    for (std::size_t p = 0; p < records.size(); ++p) {
        if (!available(records[p])) continue;
        if (!best || records[p].total_requests < records[*best].total_requests) best = p;
    }
    return best;
}

std::optional<std::size_t> pick_random(std::span<const KeyRecord> records, ThreadRandom& rng) {
    const auto count = static_cast<std::uint64_t>(
        std::count_if(records.begin(), records.end(), available));
    if (count == 0) return std::nullopt;
    std::uint64_t skip = uniform_index(rng, count);
    for (std::size_t p = 0; p < records.size(); ++p) {
        if (!available(records[p])) continue;
        if (skip == 0) return p;
        --skip;
    }
    return std::nullopt;  // unreachable: skip < count
}

std::optional<std::size_t> pick_weighted(std::span<const KeyRecord> records, ThreadRandom& rng) {
    double total = 0.0;
    std::optional<std::size_t> last;
    for (std::size_t p = 0; p < records.size(); ++p) {
        if (!available(records[p])) continue;
        total += records[p].weight;
        last = p;
    }
    if (!last) return std::nullopt;
    if (total <= 0.0) return pick_random(records, rng);
    double t = uniform_unit(rng) * total;
    for (std::size_t p = 0; p < records.size(); ++p) {
        if (!available(records[p])) continue;
        t -= records[p].weight;
        if (t <= 0.0) return p;
    }
    // Rounding, or a total that is not a number, can leave t above zero.
    return last;
}

double adaptive_score(const KeyRecord& record, const HealthWeights& weights,
                      double mean_requests) {
    const auto requests = static_cast<double>(record.total_requests);
    double penalty = 0.0;
    if (mean_requests > 0.0)
        penalty = kLoadPenalty * std::max(requests / mean_requests - 1.0, 0.0);
    const double bonus = record.total_requests == 0 ? kExplorationBonus : 0.0;
    const double score = health_score(record, weights) * record.weight + bonus - penalty;
    if (std::isnan(score)) return kScoreFloor;
    return std::max(score, kScoreFloor);
}

std::optional<std::size_t> pick_adaptive(std::span<const KeyRecord> records,
                                         const HealthWeights& weights, std::span<double> scores,
                                         ThreadRandom& rng) {
    const std::size_t n = records.size();
    // The load mean runs over every key, available or not.
    double mean = 0.0;
    if (n >= 2) {
        std::uint64_t sum = 0;
        for (const KeyRecord& record : records) sum += record.total_requests;
        mean = static_cast<double>(sum) / static_cast<double>(n);
    }
    double total = 0.0;
    std::optional<std::size_t> last;
    for (std::size_t p = 0; p < n; ++p) {
        if (!available(records[p])) continue;
        scores[p] = adaptive_score(records[p], weights, mean);
        total += scores[p];
        last = p;
    }
    if (!last) return std::nullopt;
    double t = uniform_unit(rng) * total;
    for (std::size_t p = 0; p < n; ++p) {
        if (!available(records[p])) continue;
        t -= scores[p];
        if (t <= 0.0) return p;
    }
    return last;
}

}  // namespace velmorquist
