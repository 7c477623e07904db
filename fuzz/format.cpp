// Number formatting: the shortest form reads back to the same double and has
// no exponent; the fixed form equals the C library's correctly rounded %.*f.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/base/format.hpp"
#include "fuzz_input.hpp"

namespace {

[[noreturn]] void fail(const char* what, double value, const std::string& text) {
    std::fprintf(stderr, "%s: %a formatted as \"%s\"\n", what, value, text.c_str());
    std::abort();
}

void check_shortest(double value) {
    std::string text = velmorquist::format_shortest(value);
    if (std::isnan(value)) {
        if (text != "NaN") fail("NaN spelling", value, text);
        return;
    }
    if (std::isinf(value)) {
        if (text != (value < 0 ? "-inf" : "inf")) fail("infinity spelling", value, text);
        return;
    }
    if (text.find_first_not_of("-0123456789.") != std::string::npos)
        fail("not plain positional notation", value, text);
    if (!text.empty() && text.back() == '.') fail("trailing point", value, text);
    char* end = nullptr;
    double back = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() ||
        std::bit_cast<std::uint64_t>(back) != std::bit_cast<std::uint64_t>(value))
        fail("does not read back", value, text);
    // Shortest: dropping the last digit must no longer read back. (Only the
    // fractional part can be trimmed; whole numbers need every digit.)
    std::size_t point = text.find('.');
    if (point != std::string::npos) {
        std::string shorter = text.substr(0, text.size() - 1);
        if (shorter.back() == '.') shorter.pop_back();
        if (std::strtod(shorter.c_str(), nullptr) == value) fail("not the shortest", value, text);
    }
}

void check_fixed(double value, int decimals) {
    std::string text = velmorquist::format_fixed(value, decimals);
    if (std::isnan(value) || std::isinf(value)) {
        if (text != (std::isnan(value) ? "NaN" : value < 0 ? "-inf" : "inf"))
            fail("non-finite spelling", value, text);
        return;
    }
    // glibc's printf converts exactly and rounds exact ties to even.
    char want[400];
    std::snprintf(want, sizeof want, "%.*f", decimals, value);
    if (text != want) fail("fixed differs from printf", value, text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmorquist::fuzz::Input input(data, size);
    double value = std::bit_cast<double>(input.take<std::uint64_t>());
    int decimals = input.take<std::uint8_t>() % 18;
    check_shortest(value);
    check_fixed(value, decimals);
    return 0;
}
