#include "core/base/reply_usage.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace velmorquist {
namespace {

constexpr std::uint64_t kCap = 1000;

struct UsageCase {
    std::string text;
    std::optional<TokenUsage> usage;
};

class LastUsageTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(LastUsageTest, ReadsTheLastUsageObject) {
    EXPECT_EQ(last_usage(GetParam().text, kCap), GetParam().usage);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, LastUsageTest,
    ::testing::Values(
        UsageCase{R"({"usage":{"prompt_tokens":5,"completion_tokens":3}})", TokenUsage{5, 3}},
        // Detail objects, spacing and other members do not matter.
        UsageCase{R"({"usage" : { "prompt_tokens_details":{"cached_tokens":1},
                    "completion_tokens" : 3, "prompt_tokens":5 } })", TokenUsage{5, 3}},
        UsageCase{R"({"usage":{"completion_tokens":3}})", TokenUsage{0, 3}},
        UsageCase{R"({"usage":{"total_tokens":7}})", TokenUsage{7, 0}},
        UsageCase{R"({"usage":{"prompt_tokens":12345}})", TokenUsage{kCap, 0}},
        // Only the last one counts, and it must be an object with a count.
        UsageCase{R"({"usage":{"prompt_tokens":1},"x":{"usage":null}})", std::nullopt},
        UsageCase{R"({"usage":{"prompt_tokens":-1,"completion_tokens":2.0}})", std::nullopt},
        UsageCase{R"({"usage":{"prompt_tokens":"5"}})", std::nullopt},
        UsageCase{R"({"usage":{"prompt_tokens":5,})", std::nullopt},
        UsageCase{R"({"usage":{"prompt_tokens":)", std::nullopt},
        UsageCase{R"({"other":1})", std::nullopt},
        UsageCase{R"("usage":{"total_tokens":7})", TokenUsage{7, 0}},   // at the very start
        UsageCase{R"({"xusage":{"total_tokens":7},"usage_":{"total_tokens":8}})", std::nullopt}));

struct EventsCase {
    std::string data;
    std::size_t complete_end;
    // (begin, end, usage_only) of each usage event among the complete events.
    std::vector<std::tuple<std::size_t, std::size_t, bool>> usage_events;
};

class UsageEventTest : public ::testing::TestWithParam<EventsCase> {};

TEST_P(UsageEventTest, FindsEventsHoldingUsage) {
    const EventsCase& given = GetParam();
    const std::size_t cut = complete_events_end(given.data);
    EXPECT_EQ(cut, given.complete_end);
    const std::string_view events = std::string_view(given.data).substr(0, cut);
    std::vector<std::tuple<std::size_t, std::size_t, bool>> found;
    for (auto event = next_usage_event(events, 0, kCap); event;
         event = next_usage_event(events, event->end, kCap)) {
        EXPECT_EQ(event->usage, (TokenUsage{2, 1}));
        found.emplace_back(event->begin, event->end, event->usage_only);
    }
    EXPECT_EQ(found, given.usage_events);
}

// A chunk with `"usage": null`, the chunk sent for the usage alone, and a
// chunk with both choices and usage.
const std::string kChunk = R"(data: {"choices":[{}],"usage":null})";
const std::string kUsage = R"("usage":{"prompt_tokens":2,"completion_tokens":1})";
const std::string kUsageOnly = R"(data: {"choices": [ ],)" + kUsage + "}";
const std::string kBoth = R"(data: {"choices":[{}],)" + kUsage + "}";

INSTANTIATE_TEST_SUITE_P(
    Streams, UsageEventTest,
    ::testing::Values(
        EventsCase{"data: {", 0, {}},
        EventsCase{kChunk + "\n\ndata: {", kChunk.size() + 2, {}},
        EventsCase{kChunk + "\n\n" + kUsageOnly + "\n\ndata: [DONE]\n\n",
                   kChunk.size() + kUsageOnly.size() + 18,
                   {{kChunk.size() + 2, kChunk.size() + kUsageOnly.size() + 4, true}}},
        EventsCase{kChunk + "\r\n\r\n" + kUsageOnly + "\r\n\r\n",
                   kChunk.size() + kUsageOnly.size() + 8,
                   {{kChunk.size() + 4, kChunk.size() + kUsageOnly.size() + 8, true}}},
        EventsCase{kBoth + "\n\n" + kUsageOnly + "\n\n", kBoth.size() + kUsageOnly.size() + 4,
                   {{0, kBoth.size() + 2, false},
                    {kBoth.size() + 2, kBoth.size() + kUsageOnly.size() + 4, true}}},
        // A usage event not yet complete is not looked at.
        EventsCase{kChunk + "\n\n" + kUsageOnly, kChunk.size() + 2, {}}));

}  // namespace
}  // namespace velmorquist
