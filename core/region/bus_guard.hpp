// Another process can truncate a mapped region file at any moment, and the
// next touch of a page past the new end is SIGBUS. A guarded mapping turns
// that into a flag: the handler puts zero pages where the file's were, the
// access that faulted goes on, and the state reports itself damaged after
// the operation instead of the process dying.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace velmorquist {

// Watches [base, base + size) until unguard_mapping(base); `damaged` goes to
// 1 when a fault there was absorbed. False when every watch slot is taken
// (the mapping then stays unguarded). The first call installs the handler,
// which hands faults outside guarded mappings to the handler it replaced.
bool guard_mapping(std::byte* base, std::size_t size, std::atomic<std::uint32_t>* damaged) noexcept;
void unguard_mapping(std::byte* base) noexcept;

}  // namespace velmorquist
