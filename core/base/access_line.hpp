// The server's access-log line: one JSON object per request, written out
// here because building it in Python cost more than the rest of a request's
// bookkeeping (float formatting above all).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmorquist {

// Texts are UTF-8; a lone surrogate's three-byte form is accepted (a model
// name read from a client's JSON may hold one) and written as its escape.
struct AccessRecord {
    double time_s = 0.0;   // since the epoch
    std::string_view request_id;
    std::int64_t worker = 0;
    std::string_view method;
    std::string_view path;
    std::optional<std::string_view> model;
    std::optional<std::string_view> provider;
    std::int64_t status = 0;
    std::int64_t attempts = 0;
    bool stream = false;
    double latency_ms = 0.0;
    double overhead_ms = 0.0;
    std::optional<std::int64_t> tokens_in;
    std::optional<std::int64_t> tokens_out;
};

// The record as one line of JSON in ASCII (no line feed): every text
// escaped, times to the millisecond (ms figures to the microsecond), and
// a time that is not finite written as null.
std::string access_line(const AccessRecord& record);

// Appends `text` (UTF-8) as a JSON string in ASCII: quotes, backslashes and
// control characters escaped, anything past ASCII as \uXXXX (a pair past
// U+FFFF), and a byte that begins no sequence as U+FFFD.
void append_json_string(std::string& out, std::string_view text);

}  // namespace velmorquist
