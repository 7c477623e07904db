#include "core/chacha.hpp"

#include <bit>

namespace velmorquist {
namespace {

// "expand 32-byte k" as four little-endian words.
constexpr std::uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c,
                          std::uint32_t& d) {
    a += b; d ^= a; d = std::rotl(d, 16);
    c += d; b ^= c; b = std::rotl(b, 12);
    a += b; d ^= a; d = std::rotl(d, 8);
    c += d; b ^= c; b = std::rotl(b, 7);
}

// One lane per block: lane i of every word vector belongs to block counter + i.
// GCC lowers these to SSE2 on any x86-64, NEON on AArch64, scalar elsewhere.
typedef std::uint32_t Lanes __attribute__((vector_size(16)));

inline Lanes rotl(Lanes v, int n) { return (v << n) | (v >> (32 - n)); }

inline void quarter_round(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
    a += b; d ^= a; d = rotl(d, 16);
    c += d; b ^= c; b = rotl(b, 12);
    a += b; d ^= a; d = rotl(d, 8);
    c += d; b ^= c; b = rotl(b, 7);
}

Lanes splat(std::uint32_t word) { return Lanes{word, word, word, word}; }

}  // namespace

ChaChaBlock chacha_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t nonce,
                         int rounds) {
    ChaChaBlock input{};
    for (int i = 0; i < 4; ++i) input[i] = kSigma[i];
    for (int i = 0; i < 8; ++i) input[4 + i] = key[i];
    input[12] = static_cast<std::uint32_t>(counter);
    input[13] = static_cast<std::uint32_t>(counter >> 32);
    input[14] = static_cast<std::uint32_t>(nonce);
    input[15] = static_cast<std::uint32_t>(nonce >> 32);

    ChaChaBlock x = input;
    for (int round = 0; round < rounds; round += 2) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (int i = 0; i < 16; ++i) x[i] += input[i];
    return x;
}

void chacha12_four_blocks(const ChaChaKey& key, std::uint64_t counter,
                          std::uint32_t (&out)[kChaChaBatchWords]) {
    Lanes input[16];
    for (int i = 0; i < 4; ++i) input[i] = splat(kSigma[i]);
    for (int i = 0; i < 8; ++i) input[4 + i] = splat(key[i]);
    // The counter may carry into its high word between lanes.
    for (int lane = 0; lane < 4; ++lane) {
        std::uint64_t block = counter + static_cast<std::uint64_t>(lane);
        input[12][lane] = static_cast<std::uint32_t>(block);
        input[13][lane] = static_cast<std::uint32_t>(block >> 32);
    }
    input[14] = splat(0);
    input[15] = splat(0);

    Lanes x[16];
    for (int i = 0; i < 16; ++i) x[i] = input[i];
    for (int round = 0; round < 12; round += 2) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (int word = 0; word < 16; ++word) {
        Lanes sum = x[word] + input[word];
        for (int lane = 0; lane < 4; ++lane) out[lane * 16 + word] = sum[lane];
    }
}

}  // namespace velmorquist
