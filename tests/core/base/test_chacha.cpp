#include "core/base/chacha.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace velmorquist {
namespace {

// The block serialised as little-endian bytes, in hex.
std::string hex_bytes(const ChaChaBlock& block) {
    std::string out;
    char byte[3];
    for (std::uint32_t word : block) {
        for (int shift = 0; shift < 32; shift += 8) {
            std::snprintf(byte, sizeof byte, "%02x", (word >> shift) & 0xFF);
            out += byte;
        }
    }
    return out;
}

struct Vector {
    const char* name;
    ChaChaKey key;
    std::uint64_t counter;
    std::uint64_t nonce;
    int rounds;
    const char* expected;
};

class ChaChaVectorTest : public testing::TestWithParam<Vector> {};

TEST_P(ChaChaVectorTest, MatchesPublishedBlock) {
    const Vector& v = GetParam();
    EXPECT_EQ(hex_bytes(chacha_block(v.key, v.counter, v.nonce, v.rounds)), v.expected);
}

// Key bytes 00 01 .. 1f as little-endian words.
constexpr ChaChaKey kCountingKey = {0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
                                    0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c};

INSTANTIATE_TEST_SUITE_P(
    Published, ChaChaVectorTest,
    testing::Values(
        Vector{"chacha12_zero_key", {}, 0, 0, 12,
               "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
               "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"},
        Vector{"chacha20_zero_key", {}, 0, 0, 20,
               "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
               "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
        // The 96-bit-nonce block of RFC 8439 2.3.2 (counter 1, nonce
        // 000000090000004a00000000) read in the 64/64 layout: its first nonce
        // word is our counter's high word, so this pins the carry word 13.
        Vector{"chacha20_counter_above_2_32", kCountingKey, 0x0900000000000001ULL, 0x4a000000ULL,
               20,
               "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
               "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"}),
    [](const testing::TestParamInfo<Vector>& param) { return param.param.name; });

void expect_four_reference_blocks(ChaChaBatchFunction four_blocks) {
    const ChaChaKey keys[] = {{}, kCountingKey,
                              {0xdeadbeef, 1, 2, 3, 0xffffffff, 0x80000000, 7, 0x12345678}};
    // Includes batches whose lanes straddle the 2^32 carry and the 2^64 wrap.
    const std::uint64_t counters[] = {0,           4,           0xfffffffeULL, 0xffffffffULL,
                                      1ULL << 32,  0x0900000000000001ULL,     ~0ULL - 1};
    for (const ChaChaKey& key : keys) {
        for (std::uint64_t counter : counters) {
            std::uint32_t batch[kChaChaBatchWords];
            four_blocks(key, counter, batch);
            for (std::uint64_t lane = 0; lane < 4; ++lane) {
                ChaChaBlock expected = chacha_block(key, counter + lane, 0, 12);
                for (std::size_t word = 0; word < 16; ++word)
                    ASSERT_EQ(batch[lane * 16 + word], expected[word])
                        << "counter " << counter << " lane " << lane << " word " << word;
            }
        }
    }
}

TEST(ChaChaFourBlocks, EqualsFourReferenceBlocks) {
    expect_four_reference_blocks(chacha12_four_blocks);
}

// Each instruction-set variant this processor can run, not only the chosen one.
TEST(ChaChaFourBlocks, EveryVariantEqualsFourReferenceBlocks) {
    ASSERT_FALSE(chacha12_implementations().empty());
    for (const ChaChaBatchImpl& variant : chacha12_implementations()) {
        SCOPED_TRACE(variant.name);
        expect_four_reference_blocks(variant.function);
    }
}

TEST(ChaChaSixteenBlocks, EqualsSixteenReferenceBlocks) {
    const std::uint64_t counters[] = {0, 12, 0xfffffff8ULL, 0xfffffff0ULL, ~0ULL - 7};
    for (std::uint64_t counter : counters) {
        std::uint32_t wide[kChaChaWideWords];
        if (!chacha12_sixteen_blocks(kCountingKey, counter, wide))
            GTEST_SKIP() << "no 512-bit vectors on this processor";
        for (std::uint64_t block = 0; block < 16; ++block) {
            ChaChaBlock expected = chacha_block(kCountingKey, counter + block, 0, 12);
            for (std::size_t word = 0; word < 16; ++word)
                ASSERT_EQ(wide[block * 16 + word], expected[word])
                    << "counter " << counter << " block " << block << " word " << word;
        }
    }
}

}  // namespace
}  // namespace velmorquist
