// beta_sample and uniform_inclusive on arbitrary doubles, with the first 64
// generator words taken from the input so edge draws (0, all ones) are reached.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/base/error.hpp"
#include "core/base/format.hpp"
#include "core/base/random.hpp"
#include "fuzz_input.hpp"

namespace {

using namespace velmorquist;

[[noreturn]] void fail(const char* what, double a, double b, const std::string& detail) {
    std::fprintf(stderr, "%s: (%a, %a): %s\n", what, a, b, detail.c_str());
    std::abort();
}

void check_beta(ThreadRandom& rng, double alpha, double beta) {
    std::expected<double, ProxyError> sample = beta_sample(rng, alpha, beta);
    if (!(alpha > 0.0) || !(beta > 0.0)) {
        std::string want = "sampling error: invalid Beta(" + format_shortest(alpha) + ", " +
                           format_shortest(beta) + "): " +
                           (!(alpha > 0.0) ? "alpha" : "beta") +
                           " is not positive in beta distribution";
        if (sample) fail("beta_sample accepted bad parameters", alpha, beta, "");
        std::string message = sample.error().message();
        if (message != want) fail("beta_sample message", alpha, beta, message);
        return;
    }
    if (!sample)
        fail("beta_sample failed on positive parameters", alpha, beta, sample.error().message());
    double x = *sample;
    // NaN comes only from shapes whose sum overflows (infinite shapes
    // included): the algorithm's constants are then NaN themselves.
    if (std::isnan(x)) {
        bool huge = !std::isfinite(alpha + beta);
        if (!huge) fail("beta_sample gave NaN", alpha, beta, "");
        return;
    }
    if (!(x >= 0.0 && x <= 1.0)) fail("beta_sample out of [0, 1]", alpha, beta, format_shortest(x));
}

void check_uniform(ThreadRandom& rng, double low, double high) {
    double x;
    try {
        x = uniform_inclusive(rng, low, high);
    } catch (const InternalFault& fault) {
        std::string message = fault.what();
        if (!(low <= high)) {
            if (message != "cannot sample empty range") fail("empty-range message", low, high, message);
            return;
        }
        if (message != "Uniform::new_inclusive: range overflow" ||
            std::isfinite((high - low) / (1.0 - 0x1.0p-52)))
            fail("unexpected fault", low, high, message);
        return;
    }
    if (!(low <= high)) fail("sampled an empty range", low, high, format_shortest(x));
    if (!(x >= low && x <= high)) fail("uniform_inclusive out of range", low, high, format_shortest(x));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    double first = input.take<double>();
    double second = input.take<double>();
    std::array<std::uint32_t, kChaChaBatchWords> words{};
    for (std::uint32_t& word : words) word = input.take<std::uint32_t>();
    ThreadRandom rng(ChaChaKey{1, 2, 3, 4, 5, 6, 7, 8}, words);
    check_beta(rng, first, second);
    check_uniform(rng, first, second);
    return 0;
}
