// A JSON text checked in one pass, with the values of chosen top-level
// members located rather than parsed: the server replaces a request's
// `model` in place, so a body goes upstream byte for byte as the client
// sent it otherwise, and is never turned into objects and back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velmorquist {

// Where a member's value lies in the text: [begin, end).
struct JsonMember {
    std::size_t begin = 0;
    std::size_t end = 0;
    bool found = false;
};

enum class JsonFault {
    Invalid,    // not one JSON value (RFC 8259) in UTF-8
    NotObject,  // valid, but not an object
    Repeated,   // an object naming one of the chosen members twice
};

// Checks `text` and, when it is an object, fills found[i] for each
// top-level member named names[i] (names compared after unescaping). Any
// depth of nesting is checked without recursion.
std::expected<void, JsonFault> scan_json_object(std::string_view text,
                                                std::span<const std::string_view> names,
                                                std::span<JsonMember> found);

// Checks the one JSON value that starts at text[at] (after any space) and
// returns where it ends, or nothing when it is not valid; when it is an
// object, fills found[i] for each of its members named names[i] (the last,
// when a name comes twice). What follows the value is not looked at.
std::optional<std::size_t> scan_json_value(std::string_view text, std::size_t at,
                                           std::span<const std::string_view> names,
                                           std::span<JsonMember> found);

// The text of a string token of a checked JSON text (quotes included),
// unescaped to UTF-8. A lone surrogate escape becomes its three-byte form
// (as Python's "surrogatepass" reads it back).
std::string unescape_json_string(std::string_view token);

// A value's text read as a count: a plain non-negative integer (no sign,
// fraction or exponent), at most `cap`; 0 for any other value.
std::uint64_t json_count(std::string_view value, std::uint64_t cap);

}  // namespace velmorquist
