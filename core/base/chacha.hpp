// The ChaCha block function (Bernstein, "ChaCha, a variant of Salsa20", 2008)
// in the layout with a 64-bit block counter and a 64-bit nonce.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace velmorquist {

using ChaChaKey = std::array<std::uint32_t, 8>;
using ChaChaBlock = std::array<std::uint32_t, 16>;

// "expand 32-byte k" as four little-endian words: the first row of every block.
inline constexpr std::uint32_t kChaChaSigma[4] = {0x61707865, 0x3320646e, 0x79622d32,
                                                  0x6b206574};

// Four consecutive blocks: what one refill of the generator produces.
inline constexpr std::size_t kChaChaBatchWords = 64;

// The plain one-block reference. `rounds` is even (12 for the generator, 20
// for the published vectors that pin the layout).
[[nodiscard]] ChaChaBlock chacha_block(const ChaChaKey& key, std::uint64_t counter,
                                       std::uint64_t nonce, int rounds);

// ChaCha12 blocks counter .. counter + 3 with nonce 0, written in counter
// order, computed four at a time. Must equal four calls of chacha_block.
void chacha12_four_blocks(const ChaChaKey& key, std::uint64_t counter,
                          std::uint32_t (&out)[kChaChaBatchWords]);

// Sixteen consecutive blocks, counter .. counter + 15 with nonce 0, in
// counter order: four refills' worth. With 512-bit vectors this costs little
// more than one four-block batch. Returns false, writing nothing, on a
// processor without them.
inline constexpr std::size_t kChaChaWideWords = 256;
[[nodiscard]] bool chacha12_sixteen_blocks(const ChaChaKey& key, std::uint64_t counter,
                                           std::uint32_t (&out)[kChaChaWideWords]);

// The same function compiled for several instruction sets; the fastest one
// this processor supports is the one chacha12_four_blocks runs.
using ChaChaBatchFunction = void (*)(const ChaChaKey& key, std::uint64_t counter,
                                     std::uint32_t (&out)[kChaChaBatchWords]);
struct ChaChaBatchImpl {
    const char* name;
    ChaChaBatchFunction function;
};
// Every variant this processor can run, the portable one first (for tests
// and benchmarks).
[[nodiscard]] std::span<const ChaChaBatchImpl> chacha12_implementations();

}  // namespace velmorquist
