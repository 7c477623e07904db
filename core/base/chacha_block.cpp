// The plain one-block ChaCha function: the reference every vectorised variant
// is tested against, and the generator of builds without GCC's vector builtins.
#include <bit>

#include "core/base/chacha.hpp"

namespace velmorquist {
namespace {

void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
    a += b; d ^= a; d = std::rotl(d, 16);
    c += d; b ^= c; b = std::rotl(b, 12);
    a += b; d ^= a; d = std::rotl(d, 8);
    c += d; b ^= c; b = std::rotl(b, 7);
}

}  // namespace

ChaChaBlock chacha_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t nonce,
                         int rounds) {
    ChaChaBlock input{};
    for (int i = 0; i < 4; ++i) input[i] = kChaChaSigma[i];
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

}  // namespace velmorquist
