#include "core/base/format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>

namespace velmorquist {
namespace {

// Written positionally the largest double needs 309 integer digits and the
// smallest subnormal 326 characters ("0." and 323 zeros before its "5"); with a
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

// chars_format::fixed without a precision gives the shortest *string*, which
// for large whole values is the exact integer (2^63 -> ...775808). The fewest
// significant digits come from the scientific form; the point is placed here.
void append_shortest(std::string& out, double value) {
    if (append_non_finite(out, value)) return;
    char scientific[32];  // "-d.dddddddddddddddde-308" at most
    const char* end =
        std::to_chars(scientific, std::end(scientific), value, std::chars_format::scientific).ptr;
    // Layout: [-]d[.ddd]e(+|-)dd[d]
    const char* first = scientific + (scientific[0] == '-');
    const char* mark = first + 1;
    const char* fraction = mark;
    while (*mark != 'e') ++mark;
    if (fraction != mark) ++fraction;  // skip the point
    const std::size_t fraction_digits = static_cast<std::size_t>(mark - fraction);
    int exponent = 0;
    for (const char* digit = mark + 2; digit != end; ++digit) {
        exponent = exponent * 10 + (*digit - '0');
    }
    if (mark[1] == '-') exponent = -exponent;

    char buffer[kBufferSize];
    char* write = buffer;
    if (first != scientific) *write++ = '-';
    if (exponent < 0) {
        // 0.000ddd: -exponent - 1 zeros between the point and the digits.
        const std::size_t zeros = static_cast<std::size_t>(-exponent - 1);
        *write++ = '0';
        *write++ = '.';
        std::memset(write, '0', zeros);
        write += zeros;
        *write++ = *first;
        std::memcpy(write, fraction, fraction_digits);
        write += fraction_digits;
    } else if (static_cast<std::size_t>(exponent) >= fraction_digits) {
        // dddd000: whole, padded with zeros.
        const std::size_t zeros = static_cast<std::size_t>(exponent) - fraction_digits;
        *write++ = *first;
        std::memcpy(write, fraction, fraction_digits);
        write += fraction_digits;
        std::memset(write, '0', zeros);
        write += zeros;
    } else {
        // dd.ddd: the point moves `exponent` digits to the right.
        const std::size_t moved = static_cast<std::size_t>(exponent);
        *write++ = *first;
        std::memcpy(write, fraction, moved);
        write += moved;
        *write++ = '.';
        std::memcpy(write, fraction + moved, fraction_digits - moved);
        write += fraction_digits - moved;
    }
    out.append(buffer, write);
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
