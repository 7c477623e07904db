#include "core/base/reply_usage.hpp"

#include <array>
#include <cstring>

#include "core/base/json_scan.hpp"

namespace velmorquist {
namespace {

constexpr std::string_view kUsage = "\"usage\"";
constexpr std::size_t kNone = std::string_view::npos;

// The names searched for start with a quote, which JSON is full of: a
// search that stops at each quote to compare (std::string_view's find does)
// made reading a streamed batch's usage cost 12 thousand instructions.
// Stopping at the letter after the quote instead is 3 times as quick, and
// quicker than glibc's memmem for such short names.
std::size_t find(std::string_view text, std::string_view what, std::size_t from = 0) {
    for (std::size_t at = from + 1; at < text.size();) {
        const void* letter = std::memchr(text.data() + at, what[1], text.size() - at);
        if (letter == nullptr) break;
        at = static_cast<std::size_t>(static_cast<const char*>(letter) - text.data());
        if (text.substr(at - 1, what.size()) == what) return at - 1;
        ++at;
    }
    return kNone;
}

// The same, backwards.
std::size_t rfind(std::string_view text, std::string_view what) {
    for (std::size_t end = text.size(); end > 1;) {
        const void* letter = memrchr(text.data() + 1, what[1], end - 1);
        if (letter == nullptr) break;
        const auto at = static_cast<std::size_t>(static_cast<const char*>(letter) - text.data()) - 1;
        if (text.substr(at, what.size()) == what) return at;
        end = at + 1;
    }
    return kNone;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::size_t skip_space(std::string_view text, std::size_t at) {
    while (at < text.size() && is_space(text[at])) ++at;
    return at;
}

// Where the value after a member name ending at `at` starts (past the
// colon); kNone when no colon follows.
std::size_t value_after_name(std::string_view text, std::size_t at) {
    at = skip_space(text, at);
    if (at == text.size() || text[at] != ':') return kNone;
    return skip_space(text, at + 1);
}

// A count as JSON gives it: a plain non-negative integer.
bool is_count(std::string_view value) {
    return !value.empty() && value.find_first_not_of("0123456789") == kNone;
}

// `"choices"` followed by an empty array.
bool has_no_choices(std::string_view event) {
    constexpr std::string_view kChoices = "\"choices\"";
    for (std::size_t at = find(event, kChoices); at != kNone; at = find(event, kChoices, at + 1)) {
        const std::size_t value = value_after_name(event, at + kChoices.size());
        if (value < event.size() && event[value] == '[') {
            const std::size_t close = skip_space(event, value + 1);
            if (close < event.size() && event[close] == ']') return true;
        }
    }
    return false;
}

// Whether text[at], a line feed, ends a blank line: "\n\n" or "\r\n\r\n".
bool ends_blank_line(std::string_view text, std::size_t at) {
    if (at >= 1 && text[at - 1] == '\n') return true;
    return at >= 3 && text.substr(at - 3, 4) == "\r\n\r\n";
}

// Past the first blank line after `at`, inside an event; or the text's end.
std::size_t event_end(std::string_view events, std::size_t at) {
    for (; at < events.size(); ++at) {
        const void* feed = std::memchr(events.data() + at, '\n', events.size() - at);
        if (feed == nullptr) break;
        at = static_cast<std::size_t>(static_cast<const char*>(feed) - events.data());
        if (ends_blank_line(events, at)) return at + 1;
    }
    return events.size();
}

}  // namespace

std::optional<TokenUsage> last_usage(std::string_view text, std::uint64_t cap) {
    const std::size_t name = rfind(text, kUsage);
    if (name == kNone) return std::nullopt;
    const std::size_t value = value_after_name(text, name + kUsage.size());
    if (value >= text.size() || text[value] != '{') return std::nullopt;
    enum : std::size_t { Prompt, Completion, Total, Count };
    constexpr std::array<std::string_view, Count> names = {"prompt_tokens", "completion_tokens",
                                                          "total_tokens"};
    std::array<JsonMember, Count> found;
    if (!scan_json_value(text, value, names, found)) return std::nullopt;
    auto count = [&](std::size_t which) -> std::optional<std::uint64_t> {
        if (!found[which].found) return std::nullopt;
        const std::string_view member =
            text.substr(found[which].begin, found[which].end - found[which].begin);
        if (!is_count(member)) return std::nullopt;
        return json_count(member, cap);
    };
    const auto prompt = count(Prompt);
    const auto completion = count(Completion);
    if (prompt || completion) return TokenUsage{prompt.value_or(0), completion.value_or(0)};
    if (const auto total = count(Total)) return TokenUsage{*total, 0};
    return std::nullopt;
}

std::size_t complete_events_end(std::string_view data) {
    for (std::size_t end = data.size(); end > 0;) {
        const void* feed = memrchr(data.data(), '\n', end);
        if (feed == nullptr) break;
        const auto at = static_cast<std::size_t>(static_cast<const char*>(feed) - data.data());
        if (ends_blank_line(data, at)) return at + 1;
        end = at;
    }
    return 0;
}

std::optional<UsageEvent> next_usage_event(std::string_view events, std::size_t from,
                                           std::uint64_t cap) {
    // OpenAI sends `"usage": null` in every chunk but the last: most events
    // name it, few hold an object, and only those are cut out and read.
    for (std::size_t name = find(events, kUsage, from); name != kNone;) {
        const std::size_t value = value_after_name(events, name + kUsage.size());
        if (value >= events.size() || events[value] != '{') {
            name = find(events, kUsage, name + 1);
            continue;
        }
        const std::size_t begin = from + complete_events_end(events.substr(from, name - from));
        const std::size_t end = event_end(events, name);
        const std::string_view event = events.substr(begin, end - begin);
        if (const auto usage = last_usage(event, cap))
            return UsageEvent{begin, end, *usage, has_no_choices(event)};
        name = find(events, kUsage, end);
    }
    return std::nullopt;
}

}  // namespace velmorquist
