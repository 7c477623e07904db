// Upstream replies and streams: any bytes are read without a crash, and the
// usage events found lie inside the complete events, in order, apart.
#include <cstdint>
#include <string_view>

#include "core/base/reply_usage.hpp"
#include "fuzz_input.hpp"

namespace {

using velmorquist::fuzz::fail;

constexpr std::uint64_t kCap = 1000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto usage = velmorquist::last_usage(text, kCap)) {
        if (usage->input > kCap || usage->output > kCap) fail("a count above the cap");
    }
    const std::size_t cut = velmorquist::complete_events_end(text);
    if (cut > size) fail("events past the data");
    const std::string_view events = text.substr(0, cut);
    std::size_t done = 0;
    for (auto event = velmorquist::next_usage_event(events, 0, kCap); event;
         event = velmorquist::next_usage_event(events, event->end, kCap)) {
        if (event->begin < done || event->begin >= event->end || event->end > cut)
            fail("a usage event out of place");
        done = event->end;
    }
    return 0;
}
