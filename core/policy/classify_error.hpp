// Maps a provider's error message to the failure type a breaker is told about.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velmorquist {

// In rule priority: when needles of several types occur, the first type wins.
enum class FailureType : std::uint8_t {
    RateLimit,
    Auth,
    Timeout,
    Connection,
    ServiceError,
    Unknown,
};
// Sizes the tables indexed by failure type; Unknown stays the last type.
inline constexpr std::size_t kFailureTypeCount = 6;
static_assert(static_cast<std::size_t>(FailureType::Unknown) + 1 == kFailureTypeCount);

[[nodiscard]] std::string_view failure_type_text(FailureType type);

// Case-insensitive substring rules over UTF-8 text; the earliest matching rule wins.
[[nodiscard]] FailureType classify_error(std::string_view message);

}  // namespace velmorquist
