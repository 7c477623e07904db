// The ChaCha interface in plain scalar code, for compilers that lack the GCC
// vector builtins core/chacha.cpp is written with (clang has no
// __builtin_shuffle). The fuzz targets need a working generator, not a fast
// one; the core tests pin the vector code to the same reference block.
#include "core/chacha.hpp"

#include <bit>

namespace velmorquist {
namespace {

constexpr std::uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
    a += b; d ^= a; d = std::rotl(d, 16);
    c += d; b ^= c; b = std::rotl(b, 12);
    a += b; d ^= a; d = std::rotl(d, 8);
    c += d; b ^= c; b = std::rotl(b, 7);
}

void four_blocks_scalar(const ChaChaKey& key, std::uint64_t counter,
                        std::uint32_t (&out)[kChaChaBatchWords]) {
    for (std::uint64_t block = 0; block < 4; ++block) {
        ChaChaBlock words = chacha_block(key, counter + block, 0, 12);
        for (std::size_t i = 0; i < words.size(); ++i) out[block * 16 + i] = words[i];
    }
}

constexpr ChaChaBatchImpl kScalar[1] = {{"scalar", four_blocks_scalar}};

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
    four_blocks_scalar(key, counter, out);
}

bool chacha12_sixteen_blocks(const ChaChaKey&, std::uint64_t, std::uint32_t (&)[kChaChaWideWords]) {
    return false;
}

std::span<const ChaChaBatchImpl> chacha12_implementations() { return kScalar; }

}  // namespace velmorquist
