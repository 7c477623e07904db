// Request bodies: any bytes are checked without a crash, found values lie
// inside the text and are whole JSON values themselves, and string values
// unescape.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/base/json_scan.hpp"
#include "fuzz_input.hpp"

namespace {

using velmorquist::fuzz::fail;

constexpr std::array<std::string_view, 3> kNames = {"model", "stream", "stream_options"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::array<velmorquist::JsonMember, kNames.size()> found;
    if (!velmorquist::scan_json_object(text, kNames, found)) return 0;
    for (const velmorquist::JsonMember& member : found) {
        if (!member.found) continue;
        if (member.begin >= member.end || member.end > size) fail("a value outside the text");
        const std::string_view value = text.substr(member.begin, member.end - member.begin);
        const std::string wrapped = "{\"v\":" + std::string(value) + "}";
        std::array<velmorquist::JsonMember, 1> inner;
        constexpr std::array<std::string_view, 1> kValue = {"v"};
        if (!velmorquist::scan_json_object(wrapped, kValue, inner) || !inner[0].found)
            fail("a found value is not a JSON value");
        if (value.front() == '"') (void)velmorquist::unescape_json_string(value);
    }
    return 0;
}
