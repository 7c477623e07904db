// Token counts read from OpenAI-style replies and streams without parsing
// them whole (an embeddings reply can be megabytes of numbers): the last
// `usage` object is found by its name and only it is checked and read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace velmorquist {

struct TokenUsage {
    std::uint64_t input = 0;
    std::uint64_t output = 0;

    bool operator==(const TokenUsage&) const = default;
};

// The counts of the last `"usage": {...}` in `text`: `prompt_tokens` and
// `completion_tokens`, or `total_tokens` as input when neither is there.
// Nothing when the last `"usage"` is not a valid object (`"usage": null`)
// or holds no count. A count is a plain non-negative integer, capped at `cap`.
std::optional<TokenUsage> last_usage(std::string_view text, std::uint64_t cap);

// Server-sent events end with a blank line ("\n\n" or "\r\n\r\n"): where the
// last complete event of `data` ends, 0 when none is complete.
std::size_t complete_events_end(std::string_view data);

// An event of a batch whose last `usage` is an object.
struct UsageEvent {
    std::size_t begin = 0;
    std::size_t end = 0;       // past its blank line, or the batch's end
    TokenUsage usage;
    bool usage_only = false;   // `"choices": []`: the chunk sent for the usage alone
};

// The first such event that starts at or after `from` in `events` (complete
// events, as cut by complete_events_end), or nothing.
std::optional<UsageEvent> next_usage_event(std::string_view events, std::size_t from,
                                           std::uint64_t cap);

}  // namespace velmorquist
