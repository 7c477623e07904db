// The ChaCha batch interface on top of the scalar block function
// (core/base/chacha_block.cpp), for compilers that lack the GCC vector builtins
// core/base/chacha.cpp is written with (clang has no __builtin_shuffle). The fuzz
// targets need a working generator, not a fast one; the core tests pin the
// vector code to the same reference block.
#include "core/base/chacha.hpp"

namespace velmorquist {
namespace {

void four_blocks_scalar(const ChaChaKey& key, std::uint64_t counter,
                        std::uint32_t (&out)[kChaChaBatchWords]) {
    for (std::uint64_t block = 0; block < 4; ++block) {
        ChaChaBlock words = chacha_block(key, counter + block, 0, 12);
        for (std::size_t i = 0; i < words.size(); ++i) out[block * 16 + i] = words[i];
    }
}

constexpr ChaChaBatchImpl kScalar[1] = {{"scalar", four_blocks_scalar}};

}  // namespace

void chacha12_four_blocks(const ChaChaKey& key, std::uint64_t counter,
                          std::uint32_t (&out)[kChaChaBatchWords]) {
    four_blocks_scalar(key, counter, out);
}

bool chacha12_sixteen_blocks(const ChaChaKey&, std::uint64_t, std::uint32_t (&)[kChaChaWideWords]) {
    return false;
}

std::span<const ChaChaBatchImpl> chacha12_implementations() { return kScalar; }

}  // namespace velmorquist
