#include "core/policy/classify_error.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>

namespace velmorquist {
namespace {

struct Needle {
    std::string_view text;
    FailureType type;
};

using enum FailureType;
constexpr std::array<Needle, 23> kNeedles{{
    {"rate limit", RateLimit}, {"429", RateLimit}, {"too many", RateLimit},
    {"auth", Auth}, {"401", Auth}, {"api key", Auth}, {"unauthorized", Auth},
    {"forbidden", Auth}, {"403", Auth},
    {"timeout", Timeout}, {"timed out", Timeout}, {"deadline", Timeout},
    {"connection", Connection}, {"network", Connection}, {"dns", Connection},
    {"refused", Connection}, {"reset", Connection},
    {"500", ServiceError}, {"502", ServiceError}, {"503", ServiceError},
    {"server error", ServiceError}, {"internal error", ServiceError},
    {"overloaded", ServiceError},
}};

// What the matcher below relies on, checked against the table itself.
constexpr bool needles_fit_the_matcher() {
    for (std::size_t n = 0; n < kNeedles.size(); ++n) {
        const Needle& needle = kNeedles[n];
        // The prefix tables read three bytes and a candidate check two words.
        if (needle.text.size() < 3 || needle.text.size() > 16) return false;
        // Listed in priority order, and Unknown is what no needle gives.
        if (needle.type == Unknown) return false;
        if (n > 0 && needle.type < kNeedles[n - 1].type) return false;
        // Lower-case ASCII without zero bytes: lowering is byte-wise, and the
        // zero padding after the text never completes a match.
        for (char c : needle.text) {
            if (c == 0 || static_cast<unsigned char>(c) >= 0x80) return false;
            if (c >= 'A' && c <= 'Z') return false;
        }
        // A dotted capital I lowers to "i" plus a combining mark, which may
        // only break a match, never end one.
        if (needle.text.back() == 'i') return false;
    }
    return true;
}
static_assert(needles_fit_the_matcher());

// Per position the search asks three small tables which needles could start
// there, from the byte at each of the needle's first three places; an AND of
// the three answers is almost always empty, so ordinary text costs a few
// loads per byte and no comparisons. Every needle is 3 to 16 bytes long.
using NeedleSet = std::uint32_t;  // bit n: needle n
static_assert(kNeedles.size() <= 32);

struct PrefixTables {
    std::array<std::array<NeedleSet, 256>, 3> at{};
};

constexpr PrefixTables build_prefix_tables() {
    PrefixTables tables;
    for (std::size_t n = 0; n < kNeedles.size(); ++n) {
        for (std::size_t k = 0; k < 3; ++k)
            tables.at[k][static_cast<unsigned char>(kNeedles[n].text[k])] |= NeedleSet{1} << n;
    }
    return tables;
}

constexpr PrefixTables kPrefixTables = build_prefix_tables();

// A needle as two little-endian words and the masks of its bytes, so a
// candidate is confirmed by two 8-byte loads instead of a memcmp call.
struct PackedNeedle {
    std::uint64_t words[2];
    std::uint64_t masks[2];
    std::uint8_t size;
    FailureType type;
};

constexpr std::array<PackedNeedle, kNeedles.size()> pack_needles() {
    std::array<PackedNeedle, kNeedles.size()> packed{};
    for (std::size_t n = 0; n < kNeedles.size(); ++n) {
        const Needle& needle = kNeedles[n];
        PackedNeedle& out = packed[n];
        for (std::size_t i = 0; i < needle.text.size(); ++i) {
            std::uint64_t byte = static_cast<unsigned char>(needle.text[i]);
            out.words[i / 8] |= byte << (8 * (i % 8));
            out.masks[i / 8] |= std::uint64_t{0xFF} << (8 * (i % 8));
        }
        out.size = static_cast<std::uint8_t>(needle.text.size());
        out.type = needle.type;
    }
    return packed;
}

constexpr std::array<PackedNeedle, kNeedles.size()> kPacked = pack_needles();

// Bytes of zeros after the lowered text: every load of a candidate check may
// run up to 16 bytes past a position, and no needle contains a zero byte, so
// the padding never completes a match.
constexpr std::size_t kPadding = 16;

static_assert(std::endian::native == std::endian::little);

std::uint64_t load_word(const char* bytes) {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;  // little-endian, like the packed needles
}

// The Kelvin sign U+212A, whose lower-case form is the ASCII letter k.
constexpr std::string_view kKelvinSign = "\xE2\x84\xAA";

// Every needle is ASCII and none ends in "i" (both checked above), so of all
// non-ASCII characters only the Kelvin sign can take part in a match once
// lower-cased (a dotted capital I lower-cases to "i" plus a combining mark,
// which breaks any match running past the "i"). Every other non-ASCII byte is
// kept as it is: bytes of 0x80 and above never equal a needle byte. Returns
// the lowered length.
std::size_t lower_for_matching(std::string_view message, char* out) {
    // Branch-free, so the compiler can convert ASCII several bytes at a time.
    for (std::size_t i = 0; i < message.size(); ++i) {
        auto byte = static_cast<unsigned char>(message[i]);
        bool upper = static_cast<unsigned char>(byte - 'A') < 26;
        out[i] = static_cast<char>(byte | (upper ? 0x20 : 0));
    }
    if (std::memchr(message.data(), kKelvinSign[0], message.size()) == nullptr)
        return message.size();
    std::size_t written = 0;
    for (std::size_t i = 0; i < message.size(); ++i) {
        if (message.substr(i, 3) == kKelvinSign) {
            out[written++] = 'k';
            i += 2;
        } else {
            out[written++] = out[i];
        }
    }
    return written;
}

// The first type, in priority order, any of whose needles occurs in `text`,
// or Unknown. `text` is followed by kPadding zero bytes.
FailureType first_matching_type(std::string_view text) {
    FailureType best = Unknown;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    // A needle is at least three bytes long, so the last two positions start
    // none; the padding makes reading two bytes ahead safe anyway.
    for (std::size_t i = 0; i + 2 < size; ++i) {
        NeedleSet candidates = kPrefixTables.at[0][bytes[i]] & kPrefixTables.at[1][bytes[i + 1]] &
                               kPrefixTables.at[2][bytes[i + 2]];
        if (candidates == 0) [[likely]]
            continue;
        const std::uint64_t first = load_word(text.data() + i);
        const std::uint64_t second = load_word(text.data() + i + 8);
        while (candidates != 0) {
            const PackedNeedle& needle = kPacked[std::countr_zero(candidates)];
            candidates &= candidates - 1;
            if (needle.type >= best || needle.size > size - i) continue;
            if ((((first ^ needle.words[0]) & needle.masks[0]) |
                 ((second ^ needle.words[1]) & needle.masks[1])) != 0)
                continue;
            best = needle.type;
            if (best == RateLimit) return best;  // nothing can beat the first type
        }
    }
    return best;
}

}  // namespace

std::string_view failure_type_text(FailureType type) {
    switch (type) {
        case FailureType::RateLimit: return "rate_limit";
        case FailureType::Auth: return "auth";
        case FailureType::Timeout: return "timeout";
        case FailureType::Connection: return "connection";
        case FailureType::ServiceError: return "service_error";
        case FailureType::Unknown: return "unknown";
    }
    return "unknown";  // unreachable: the switch covers every type
}

FailureType classify_error(std::string_view message) {
    // Typical messages fit on the stack; longer ones get one heap buffer.
    constexpr std::size_t kStackSize = 512;
    char stack_buffer[kStackSize + kPadding];
    std::unique_ptr<char[]> heap_buffer;
    char* buffer = stack_buffer;
    if (message.size() > kStackSize) {
        heap_buffer = std::make_unique_for_overwrite<char[]>(message.size() + kPadding);
        buffer = heap_buffer.get();
    }
    std::size_t length = lower_for_matching(message, buffer);
    std::memset(buffer + length, 0, kPadding);
    return first_matching_type(std::string_view(buffer, length));
}

}  // namespace velmorquist
