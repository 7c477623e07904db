#include "core/base/access_line.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace velmorquist {
namespace {

struct JsonStringCase {
    std::string text;
    std::string json;
};

class JsonStringTest : public ::testing::TestWithParam<JsonStringCase> {};

TEST_P(JsonStringTest, WritesAsciiJson) {
    std::string out;
    append_json_string(out, GetParam().text);
    EXPECT_EQ(out, GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, JsonStringTest,
    ::testing::Values(
        JsonStringCase{"plain", R"("plain")"},
        JsonStringCase{"q\"b\\n\nr\rt\t\x01", R"("q\"b\\n\nr\rt\t\u0001")"},
        JsonStringCase{"\xC3\xA9\xE2\x82\xAC", R"("\u00e9\u20ac")"},
        JsonStringCase{"\xF0\x9F\x98\x80", R"("\ud83d\ude00")"},
        // A lone surrogate's three-byte form, as a client's model may hold.
        JsonStringCase{"\xED\xA0\x80", R"("\ud800")"},
        // Bytes that begin no sequence: overlong, cut, stray continuation.
        JsonStringCase{"\xC0\xAF|\xE2\x82|\x80", R"("\ufffd\ufffd|\ufffd\ufffd|\ufffd")"}));

TEST(AccessLineTest, WritesEveryFieldOnce) {
    AccessRecord record;
    record.time_s = 1700000000.12345;
    record.request_id = "r1";
    record.worker = 7;
    record.method = "POST";
    record.path = "/v1/chat/completions";
    record.model = "m";
    record.status = 200;
    record.attempts = 2;
    record.stream = true;
    record.latency_ms = 1.5;
    record.overhead_ms = NAN;
    record.tokens_out = 4;
    EXPECT_EQ(access_line(record),
              R"({"ts":1700000000.123,"request_id":"r1","worker":7,"method":"POST",)"
              R"("path":"/v1/chat/completions","model":"m","provider":null,"status":200,)"
              R"("attempts":2,"stream":true,"latency_ms":1.500,"overhead_ms":null,)"
              R"("tokens_in":null,"tokens_out":4})");
}

}  // namespace
}  // namespace velmorquist
