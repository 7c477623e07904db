#include "core/base/chacha.hpp"

#include <bit>
#include <cstring>

namespace velmorquist {
namespace {

// One lane per block: lane i of every word vector belongs to block counter + i.
// GCC lowers these to SSE2 on any x86-64, NEON on AArch64, scalar elsewhere.
typedef std::uint32_t Lanes __attribute__((vector_size(16)));
typedef std::uint16_t Halves __attribute__((vector_size(16)));
typedef std::uint8_t Bytes __attribute__((vector_size(16)));

// Rotations as shifts; with AVX-512VL each becomes a single vprold.
struct ShiftRotations {
    template <int N>
    [[gnu::always_inline]] static Lanes rotl(Lanes v) { return (v << N) | (v >> (32 - N)); }
};

// Rotating by 16 swaps the halves of each word: one 16-bit shuffle per half
// of the register instead of two shifts and an or.
struct HalfSwapRotations {
    template <int N>
    [[gnu::always_inline]] static Lanes rotl(Lanes v) {
        if constexpr (N == 16) {
            return reinterpret_cast<Lanes>(__builtin_shuffle(
                reinterpret_cast<Halves>(v), Halves{1, 0, 3, 2, 5, 4, 7, 6}));
        } else {
            return (v << N) | (v >> (32 - N));
        }
    }
};

// Rotations by whole bytes are byte shuffles (pshufb with SSSE3).
struct ByteShuffleRotations {
    template <int N>
    [[gnu::always_inline]] static Lanes rotl(Lanes v) {
        if constexpr (N == 16) {
            return reinterpret_cast<Lanes>(
                __builtin_shuffle(reinterpret_cast<Bytes>(v),
                                  Bytes{2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13}));
        } else if constexpr (N == 8) {
            return reinterpret_cast<Lanes>(
                __builtin_shuffle(reinterpret_cast<Bytes>(v),
                                  Bytes{3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14}));
        } else {
            return (v << N) | (v >> (32 - N));
        }
    }
};

template <class R>
[[gnu::always_inline]] inline void quarter_round(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
    a += b; d ^= a; d = R::template rotl<16>(d);
    c += d; b ^= c; b = R::template rotl<12>(b);
    a += b; d ^= a; d = R::template rotl<8>(d);
    c += d; b ^= c; b = R::template rotl<7>(b);
}

[[gnu::always_inline]] inline Lanes splat(std::uint32_t word) {
    return Lanes{word, word, word, word};
}

// Lane `block` of words w .. w + 3 to out[block * 16 + w ..], for all four
// blocks at once: a 4x4 transpose.
[[gnu::always_inline]] inline void store_transposed(Lanes a, Lanes b, Lanes c, Lanes d,
                                                    std::uint32_t* out) {
    using Index = Lanes;
    Lanes ab_low = __builtin_shuffle(a, b, Index{0, 4, 1, 5});
    Lanes ab_high = __builtin_shuffle(a, b, Index{2, 6, 3, 7});
    Lanes cd_low = __builtin_shuffle(c, d, Index{0, 4, 1, 5});
    Lanes cd_high = __builtin_shuffle(c, d, Index{2, 6, 3, 7});
    Lanes rows[4] = {__builtin_shuffle(ab_low, cd_low, Index{0, 1, 4, 5}),
                     __builtin_shuffle(ab_low, cd_low, Index{2, 3, 6, 7}),
                     __builtin_shuffle(ab_high, cd_high, Index{0, 1, 4, 5}),
                     __builtin_shuffle(ab_high, cd_high, Index{2, 3, 6, 7})};
    for (int block = 0; block < 4; ++block) std::memcpy(out + block * 16, &rows[block], 16);
}

template <class R>
[[gnu::always_inline]] inline void four_blocks(const ChaChaKey& key, std::uint64_t counter,
                                               std::uint32_t (&out)[kChaChaBatchWords]) {
    Lanes input[16];
    for (int i = 0; i < 4; ++i) input[i] = splat(kChaChaSigma[i]);
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
        quarter_round<R>(x[0], x[4], x[8], x[12]);
        quarter_round<R>(x[1], x[5], x[9], x[13]);
        quarter_round<R>(x[2], x[6], x[10], x[14]);
        quarter_round<R>(x[3], x[7], x[11], x[15]);
        quarter_round<R>(x[0], x[5], x[10], x[15]);
        quarter_round<R>(x[1], x[6], x[11], x[12]);
        quarter_round<R>(x[2], x[7], x[8], x[13]);
        quarter_round<R>(x[3], x[4], x[9], x[14]);
    }
    for (int word = 0; word < 16; word += 4) {
        store_transposed(x[word] + input[word], x[word + 1] + input[word + 1],
                         x[word + 2] + input[word + 2], x[word + 3] + input[word + 3],
                         out + word);
    }
}

void four_blocks_generic(const ChaChaKey& key, std::uint64_t counter,
                         std::uint32_t (&out)[kChaChaBatchWords]) {
    four_blocks<HalfSwapRotations>(key, counter, out);
}

#if defined(__x86_64__) && defined(__GNUC__)
#define VELMORQUIST_CHACHA_X86_VARIANTS 1

[[gnu::target("ssse3")]] void four_blocks_ssse3(const ChaChaKey& key, std::uint64_t counter,
                                                std::uint32_t (&out)[kChaChaBatchWords]) {
    four_blocks<ByteShuffleRotations>(key, counter, out);
}

// Sixteen lanes: one 512-bit register per state word, one block per lane.
typedef std::uint32_t WideLanes __attribute__((vector_size(64)));

[[gnu::target("avx512f")]] [[gnu::always_inline]] inline WideLanes wide_rotl(WideLanes v, int n) {
    return (v << n) | (v >> (32 - n));
}

[[gnu::target("avx512f")]] [[gnu::always_inline]] inline void wide_quarter_round(
    WideLanes& a, WideLanes& b, WideLanes& c, WideLanes& d) {
    a += b; d ^= a; d = wide_rotl(d, 16);
    c += d; b ^= c; b = wide_rotl(b, 12);
    a += b; d ^= a; d = wide_rotl(d, 8);
    c += d; b ^= c; b = wide_rotl(b, 7);
}

[[gnu::target("avx512f")]] void sixteen_blocks_avx512f(const ChaChaKey& key,
                                                       std::uint64_t counter,
                                                       std::uint32_t (&out)[kChaChaWideWords]) {
    WideLanes input[16];
    for (int i = 0; i < 4; ++i) input[i] = WideLanes{} + kChaChaSigma[i];
    for (int i = 0; i < 8; ++i) input[4 + i] = WideLanes{} + key[i];
    for (int lane = 0; lane < 16; ++lane) {
        std::uint64_t block = counter + static_cast<std::uint64_t>(lane);
        input[12][lane] = static_cast<std::uint32_t>(block);
        input[13][lane] = static_cast<std::uint32_t>(block >> 32);
    }
    input[14] = WideLanes{};
    input[15] = WideLanes{};

    WideLanes x[16];
    for (int i = 0; i < 16; ++i) x[i] = input[i];
    for (int round = 0; round < 12; round += 2) {
        wide_quarter_round(x[0], x[4], x[8], x[12]);
        wide_quarter_round(x[1], x[5], x[9], x[13]);
        wide_quarter_round(x[2], x[6], x[10], x[14]);
        wide_quarter_round(x[3], x[7], x[11], x[15]);
        wide_quarter_round(x[0], x[5], x[10], x[15]);
        wide_quarter_round(x[1], x[6], x[11], x[12]);
        wide_quarter_round(x[2], x[7], x[8], x[13]);
        wide_quarter_round(x[3], x[4], x[9], x[14]);
    }
    // Four words of sixteen blocks at a time: each quarter of the registers
    // is a 4x4 transpose away from four blocks' words.
    for (int word = 0; word < 16; word += 4) {
        std::uint32_t rows[4][16];
        for (int k = 0; k < 4; ++k) {
            WideLanes sum = x[word + k] + input[word + k];
            std::memcpy(rows[k], &sum, sizeof sum);
        }
        for (int quarter = 0; quarter < 4; ++quarter) {
            Lanes a, b, c, d;
            std::memcpy(&a, rows[0] + 4 * quarter, 16);
            std::memcpy(&b, rows[1] + 4 * quarter, 16);
            std::memcpy(&c, rows[2] + 4 * quarter, 16);
            std::memcpy(&d, rows[3] + 4 * quarter, 16);
            store_transposed(a, b, c, d, out + 4 * quarter * 16 + word);
        }
    }
}

[[gnu::target("avx512vl")]] void four_blocks_avx512vl(const ChaChaKey& key,
                                                      std::uint64_t counter,
                                                      std::uint32_t (&out)[kChaChaBatchWords]) {
    four_blocks<ShiftRotations>(key, counter, out);
}
#endif

struct Implementations {
    ChaChaBatchImpl all[3];
    std::size_t count = 0;
};

// The generic version first, the fastest this processor runs last.
Implementations detect_implementations() {
    Implementations found;
    found.all[found.count++] = {"generic", four_blocks_generic};
#ifdef VELMORQUIST_CHACHA_X86_VARIANTS
    __builtin_cpu_init();
    if (__builtin_cpu_supports("ssse3")) found.all[found.count++] = {"ssse3", four_blocks_ssse3};
    if (__builtin_cpu_supports("avx512vl"))
        found.all[found.count++] = {"avx512vl", four_blocks_avx512vl};
#endif
    return found;
}

const Implementations& implementations() {
    static const Implementations found = detect_implementations();
    return found;
}

}  // namespace

void chacha12_four_blocks(const ChaChaKey& key, std::uint64_t counter,
                          std::uint32_t (&out)[kChaChaBatchWords]) {
    // Chosen on first use; a refill then pays one indirect call.
    static const ChaChaBatchFunction best =
        implementations().all[implementations().count - 1].function;
    best(key, counter, out);
}

bool chacha12_sixteen_blocks(const ChaChaKey& key, std::uint64_t counter,
                             std::uint32_t (&out)[kChaChaWideWords]) {
#ifdef VELMORQUIST_CHACHA_X86_VARIANTS
    static const bool wide = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") != 0;
    }();
    if (wide) {
        sixteen_blocks_avx512f(key, counter, out);
        return true;
    }
#else
    (void)key;
    (void)counter;
    (void)out;
#endif
    return false;
}

std::span<const ChaChaBatchImpl> chacha12_implementations() {
    const Implementations& found = implementations();
    return {found.all, found.count};
}

}  // namespace velmorquist
