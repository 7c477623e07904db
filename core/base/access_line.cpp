#include "core/base/access_line.hpp"

#include <charconv>
#include <cmath>
#include <utility>

#include "core/base/format.hpp"

namespace velmorquist {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_escape(std::string& out, std::uint32_t unit) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xF];
}

// The code point of the sequence at text[at] and its length; U+FFFD and 1
// for a byte that begins no well-formed sequence. Surrogates' three-byte
// forms are read as code points.
std::pair<std::uint32_t, std::size_t> next_code_point(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
    }
    if (length == 0 || text.size() - at < length) return {0xFFFD, 1};
    std::uint32_t code = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) return {0xFFFD, 1};
        code = (code << 6) | (next & 0x3F);
    }
    const std::uint32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (code < least || code > 0x10FFFF) return {0xFFFD, 1};
    return {code, length};
}

void append_int(std::string& out, std::int64_t value) {
    char buffer[24];
    out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

// A figure with `decimals` places; JSON has no spelling for one that is not finite.
void append_decimal_or_null(std::string& out, double value, int decimals) {
    if (std::isfinite(value)) {
        append_fixed(out, value, decimals);
    } else {
        out += "null";
    }
}

void append_text_or_null(std::string& out, const std::optional<std::string_view>& text) {
    if (text) {
        append_json_string(out, *text);
    } else {
        out += "null";
    }
}

void append_int_or_null(std::string& out, const std::optional<std::int64_t>& value) {
    if (value) {
        append_int(out, *value);
    } else {
        out += "null";
    }
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
    out += '"';
    for (std::size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c >= 0x80) {
            const auto [code, length] = next_code_point(text, at);
            if (code >= 0x10000) {
                append_escape(out, 0xD800 + ((code - 0x10000) >> 10));
                append_escape(out, 0xDC00 + ((code - 0x10000) & 0x3FF));
            } else {
                append_escape(out, code);
            }
            at += length;
            continue;
        }
        ++at;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    append_escape(out, c);
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

std::string access_line(const AccessRecord& record) {
    std::string out;
    out.reserve(320);
    out += "{\"ts\":";
    append_decimal_or_null(out, record.time_s, 3);
    out += ",\"request_id\":";
    append_json_string(out, record.request_id);
    out += ",\"worker\":";
    append_int(out, record.worker);
    out += ",\"method\":";
    append_json_string(out, record.method);
    out += ",\"path\":";
    append_json_string(out, record.path);
    out += ",\"model\":";
    append_text_or_null(out, record.model);
    out += ",\"provider\":";
    append_text_or_null(out, record.provider);
    out += ",\"status\":";
    append_int(out, record.status);
    out += ",\"attempts\":";
    append_int(out, record.attempts);
    out += ",\"stream\":";
    out += record.stream ? "true" : "false";
    out += ",\"latency_ms\":";
    append_decimal_or_null(out, record.latency_ms, 3);
    out += ",\"overhead_ms\":";
    append_decimal_or_null(out, record.overhead_ms, 3);
    out += ",\"tokens_in\":";
    append_int_or_null(out, record.tokens_in);
    out += ",\"tokens_out\":";
    append_int_or_null(out, record.tokens_out);
    out += '}';
    return out;
}

}  // namespace velmorquist
