#include "core/base/json_scan.hpp"

#include <cstdint>
#include <vector>

namespace velmorquist {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four hex digits at `text[at]`; -1 when they are not.
int hex4(std::string_view text, std::size_t at) {
    if (text.size() - at < 4) return -1;
    int value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const int digit = hex_digit(text[at + i]);
        if (digit < 0) return -1;
        value = value * 16 + digit;
    }
    return value;
}

class Scanner {
public:
    Scanner(std::string_view text, std::size_t at) : text_(text), at_(at) {}

    std::size_t at() const { return at_; }
    bool at_end() const { return at_ == text_.size(); }
    char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
    void skip() { ++at_; }

    void skip_space() {
        while (at_ < text_.size() && is_space(text_[at_])) ++at_;
    }

    // A string, a number, true, false or null.
    bool scalar() {
        switch (peek()) {
            case '"': return string();
            case 't': return word("true");
            case 'f': return word("false");
            case 'n': return word("null");
            default: return number();
        }
    }

    // At the opening quote; past the closing one. `escaped` tells whether
    // the string held a backslash.
    bool string(bool* escaped = nullptr) {
        ++at_;
        while (at_ < text_.size()) {
            const auto c = static_cast<unsigned char>(text_[at_]);
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c < 0x20) return false;
            if (c == '\\') {
                if (escaped != nullptr) *escaped = true;
                if (!escape()) return false;
            } else if (c < 0x80) {
                ++at_;
            } else if (!utf8_sequence()) {
                return false;
            }
        }
        return false;
    }

private:
    bool word(std::string_view spelled) {
        if (text_.substr(at_, spelled.size()) != spelled) return false;
        at_ += spelled.size();
        return true;
    }

    bool digits() {
        if (!is_digit(peek())) return false;
        while (is_digit(peek())) ++at_;
        return true;
    }

    bool number() {
        if (peek() == '-') ++at_;
        if (peek() == '0') {
            ++at_;
        } else if (!digits()) {
            return false;
        }
        if (peek() == '.') {
            ++at_;
            if (!digits()) return false;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++at_;
            if (peek() == '+' || peek() == '-') ++at_;
            if (!digits()) return false;
        }
        return true;
    }

    bool escape() {
        ++at_;   // the backslash
        switch (peek()) {
            case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
                ++at_;
                return true;
            case 'u':
                if (hex4(text_, at_ + 1) < 0) return false;
                at_ += 5;
                return true;
            default:
                return false;
        }
    }

    // One well-formed UTF-8 sequence of two to four bytes: no overlong
    // forms, no encoded surrogates, nothing past U+10FFFF.
    bool utf8_sequence() {
        const auto lead = static_cast<unsigned char>(text_[at_]);
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;   // the second byte's range
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (text_.size() - at_ < length) return false;
        const auto second = static_cast<unsigned char>(text_[at_ + 1]);
        if (second < low || second > high) return false;
        for (std::size_t i = 2; i < length; ++i) {
            const auto next = static_cast<unsigned char>(text_[at_ + i]);
            if (next < 0x80 || next > 0xBF) return false;
        }
        at_ += length;
        return true;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

void append_utf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// What scanning one value found out besides its members.
struct ValueShape {
    std::size_t end = 0;
    bool object = false;
    bool repeated = false;   // a chosen top-level member named twice
};

// Checks the value starting at text[at] (after any space); see scan_json_value.
std::optional<ValueShape> scan_value(std::string_view text, std::size_t at,
                                     std::span<const std::string_view> names,
                                     std::span<JsonMember> found) {
    for (JsonMember& member : found) member = JsonMember{};
    Scanner scanner(text, at);
    ValueShape shape;
    // The open containers, innermost last: true for an object. Explicit, so
    // that no depth of nesting can exhaust the thread's stack.
    std::vector<bool> open;
    scanner.skip_space();
    shape.object = scanner.peek() == '{';
    std::ptrdiff_t chosen = -1;   // the chosen top-level member whose value comes next
    std::size_t chosen_begin = 0;

    // After a member's name, past its colon; notes a chosen top-level name.
    auto member_name = [&]() {
        scanner.skip_space();
        if (scanner.peek() != '"') return false;
        const std::size_t begin = scanner.at();
        bool escaped = false;
        if (!scanner.string(&escaped)) return false;
        if (open.size() == 1) {
            const std::string_view token = text.substr(begin, scanner.at() - begin);
            const std::string unescaped = escaped ? unescape_json_string(token) : std::string();
            const std::string_view name =
                escaped ? std::string_view(unescaped) : token.substr(1, token.size() - 2);
            for (std::size_t i = 0; i < names.size() && i < found.size(); ++i) {
                if (names[i] != name) continue;
                if (found[i].found) shape.repeated = true;
                chosen = static_cast<std::ptrdiff_t>(i);
            }
        }
        scanner.skip_space();
        if (scanner.peek() != ':') return false;
        scanner.skip();
        return true;
    };

    for (;;) {
        scanner.skip_space();
        if (chosen >= 0 && open.size() == 1) chosen_begin = scanner.at();
        const char c = scanner.peek();
        if (c == '{' || c == '[') {
            scanner.skip();
            scanner.skip_space();
            if (scanner.peek() != (c == '{' ? '}' : ']')) {
                open.push_back(c == '{');
                if (c == '{' && !member_name()) return std::nullopt;
                continue;   // the container's first value
            }
            scanner.skip();   // empty: a whole value already
        } else if (!scanner.scalar()) {
            return std::nullopt;
        }
        // A value ended here, and perhaps the containers around it.
        for (;;) {
            if (chosen >= 0 && open.size() == 1) {
                found[static_cast<std::size_t>(chosen)] = {chosen_begin, scanner.at(), true};
                chosen = -1;
            }
            if (open.empty()) {
                shape.end = scanner.at();
                return shape;
            }
            scanner.skip_space();
            const char next = scanner.peek();
            if (next == ',') {
                scanner.skip();
                if (open.back() && !member_name()) return std::nullopt;
                break;   // the next value
            }
            if (next != (open.back() ? '}' : ']')) return std::nullopt;
            scanner.skip();
            open.pop_back();
        }
    }
}

}  // namespace

