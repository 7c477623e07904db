// The generator: buffer order, the word-63 join, reseeding, forks, threads.
#include "core/base/random.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/base/error.hpp"

namespace velmorquist {
namespace {

constexpr ChaChaKey kKey = {0x11111111, 0x22222222, 0x33333333, 0x44444444,
                            0x55555555, 0x66666666, 0x77777777, 0x88888888};
constexpr int kRefillsPerKey = 256;       // 65536 bytes / 256 bytes per refill
constexpr int kDrawsPerRefill = 32;       // 64 words per refill, two per draw

// ChaCha12 words of blocks `first` .. `first + count - 1`, in order.
std::vector<std::uint32_t> keystream(const ChaChaKey& key, std::uint64_t first, int count) {
    std::vector<std::uint32_t> words;
    for (int i = 0; i < count; ++i) {
        ChaChaBlock block = chacha_block(key, first + static_cast<std::uint64_t>(i), 0, 12);
        words.insert(words.end(), block.begin(), block.end());
    }
    return words;
}

std::uint64_t join(std::uint32_t low, std::uint32_t high) {
    return static_cast<std::uint64_t>(high) << 32 | low;
}

// The key whose 32 seed bytes are 0x40, 0x41, ..., 0x5f.
constexpr ChaChaKey kFreshKey = {0x43424140, 0x47464544, 0x4b4a4948, 0x4f4e4d4c,
                                 0x53525150, 0x57565554, 0x5b5a5958, 0x5f5e5d5c};
int entropy_calls = 0;

int fresh_entropy(std::span<std::uint8_t, 32> out) {
    ++entropy_calls;
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(0x40 + i);
    return 0;
}

int failing_entropy(std::span<std::uint8_t, 32>) {
    ++entropy_calls;
    return EIO;
}

// Installs an entropy source for one test and restores the previous one.
class EntropyOverride {
public:
    explicit EntropyOverride(EntropySource source) : previous_(set_entropy_source(source)) {
        entropy_calls = 0;
    }
    ~EntropyOverride() { set_entropy_source(previous_); }
    EntropyOverride(const EntropyOverride&) = delete;
    EntropyOverride& operator=(const EntropyOverride&) = delete;

private:
    EntropySource previous_;
};

void skip(ThreadRandom& rng, int draws) {
    for (int i = 0; i < draws; ++i) (void)rng.next_u64();
}

TEST(ThreadRandomTest, DrawsFourBlocksPerRefillInCounterOrder) {
    ThreadRandom rng(kKey);
    std::vector<std::uint32_t> words = keystream(kKey, 0, 8);
    for (std::size_t i = 0; i < words.size(); i += 2)
        ASSERT_EQ(rng.next_u64(), join(words[i], words[i + 1])) << "draw " << i / 2;
}

TEST(ThreadRandomTest, WordSixtyThreeIsTheLowHalfOfAJoinedDraw) {
    ThreadRandom rng(kKey);
    std::vector<std::uint32_t> words = keystream(kKey, 0, 8);
    EXPECT_EQ(rng.next_u32(), words[0]);
    skip(rng, 31);  // words 1 .. 62
    EXPECT_EQ(rng.next_u64(), join(words[63], words[64]));
    EXPECT_EQ(rng.next_u64(), join(words[65], words[66]));
    EXPECT_EQ(rng.next_u32(), words[67]);
}

TEST(ThreadRandomTest, ReseedsOnThe257thRefill) {
    EntropyOverride entropy(fresh_entropy);
    ThreadRandom rng(kKey);
    skip(rng, kRefillsPerKey * kDrawsPerRefill - 1);
    std::vector<std::uint32_t> last = keystream(kKey, 4 * kRefillsPerKey - 1, 1);
    EXPECT_EQ(rng.next_u64(), join(last[14], last[15]));
    EXPECT_EQ(entropy_calls, 0);

    std::vector<std::uint32_t> fresh = keystream(kFreshKey, 0, 1);
    EXPECT_EQ(rng.next_u64(), join(fresh[0], fresh[1]));
    EXPECT_EQ(entropy_calls, 1);

    // The budget starts over from the reseed.
    skip(rng, kRefillsPerKey * kDrawsPerRefill - 1);
    EXPECT_EQ(entropy_calls, 1);
    (void)rng.next_u64();
    EXPECT_EQ(entropy_calls, 2);
}

// Starting one refill into the budget (64 pinned words) puts the reseed in
// the middle of blocks computed ahead; every word must still be the
// keystream of the key in force at its refill.
TEST(ThreadRandomTest, EveryWordAcrossAReseedMidwayThroughPrecomputedBlocks) {
    EntropyOverride entropy(fresh_entropy);
    std::array<std::uint32_t, kChaChaBatchWords> pinned{};
    for (std::size_t i = 0; i < pinned.size(); ++i) pinned[i] = static_cast<std::uint32_t>(i);
    ThreadRandom rng(kKey, pinned);
    std::vector<std::uint32_t> expected(pinned.begin(), pinned.end());
    std::vector<std::uint32_t> old_key = keystream(kKey, 0, 4 * (kRefillsPerKey - 1));
    std::vector<std::uint32_t> new_key = keystream(kFreshKey, 0, 4 * 7 + 2);
    expected.insert(expected.end(), old_key.begin(), old_key.end());
    expected.insert(expected.end(), new_key.begin(), new_key.end());
    for (std::size_t i = 0; i + 1 < expected.size(); i += 2)
        ASSERT_EQ(rng.next_u64(), join(expected[i], expected[i + 1])) << "word " << i;
    EXPECT_EQ(entropy_calls, 1);
}

TEST(ThreadRandomTest, FailedReseedKeepsTheKeyAndCountsAnotherBudget) {
    EntropyOverride entropy(failing_entropy);
    ThreadRandom rng(kKey);
    skip(rng, kRefillsPerKey * kDrawsPerRefill);
    std::vector<std::uint32_t> next = keystream(kKey, 4 * kRefillsPerKey, 1);
    EXPECT_EQ(rng.next_u64(), join(next[0], next[1]));
    EXPECT_EQ(entropy_calls, 1);
    skip(rng, kRefillsPerKey * kDrawsPerRefill - 1);
    EXPECT_EQ(entropy_calls, 1);
    (void)rng.next_u64();
    EXPECT_EQ(entropy_calls, 2);
}

constexpr int kDrawsAfterFork = 40;

struct ForkedDraws {
    std::vector<std::uint64_t> parent;
    std::vector<std::uint64_t> child;
};

// Forks; both processes take kDrawsAfterFork outputs from `rng`, the child
// sends its own back through a pipe.
template <class Generator>
ForkedDraws draw_on_both_sides(Generator rng) {
    auto draw = [&] {
        std::vector<std::uint64_t> draws(kDrawsAfterFork);
        for (std::uint64_t& value : draws) value = rng().next_u64();
        return draws;
    };
    int pipe_ends[2];
    EXPECT_EQ(pipe(pipe_ends), 0);
    pid_t child = fork();
    EXPECT_GE(child, 0);
    if (child == 0) {
        std::vector<std::uint64_t> draws = draw();
        std::size_t size = draws.size() * sizeof draws[0];
        _exit(write(pipe_ends[1], draws.data(), size) == static_cast<ssize_t>(size) ? 0 : 1);
    }
    ForkedDraws result{draw(), std::vector<std::uint64_t>(kDrawsAfterFork)};
    std::size_t wanted = result.child.size() * sizeof result.child[0];
    std::size_t got = 0;
    while (got < wanted) {
        ssize_t n = read(pipe_ends[0], reinterpret_cast<char*>(result.child.data()) + got,
                         wanted - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    int status = 0;
    waitpid(child, &status, 0);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    EXPECT_EQ(got, wanted);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return result;
}

TEST(ThreadRandomTest, ParentAndChildBothRekeyAfterFork) {
    ThreadRandom rng(kKey);
    (void)rng.next_u64();  // the buffer now holds 31 more draws from the old key
    ForkedDraws draws = draw_on_both_sides([&]() -> ThreadRandom& { return rng; });

    std::vector<std::uint32_t> old = keystream(kKey, 0, 8);
    for (int i = 0; i < kDrawsAfterFork; ++i) {
        auto w = static_cast<std::size_t>(2 * (i + 1));
        if (i < kDrawsPerRefill - 1) {
            // A generator of our own keeps delivering what it had buffered.
            EXPECT_EQ(draws.parent[i], join(old[w], old[w + 1])) << i;
            EXPECT_EQ(draws.child[i], join(old[w], old[w + 1])) << i;
            continue;
        }
        EXPECT_NE(draws.parent[i], join(old[w], old[w + 1])) << "parent kept its key, draw " << i;
        EXPECT_NE(draws.child[i], join(old[w], old[w + 1])) << "child kept its key, draw " << i;
        EXPECT_NE(draws.parent[i], draws.child[i]) << "child repeats its parent, draw " << i;
    }
}

TEST(ThreadRngTest, ForkedChildNeverRepeatsItsParentsNextDraws) {
    (void)thread_rng().next_u64();  // leaves words buffered at the fork
    ForkedDraws draws = draw_on_both_sides([]() -> ThreadRandom& { return thread_rng(); });
    for (int i = 0; i < kDrawsAfterFork; ++i) EXPECT_NE(draws.parent[i], draws.child[i]) << i;
}

TEST(ThreadRngTest, OneGeneratorPerThreadEachWithItsOwnStream) {
    ThreadRandom* mine = &thread_rng();
    EXPECT_EQ(&thread_rng(), mine);
    constexpr int kThreads = 4;
    std::vector<std::vector<std::uint64_t>> streams(kThreads);
    std::vector<ThreadRandom*> generators(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            generators[t] = &thread_rng();
            for (int i = 0; i < 8; ++i) streams[t].push_back(thread_rng().next_u64());
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int a = 0; a < kThreads; ++a) {
        EXPECT_NE(generators[a], mine);
        for (int b = a + 1; b < kThreads; ++b) {
            EXPECT_NE(generators[a], generators[b]);
            EXPECT_NE(streams[a], streams[b]);
        }
    }
}

TEST(ThreadRngTest, EntropyFailureAtCreationIsAnInternalFaultAndRetried) {
    std::string message;
    std::uint64_t later = 0;
    {
        EntropyOverride entropy(failing_entropy);
        std::thread([&] {
            try {
                (void)thread_rng();
            } catch (const InternalFault& fault) {
                message = fault.what();
            }
            set_entropy_source(fresh_entropy);
            later = thread_rng().next_u64();
        }).join();
    }
    EXPECT_EQ(message, std::string("could not initialize thread_rng: ") + std::strerror(EIO));
    std::vector<std::uint32_t> fresh = keystream(kFreshKey, 0, 1);
    EXPECT_EQ(later, join(fresh[0], fresh[1]));
}

}  // namespace
}  // namespace velmorquist
