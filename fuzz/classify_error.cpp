// The classifier against a plain reference: lower-case ASCII, turn the Kelvin
// sign into k, then try every rule's needles in order with std::string::find.
#include <array>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <string_view>

#include "core/policy/classify_error.hpp"

namespace {

using velmorquist::FailureType;

struct Rule {
    std::array<std::string_view, 6> needles;
    FailureType type;
};

const std::array<Rule, 5> kRules{{
    {{"rate limit", "429", "too many"}, FailureType::RateLimit},
    {{"auth", "401", "api key", "unauthorized", "forbidden", "403"}, FailureType::Auth},
    {{"timeout", "timed out", "deadline"}, FailureType::Timeout},
    {{"connection", "network", "dns", "refused", "reset"}, FailureType::Connection},
    {{"500", "502", "503", "server error", "internal error", "overloaded"},
     FailureType::ServiceError},
}};

FailureType reference(std::string_view message) {
    std::string lowered;
    for (std::size_t i = 0; i < message.size(); ++i) {
        if (message.substr(i, 3) == "\xE2\x84\xAA") {
            lowered += 'k';
            i += 2;
            continue;
        }
        char c = message[i];
        lowered += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    for (const Rule& rule : kRules)
        for (std::string_view needle : rule.needles)
            if (!needle.empty() && lowered.find(needle) != std::string::npos) return rule.type;
    return FailureType::Unknown;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view message(reinterpret_cast<const char*>(data), size);
    FailureType got = velmorquist::classify_error(message);
    FailureType want = reference(message);
    if (got != want) {
        std::fprintf(stderr, "classify_error gave %s, the reference %s\n",
                     velmorquist::failure_type_text(got).data(),
                     velmorquist::failure_type_text(want).data());
        std::abort();
    }
    return 0;
}