std::expected<void, JsonFault> scan_json_object(std::string_view text,
                                                std::span<const std::string_view> names,
                                                std::span<JsonMember> found) {
    const auto shape = scan_value(text, 0, names, found);
    if (!shape) return std::unexpected(JsonFault::Invalid);
    Scanner rest(text, shape->end);
    rest.skip_space();
    if (!rest.at_end()) return std::unexpected(JsonFault::Invalid);
    if (!shape->object) return std::unexpected(JsonFault::NotObject);
    if (shape->repeated) return std::unexpected(JsonFault::Repeated);
    return {};
}

std::optional<std::size_t> scan_json_value(std::string_view text, std::size_t at,
                                           std::span<const std::string_view> names,
                                           std::span<JsonMember> found) {
    const auto shape = scan_value(text, at, names, found);
    if (!shape) return std::nullopt;
    return shape->end;
}

std::string unescape_json_string(std::string_view token) {
    std::string out;
    out.reserve(token.size());
    const std::string_view inner = token.substr(1, token.size() - 2);
    for (std::size_t i = 0; i < inner.size(); ++i) {
        const char c = inner[i];
        if (c != '\\') {
            out += c;
            continue;
        }
        const char kind = inner[++i];
        switch (kind) {
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                auto code = static_cast<std::uint32_t>(hex4(inner, i + 1));
                i += 4;
                if (code >= 0xD800 && code <= 0xDBFF && inner.substr(i + 1, 2) == "\\u") {
                    const int low = hex4(inner, i + 3);
                    if (low >= 0xDC00 && low <= 0xDFFF) {
                        code = 0x10000 + ((code - 0xD800) << 10) +
                               (static_cast<std::uint32_t>(low) - 0xDC00);
                        i += 6;
                    }
                }
                append_utf8(out, code);
                break;
            }
            default: out += kind; break;   // " \ /
        }
    }
    return out;
}

std::uint64_t json_count(std::string_view value, std::uint64_t cap) {
    if (value.empty()) return 0;
    std::uint64_t count = 0;
    for (const char c : value) {
        if (!is_digit(c)) return 0;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (__builtin_mul_overflow(count, 10u, &count) ||
            __builtin_add_overflow(count, digit, &count) || count > cap)
            count = cap;   // further digits only grow it
    }
    return count;
}

}  // namespace velmorquist
