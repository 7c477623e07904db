// The server's counts of one request, added into the array of doubles its
// metrics keep (one array per worker, in a file the others read), at places
// fixed when the server starts. Done natively: in Python the dozen additions
// and bucket searches cost as much as the rest of a request's bookkeeping.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>

namespace velmorquist {

// Histogram bounds. A histogram takes bounds.size() + 2 cells: a bucket per
// bound (values up to it), one for values past every bound, then the sum.
inline constexpr std::array<double, 12> kOverheadBoundsS{
    0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 1.0};
inline constexpr std::array<double, 12> kFirstTokenBoundsS{
    0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0, 30.0, 60.0};
inline constexpr std::array<double, 11> kTokenBounds{
    1, 4, 16, 64, 256, 1024, 4096, 16384, 65536, 262144, 1048576};

// Where one request's figures go, and the figures. Each histogram is named
// by its first cell.
struct RequestTally {
    std::size_t request = 0;             // its (model, provider, outcome) count
    std::optional<std::size_t> success;  // the provider's successful calls, when it served
    std::size_t overhead = 0;
    double overhead_s = 0.0;
    std::size_t first_token = 0;
    std::optional<double> first_token_s;  // a stream's, once its first chunk went out
    std::size_t tokens_in = 0;
    std::size_t tokens_out = 0;
    struct Tokens {
        double input = 0.0;
        double output = 0.0;
    };
    std::optional<Tokens> tokens;         // when the upstream said
};

// Adds the request into `cells`; false, with nothing added, when one of its
// places lies outside them.
bool tally_request(std::span<double> cells, const RequestTally& tally);

}  // namespace velmorquist
