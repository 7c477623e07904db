#include "core/policy/key_map.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace velmorquist {
namespace {

struct SipVector {
    std::uint64_t k0;  // k1 is 0
    std::size_t length;
    std::uint64_t hash;
};

class SipHashTest : public ::testing::TestWithParam<SipVector> {};

// Outputs of the SipHash reference implementation (github.com/veorq/SipHash)
// built with one compression and three finalisation rounds, for the message
// 00 01 02 ... of each length: every tail length, and one to eight words.
TEST_P(SipHashTest, MatchesTheReferenceImplementation) {
    std::string message;
    for (std::size_t i = 0; i < GetParam().length; ++i) message.push_back(static_cast<char>(i));
    EXPECT_EQ(siphash13(SipKey{GetParam().k0, 0}, message), GetParam().hash);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, SipHashTest,
    ::testing::Values(
        SipVector{0, 0, 0xd1fba762150c532cULL},
        SipVector{0, 1, 0x68a914128e01e473ULL},
        SipVector{0, 2, 0x010bac45c41e3669ULL},
        SipVector{0, 3, 0x4d4c9a4a8ef6e0adULL},
        SipVector{0, 4, 0x7cc43f98813e4dbdULL},
        SipVector{0, 5, 0x5abe2169dff36275ULL},
        SipVector{0, 6, 0xe3c25f87624f1cdbULL},
        SipVector{0, 7, 0x2f098ab0c751325aULL},
        SipVector{0, 8, 0xead411e67ebe2eeaULL},
        SipVector{0, 9, 0x75927f9d95124362ULL},
        SipVector{0, 15, 0xf30eb725bb91c9eaULL},
        SipVector{0, 16, 0x8972188433a5c5b7ULL},
        SipVector{0, 17, 0x4883c49a2c009c1dULL},
        SipVector{0, 31, 0x169739443111d49bULL},
        SipVector{0, 32, 0x31ef8061c910629bULL},
        SipVector{0, 63, 0x385d3e39e5f37359ULL},
        SipVector{1, 0, 0xc44a0ebf4e962581ULL},
        SipVector{1, 1, 0xc7f8837cdc05230bULL},
        SipVector{1, 2, 0xbfeff0bc8a414c08ULL},
        SipVector{1, 3, 0xd8c82d87fa4286e4ULL},
        SipVector{1, 4, 0x5d51da6e88a607e0ULL},
        SipVector{1, 5, 0x904197b89cffef85ULL},
        SipVector{1, 6, 0x5495a918e3423106ULL},
        SipVector{1, 7, 0x9ce896d47e204af6ULL},
        SipVector{1, 8, 0x51738227823e2309ULL},
        SipVector{1, 9, 0xa9d59ba0fefc9497ULL},
        SipVector{1, 15, 0x535280d545ebc696ULL},
        SipVector{1, 16, 0xde2f7768ba893d84ULL},
        SipVector{1, 17, 0xa5f1ec80df8761a5ULL},
        SipVector{1, 31, 0x446a5b127a38bf2eULL},
        SipVector{1, 32, 0xded378bdce3e8ed5ULL},
        SipVector{1, 63, 0xa35bf11b84b78be0ULL}));

// The ordered map against a plain vector model, through many inserts, replaces
// and erases, so probe runs and shifted positions get exercised together.
TEST(KeyMap, AgreesWithAnOrderedVectorModel) {
    KeyMap map;
    std::vector<std::string> model;
    std::mt19937 random(12345);
    for (int step = 0; step < 20000; ++step) {
        const std::string key = "k" + std::to_string(random() % 300);
        const auto at = std::find(model.begin(), model.end(), key);
        if (random() % 3 == 0) {
            EXPECT_EQ(map.erase(key), at != model.end());
            if (at != model.end()) model.erase(at);
        } else {
            map.insert_or_replace(KeyRecord(key, static_cast<double>(step), std::nullopt));
            if (at == model.end()) model.push_back(key);
        }
        ASSERT_EQ(map.size(), model.size());
    }
    for (std::size_t i = 0; i < model.size(); ++i) {
        EXPECT_EQ(map.records()[i].key, model[i]);
        EXPECT_EQ(map.position(model[i]), i);
    }
    EXPECT_EQ(map.position("absent"), std::nullopt);
}

TEST(KeyMap, ReplaceKeepsThePositionAndTakesTheNewRecord) {
    KeyMap map;
    for (const char* key : {"A", "B", "C"})
        map.insert_or_replace(KeyRecord(key, 1.0, std::nullopt));
    map.find("B")->total_requests = 7;
    map.insert_or_replace(KeyRecord("B", 5.0, 42));
    ASSERT_EQ(map.size(), 3U);
    EXPECT_EQ(map.records()[1].key, "B");
    EXPECT_EQ(map.records()[1].weight, 5.0);
    EXPECT_EQ(map.records()[1].daily_limit, 42U);
    EXPECT_EQ(map.records()[1].total_requests, 0U);
}

TEST(KeyMap, LookupIsByExactBytes) {
    KeyMap map;
    map.insert_or_replace(KeyRecord(std::string("a\0b", 3), 1.0, std::nullopt));
    EXPECT_TRUE(map.position(std::string_view("a\0b", 3)));
    EXPECT_FALSE(map.position("a"));
    EXPECT_FALSE(map.position("A\0b"));
    EXPECT_NE(key_hash("abc"), key_hash("abd"));
}

}  // namespace
}  // namespace velmorquist
