// Number formatting shared by error messages and reprs.
#pragma once

#include <string>

namespace velmorquist {

// Shortest decimal that reads back to the same double, never in exponent
// notation: 3.0 -> "3", 1e-7 -> "0.0000001", -0.0 -> "-0", NaN -> "NaN".
[[nodiscard]] std::string format_shortest(double value);
void append_shortest(std::string& out, double value);

// Exactly `decimals` digits after the point (none and no point for 0),
// correctly rounded from the double's exact value with ties to even.
[[nodiscard]] std::string format_fixed(double value, int decimals);
void append_fixed(std::string& out, double value, int decimals);

}  // namespace velmorquist
