#include "core/format.hpp"

#include <charconv>
#include <cmath>

namespace velmorquist {
namespace {

// The largest double written positionally needs 309 integer digits; with a
// sign and up to a few dozen decimals this leaves ample room.
constexpr std::size_t kBufferSize = 400;

// to_chars spells these "nan"/"inf"; reprs and messages want "NaN"/"inf".
bool append_non_finite(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return true;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return true;
    }
    return false;
}

}  // namespace

void append_shortest(std::string& out, double value) {
    if (append_non_finite(out, value)) return;
    char buffer[kBufferSize];
    auto result = std::to_chars(buffer, buffer + kBufferSize, value, std::chars_format::fixed);
    out.append(buffer, result.ptr);
}

std::string format_shortest(double value) {
    std::string out;
    append_shortest(out, value);
    return out;
}

void append_fixed(std::string& out, double value, int decimals) {
    if (append_non_finite(out, value)) return;
    char buffer[kBufferSize];
    auto result =
        std::to_chars(buffer, buffer + kBufferSize, value, std::chars_format::fixed, decimals);
    out.append(buffer, result.ptr);
}

std::string format_fixed(double value, int decimals) {
    std::string out;
    append_fixed(out, value, decimals);
    return out;
}

}  // namespace velmorquist
