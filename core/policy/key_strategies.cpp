#include "core/policy/key_strategies.hpp"

namespace velmorquist {

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

}  // namespace velmorquist
