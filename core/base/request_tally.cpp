#include "core/base/request_tally.hpp"

#include <algorithm>

namespace velmorquist {
namespace {

template <std::size_t N>
bool fits(std::span<double> cells, std::size_t at, const std::array<double, N>&) {
    return at <= cells.size() && cells.size() - at >= N + 2;
}

// The Prometheus bucket of `value`: the first bound at or above it.
template <std::size_t N>
void observe(std::span<double> cells, std::size_t at, const std::array<double, N>& bounds,
             double value) {
    const auto bucket = std::lower_bound(bounds.begin(), bounds.end(), value) - bounds.begin();
    cells[at + static_cast<std::size_t>(bucket)] += 1.0;
    cells[at + N + 1] += value;
}

}  // namespace

bool tally_request(std::span<double> cells, const RequestTally& tally) {
    const bool placed =
        tally.request < cells.size() && (!tally.success || *tally.success < cells.size()) &&
        fits(cells, tally.overhead, kOverheadBoundsS) &&
        (!tally.first_token_s || fits(cells, tally.first_token, kFirstTokenBoundsS)) &&
        (!tally.tokens ||
         (fits(cells, tally.tokens_in, kTokenBounds) && fits(cells, tally.tokens_out, kTokenBounds)));
    if (!placed) return false;
    cells[tally.request] += 1.0;
    if (tally.success) cells[*tally.success] += 1.0;
    observe(cells, tally.overhead, kOverheadBoundsS, tally.overhead_s);
    if (tally.first_token_s) observe(cells, tally.first_token, kFirstTokenBoundsS, *tally.first_token_s);
    if (tally.tokens) {
        observe(cells, tally.tokens_in, kTokenBounds, tally.tokens->input);
        observe(cells, tally.tokens_out, kTokenBounds, tally.tokens->output);
    }
    return true;
}

}  // namespace velmorquist
