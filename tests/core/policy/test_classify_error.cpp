#include "core/policy/classify_error.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace velmorquist {
namespace {

struct ClassifyCase {
    std::string message;
    std::string_view expected;
};

class ClassifyTest : public ::testing::TestWithParam<ClassifyCase> {};

TEST_P(ClassifyTest, EarliestRuleWins) {
    EXPECT_EQ(failure_type_text(classify_error(GetParam().message)), GetParam().expected)
        << GetParam().message;
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ClassifyTest,
    ::testing::Values(
        ClassifyCase{"", "unknown"}, ClassifyCase{"Status 429: Too Many Requests", "rate_limit"},
        ClassifyCase{"Rate Limit exceeded", "rate_limit"}, ClassifyCase{"Invalid API key", "auth"},
        ClassifyCase{"403 Forbidden", "auth"}, ClassifyCase{"OAuth token expired", "auth"},
        ClassifyCase{"Request timed out", "timeout"}, ClassifyCase{"deadline exceeded", "timeout"},
        ClassifyCase{"Gateway Timeout", "timeout"}, ClassifyCase{"504", "unknown"},
        ClassifyCase{"DNS lookup failed", "connection"},
        ClassifyCase{"Connection reset by peer", "connection"},
        ClassifyCase{"ECONNREFUSED", "connection"}, ClassifyCase{"preset not found", "connection"},
        ClassifyCase{"502 Bad Gateway", "service_error"},
        ClassifyCase{"Service overloaded", "service_error"},
        ClassifyCase{"Internal Error", "service_error"},
        ClassifyCase{"Service Unavailable", "unknown"},
        ClassifyCase{"request id 14290", "rate_limit"},
        ClassifyCase{"connection timed out", "timeout"},
        ClassifyCase{"429 internal error", "rate_limit"},
        ClassifyCase{"authentication timeout", "auth"},
        // The Kelvin sign lower-cases to an ASCII k.
        ClassifyCase{"API \xE2\x84\xAA" "EY", "auth"},
        // A dotted capital I lower-cases to i plus a combining mark: no match.
        ClassifyCase{"RATE L\xC4\xB0MIT", "unknown"},
        ClassifyCase{"\xC3\x89RROR 5\xC3\xA9" "00", "unknown"},
        ClassifyCase{std::string("time\0out", 8), "unknown"},
        ClassifyCase{std::string(5000, 'x') + "overloaded", "service_error"}));

// Straightforward reference: ASCII lower-casing plus the Kelvin sign, then
// std::string::find row by row.
std::string_view reference(const std::string& message) {
    std::string lowered;
    for (std::size_t i = 0; i < message.size(); ++i) {
        if (message.compare(i, 3, "\xE2\x84\xAA") == 0) {
            lowered += 'k';
            i += 2;
            continue;
        }
        char c = message[i];
        lowered += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    }
    const std::vector<std::pair<std::vector<std::string>, std::string_view>> rows = {
        {{"rate limit", "429", "too many"}, "rate_limit"},
        {{"auth", "401", "api key", "unauthorized", "forbidden", "403"}, "auth"},
        {{"timeout", "timed out", "deadline"}, "timeout"},
        {{"connection", "network", "dns", "refused", "reset"}, "connection"},
        {{"500", "502", "503", "server error", "internal error", "overloaded"}, "service_error"},
    };
    for (const auto& [needles, text] : rows)
        for (const auto& needle : needles)
            if (lowered.find(needle) != std::string::npos) return text;
    return "unknown";
}

TEST(ClassifyPropertyTest, AgreesWithReferenceOnRandomText) {
    // Fragments that make partial and overlapping needles likely.
    const std::vector<std::string> fragments = {
        "RATE", " ", "limit", "42", "9", "Too", "MANY", "au", "TH", "40", "1", "3", "api", "KEY",
        "time", "OUT", "dead", "LINE", "conn", "ection", "DNS", "re", "SET", "fused", "50", "0",
        "2", "server", " error", "internal", "OVER", "loaded", "\xE2\x84\xAA", "\xC4\xB0", "\xC3"};
    std::mt19937 generator(12345);
    std::uniform_int_distribution<std::size_t> pick(0, fragments.size() - 1);
    std::uniform_int_distribution<int> length(0, 12);
    for (int trial = 0; trial < 20000; ++trial) {
        std::string message;
        for (int i = length(generator); i > 0; --i) message += fragments[pick(generator)];
        ASSERT_EQ(failure_type_text(classify_error(message)), reference(message)) << message;
    }
}

}  // namespace
}  // namespace velmorquist
