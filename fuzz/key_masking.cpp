// Key masking on arbitrary keys: "***" below 9 bytes; otherwise at most 4
// bytes from each end of the key around "...", so never more than 8 key bytes
// and never the whole key; valid UTF-8 (with at least one character shown at
// each end) whenever the key is valid UTF-8.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/policy/key_record.hpp"

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length;
        std::uint32_t point;
        if (byte < 0x80) {
            ++i;
            continue;
        }
        if (byte >= 0xC2 && byte <= 0xDF) { length = 2; point = byte & 0x1F; }
        else if (byte >= 0xE0 && byte <= 0xEF) { length = 3; point = byte & 0x0F; }
        else if (byte >= 0xF0 && byte <= 0xF4) { length = 4; point = byte & 0x07; }
        else return false;
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = point << 6 | (next & 0x3F);
        }
        if ((length == 3 && point < 0x800) || (length == 4 && point < 0x10000) ||
            (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF)
            return false;
        i += length;
    }
    return true;
}

void append_code_point(std::string& out, std::uint32_t point) {
    if (point < 0x80) {
        out += static_cast<char>(point);
    } else if (point < 0x800) {
        out += static_cast<char>(0xC0 | point >> 6);
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        out += static_cast<char>(0xE0 | point >> 12);
        out += static_cast<char>(0x80 | (point >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | point >> 18);
        out += static_cast<char>(0x80 | (point >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (point >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    }
}

// Valid UTF-8 from arbitrary bytes: each pair of bytes picks a character of
// 1 to 4 bytes (the high bits choose the length, so all lengths are common).
std::string utf8_key(std::string_view bytes) {
    std::string key;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        std::uint32_t bits = static_cast<unsigned char>(bytes[i]) << 8 |
                             static_cast<unsigned char>(bytes[i + 1]);
        static constexpr std::uint32_t kFirst[4] = {0x20, 0x80, 0x800, 0x10000};
        static constexpr std::uint32_t kSpan[4] = {0x60, 0x780, 0xF800, 0x100000};
        std::uint32_t point = kFirst[bits >> 14] + (bits & 0x3FFF) * 97 % kSpan[bits >> 14];
        if (point >= 0xD800 && point <= 0xDFFF) point -= 0x800;  // no surrogates
        append_code_point(key, point);
    }
    return key;
}

[[noreturn]] void fail(const char* what, std::string_view key, const std::string& masked) {
    std::fprintf(stderr, "%s: key of %zu bytes masked as %zu bytes\n", what, key.size(),
                 masked.size());
    std::abort();
}

void check(std::string_view key) {
    std::string masked = velmorquist::key_masked(key);
    if (key.size() < 9) {
        if (masked != "***") fail("short key not fully masked", key, masked);
        return;
    }
    bool valid = valid_utf8(key);
    for (std::size_t head = valid ? 1 : 0; head <= 4; ++head) {
        for (std::size_t tail = valid ? 1 : 0; tail <= 4; ++tail) {
            if (masked.size() != head + 3 + tail) continue;
            if (masked.compare(0, head, key, 0, head) != 0) continue;
            if (masked.compare(head, 3, "...") != 0) continue;
            if (masked.compare(head + 3, tail, key, key.size() - tail, tail) != 0) continue;
            if (valid && !valid_utf8(masked)) fail("masked form of valid UTF-8 is not", key, masked);
            return;
        }
    }
    fail("not a short prefix and suffix around \"...\"", key, masked);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    check(bytes);
    check(utf8_key(bytes));
    return 0;
}
