#include "core/classify_error.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

namespace velmorquist {
namespace {

struct Needle {
    std::string_view text;
    std::uint8_t rule;  // index into kRuleTypes; a lower index wins
};

constexpr std::array<FailureType, 5> kRuleTypes = {
    FailureType::RateLimit, FailureType::Auth, FailureType::Timeout, FailureType::Connection,
    FailureType::ServiceError};

constexpr std::array<Needle, 23> kNeedles{{
    {"rate limit", 0}, {"429", 0}, {"too many", 0},
    {"auth", 1}, {"401", 1}, {"api key", 1}, {"unauthorized", 1}, {"forbidden", 1}, {"403", 1},
    {"timeout", 2}, {"timed out", 2}, {"deadline", 2},
    {"connection", 3}, {"network", 3}, {"dns", 3}, {"refused", 3}, {"reset", 3},
    {"500", 4}, {"502", 4}, {"503", 4}, {"server error", 4}, {"internal error", 4},
    {"overloaded", 4},
}};

// For each possible first byte, the needles that start with it, so one pass
// over the text tries only the few needles that can start at each position.
struct FirstByteIndex {
    std::array<std::uint8_t, 256> begin{};
    std::array<std::uint8_t, 256> count{};
    std::array<std::uint8_t, kNeedles.size()> needles{};
};

constexpr FirstByteIndex build_first_byte_index() {
    FirstByteIndex index;
    std::size_t next = 0;
    for (std::size_t byte = 0; byte < 256; ++byte) {
        index.begin[byte] = static_cast<std::uint8_t>(next);
        for (std::size_t n = 0; n < kNeedles.size(); ++n) {
            if (!kNeedles[n].text.empty() &&
                static_cast<unsigned char>(kNeedles[n].text[0]) == byte) {
                index.needles[next++] = static_cast<std::uint8_t>(n);
                ++index.count[byte];
            }
        }
    }
    return index;
}

constexpr FirstByteIndex kFirstByteIndex = build_first_byte_index();

// One bit per two-byte prefix of some needle. In ordinary text most positions
// fail this single test, so the per-needle comparisons rarely run.
using BigramSet = std::array<std::uint64_t, 65536 / 64>;

constexpr std::size_t bigram(unsigned char first, unsigned char second) {
    return static_cast<std::size_t>(first) | (static_cast<std::size_t>(second) << 8);
}

constexpr BigramSet build_bigram_set() {
    BigramSet set{};
    for (const Needle& needle : kNeedles) {
        std::size_t key = bigram(static_cast<unsigned char>(needle.text[0]),
                                 static_cast<unsigned char>(needle.text[1]));
        set[key / 64] |= std::uint64_t{1} << (key % 64);
    }
    return set;
}

constexpr BigramSet kNeedleBigrams = build_bigram_set();

// The Kelvin sign U+212A, whose lower-case form is the ASCII letter k.
constexpr std::string_view kKelvinSign = "\xE2\x84\xAA";

// Every needle is ASCII and none ends in "i", so of all non-ASCII characters
// only the Kelvin sign can take part in a match once lower-cased (a dotted
// capital I lower-cases to "i" plus a combining mark, which breaks any match
// running past the "i"). Every other non-ASCII byte is kept as it is: bytes
// of 0x80 and above never equal a needle byte. Returns the lowered length.
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

// The earliest rule any of whose needles occurs in `text`, or kRuleTypes.size().
std::size_t earliest_matching_rule(std::string_view text) {
    std::size_t best = kRuleTypes.size();
    // Every needle is at least two bytes long, so the last byte starts none.
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        auto first = static_cast<unsigned char>(text[i]);
        std::size_t key = bigram(first, static_cast<unsigned char>(text[i + 1]));
        if ((kNeedleBigrams[key / 64] >> (key % 64) & 1) == 0) continue;
        std::size_t begin = kFirstByteIndex.begin[first];
        std::size_t end = begin + kFirstByteIndex.count[first];
        for (std::size_t k = begin; k < end; ++k) {
            const Needle& needle = kNeedles[kFirstByteIndex.needles[k]];
            if (needle.rule >= best) continue;
            if (text.compare(i, needle.text.size(), needle.text) != 0) continue;
            best = needle.rule;
            if (best == 0) return best;  // nothing can beat the first rule
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
    char stack_buffer[kStackSize];
    std::unique_ptr<char[]> heap_buffer;
    char* buffer = stack_buffer;
    if (message.size() > kStackSize) {
        heap_buffer = std::make_unique_for_overwrite<char[]>(message.size());
        buffer = heap_buffer.get();
    }
    std::size_t length = lower_for_matching(message, buffer);
    std::size_t rule = earliest_matching_rule(std::string_view(buffer, length));
    return rule < kRuleTypes.size() ? kRuleTypes[rule] : FailureType::Unknown;
}

}  // namespace velmorquist
