#include "core/classify_error.hpp"

#include <array>
#include <string>

namespace velmorquist {
namespace {

struct Rule {
    FailureType type;
    std::array<std::string_view, 6> needles;  // unused slots stay empty
};

constexpr std::array<Rule, 5> kRules{{
    {FailureType::RateLimit, {"rate limit", "429", "too many"}},
    {FailureType::Auth, {"auth", "401", "api key", "unauthorized", "forbidden", "403"}},
    {FailureType::Timeout, {"timeout", "timed out", "deadline"}},
    {FailureType::Connection, {"connection", "network", "dns", "refused", "reset"}},
    {FailureType::ServiceError,
     {"500", "502", "503", "server error", "internal error", "overloaded"}},
}};

// The Kelvin sign U+212A, whose lower-case form is the ASCII letter k.
constexpr std::string_view kKelvinSign = "\xE2\x84\xAA";

// Every needle is ASCII and none ends in "i", so of all non-ASCII characters
// only the Kelvin sign can take part in a match once lower-cased (a dotted
// capital I lower-cases to "i" plus a combining mark, which breaks any match
// running past the "i"). Every other non-ASCII byte is kept as it is: bytes
// of 0x80 and above never equal a needle byte.
void lower_for_matching(std::string_view message, std::string& out) {
    out.resize(message.size());
    std::size_t written = 0;
    for (std::size_t i = 0; i < message.size(); ++i) {
        char byte = message[i];
        if (byte >= 'A' && byte <= 'Z') {
            out[written++] = static_cast<char>(byte - 'A' + 'a');
        } else if (byte == kKelvinSign[0] && message.substr(i, 3) == kKelvinSign) {
            out[written++] = 'k';
            i += 2;
        } else {
            out[written++] = byte;
        }
    }
    out.resize(written);
}

}  // namespace

std::string_view failure_type_text(FailureType type) {
    switch (type) {
        case FailureType::RateLimit: return "rate_limit";
        case FailureType::Auth: return "auth";
        case FailureType::Timeout: return "timeout";
        case FailureType::Connection: return "connection";
        case FailureType::ServiceError: return "service_error";
        case FailureType::Unknown: return "unknown";
    }
    return "unknown";  // unreachable: the switch covers every type
}

FailureType classify_error(std::string_view message) {
    std::string lowered;
    lower_for_matching(message, lowered);
    std::string_view text = lowered;
    for (const Rule& rule : kRules) {
        for (std::string_view needle : rule.needles) {
            if (!needle.empty() && text.find(needle) != std::string_view::npos) return rule.type;
        }
    }
    return FailureType::Unknown;
}

}  // namespace velmorquist
