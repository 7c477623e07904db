#include "core/base/json_scan.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmorquist {
namespace {

constexpr std::array<std::string_view, 2> kNames = {"model", "stream"};

struct Scanned {
    std::expected<void, JsonFault> result;
    std::array<JsonMember, 2> found;
};

Scanned scan(std::string_view text) {
    Scanned out;
    out.result = scan_json_object(text, kNames, out.found);
    return out;
}

std::string_view value(std::string_view text, const JsonMember& member) {
    return text.substr(member.begin, member.end - member.begin);
}

struct FaultCase {
    std::string text;
    JsonFault fault;
};

class FaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultTest, RefusesWhatIsNotOneObject) {
    const Scanned scanned = scan(GetParam().text);
    ASSERT_FALSE(scanned.result.has_value());
    EXPECT_EQ(scanned.result.error(), GetParam().fault);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FaultTest,
    ::testing::Values(
        FaultCase{"", JsonFault::Invalid}, FaultCase{"  ", JsonFault::Invalid},
        FaultCase{"{", JsonFault::Invalid}, FaultCase{"{}}", JsonFault::Invalid},
        FaultCase{"{\"a\":1,}", JsonFault::Invalid}, FaultCase{"{\"a\" 1}", JsonFault::Invalid},
        FaultCase{"{a:1}", JsonFault::Invalid}, FaultCase{"[1,]", JsonFault::Invalid},
        FaultCase{"{\"a\":[1 2]}", JsonFault::Invalid}, FaultCase{"{\"a\":01}", JsonFault::Invalid},
        FaultCase{"{\"a\":1.}", JsonFault::Invalid}, FaultCase{"{\"a\":-}", JsonFault::Invalid},
        FaultCase{"{\"a\":1e}", JsonFault::Invalid}, FaultCase{"{\"a\":NaN}", JsonFault::Invalid},
        FaultCase{"{\"a\":tru}", JsonFault::Invalid}, FaultCase{"{\"a\":\"\\x\"}", JsonFault::Invalid},
        FaultCase{"{\"a\":\"\\u12g4\"}", JsonFault::Invalid},
        FaultCase{"{\"a\":\"tab\there\"}", JsonFault::Invalid},
        FaultCase{std::string("{\"a\":\"\0\"}", 8), JsonFault::Invalid},
        FaultCase{"{\"a\":\"unclosed}", JsonFault::Invalid},
        // UTF-8: overlong, an encoded surrogate, past U+10FFFF, a cut sequence.
        FaultCase{"{\"a\":\"\xC0\xAF\"}", JsonFault::Invalid},
        FaultCase{"{\"a\":\"\xED\xA0\x80\"}", JsonFault::Invalid},
        FaultCase{"{\"a\":\"\xF4\x90\x80\x80\"}", JsonFault::Invalid},
        FaultCase{"{\"a\":\"\xE2\x82\"}", JsonFault::Invalid},
        FaultCase{"{} x", JsonFault::Invalid}, FaultCase{std::string(100000, '['), JsonFault::Invalid},
        FaultCase{"[{\"model\":1}]", JsonFault::NotObject}, FaultCase{"\"x\"", JsonFault::NotObject},
        FaultCase{"null", JsonFault::NotObject},
        FaultCase{"{\"model\":1,\"model\":2}", JsonFault::Repeated},
        FaultCase{"{\"stream\":1,\"str\\u0065am\":2}", JsonFault::Repeated}));

TEST(JsonScan, FindsTopLevelMembersOnlyWithTheirExactText) {
    const std::string text =
        " { \"messages\": [{\"model\": \"inner\"}], \"model\" : \"chat \\\"x\\\"\" ,"
        " \"x\": {\"stream\": true}, \"stream\": {\"a\": [1, 2.5e-3, null]} } ";
    const Scanned scanned = scan(text);
    ASSERT_TRUE(scanned.result.has_value());
    ASSERT_TRUE(scanned.found[0].found && scanned.found[1].found);
    EXPECT_EQ(value(text, scanned.found[0]), "\"chat \\\"x\\\"\"");
    EXPECT_EQ(value(text, scanned.found[1]), "{\"a\": [1, 2.5e-3, null]}");
}

TEST(JsonScan, AnyDepthOfNestingIsCheckedWithoutRecursion) {
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    const std::string text = "{\"x\":" + deep + ",\"model\":{}}";
    const Scanned scanned = scan(text);
    ASSERT_TRUE(scanned.result.has_value());
    EXPECT_EQ(value(text, scanned.found[0]), "{}");
    EXPECT_FALSE(scanned.found[1].found);
}

TEST(JsonScan, UnescapesStringsAndKeepsLoneSurrogates) {
    EXPECT_EQ(unescape_json_string("\"a\\\"\\\\\\/\\b\\f\\n\\r\\t\""), "a\"\\/\b\f\n\r\t");
    EXPECT_EQ(unescape_json_string("\"\\u00e9\\u20ac\""), "\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(unescape_json_string("\"\\ud83d\\ude00\""), "\xF0\x9F\x98\x80");
    EXPECT_EQ(unescape_json_string("\"\\ud83d\\\\ude00\""), "\xED\xA0\xBD\\ude00");
    EXPECT_EQ(unescape_json_string("\"\\udc00x\""), "\xED\xB0\x80x");
}

TEST(JsonScan, CountsArePlainNonNegativeIntegersUpToTheCap) {
    constexpr std::uint64_t cap = std::uint64_t{1} << 32;
    EXPECT_EQ(json_count("12", cap), 12u);
    EXPECT_EQ(json_count("0", cap), 0u);
    EXPECT_EQ(json_count("4294967297", cap), cap);
    EXPECT_EQ(json_count("99999999999999999999999999", cap), cap);
    EXPECT_EQ(json_count("99999999999999999999999999", UINT64_MAX), UINT64_MAX);
    for (std::string_view other : {"-3", "1.0", "1e3", "true", "\"5\"", "null", ""})
        EXPECT_EQ(json_count(other, cap), 0u) << other;
}

}  // namespace
}  // namespace velmorquist
