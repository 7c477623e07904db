#include "core/base/random.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>

#include "core/base/error.hpp"
#include "core/base/format.hpp"

namespace velmorquist {
namespace {

// Raised in the parent and in the child of every fork (by the prepare handler
// and by the parent or child one). A generator whose stamp is behind rekeys at
// its next refill, so a child never replays its parent's stream.
std::atomic<std::uintptr_t> fork_counter{0};

void count_fork() { fork_counter.fetch_add(1, std::memory_order_relaxed); }

int read_getentropy(std::span<std::uint8_t, 32> out) {
    return ::getentropy(out.data(), out.size()) == 0 ? 0 : errno;
}

std::atomic<EntropySource> entropy_source{read_getentropy};

// Seed bytes read as eight little-endian words.
int read_key(ChaChaKey& key) {
    std::uint8_t bytes[32];
    int error = entropy_source.load(std::memory_order_relaxed)(std::span(bytes));
    if (error != 0) return error;
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<std::uint32_t>(bytes[4 * i]) |
                 static_cast<std::uint32_t>(bytes[4 * i + 1]) << 8 |
                 static_cast<std::uint32_t>(bytes[4 * i + 2]) << 16 |
                 static_cast<std::uint32_t>(bytes[4 * i + 3]) << 24;
    }
    return 0;
}

// Trivially destructible, so it needs no TLS destructor: code running during
// thread teardown (other thread_local destructors) can still draw safely.
static_assert(std::is_trivially_destructible_v<ThreadRandom>);
thread_local constinit std::optional<ThreadRandom> this_thread_rng;

// The child's only thread is a copy of the forking thread: its generator's
// buffered words are also the parent's next draws. Dropping them makes the
// child's very first draw refill, and so rekey.
void count_fork_in_child() {
    count_fork();
    if (this_thread_rng.has_value()) this_thread_rng->discard_buffer();
}

void register_fork_handler() {
    // Thread-safe static initialisation makes this once per process.
    static const int result = pthread_atfork(count_fork, count_fork, count_fork_in_child);
    if (result != 0)
        throw InternalFault("libc::pthread_atfork failed with code " + std::to_string(result));
}

}  // namespace

ThreadRandom::ThreadRandom(const ChaChaKey& key)
    : ThreadRandom(key, fork_counter.load(std::memory_order_relaxed)) {
    // Forks must reach this generator too, even before any thread_rng exists.
    register_fork_handler();
}

ThreadRandom::ThreadRandom(const ChaChaKey& key, std::uintptr_t fork_stamp)
    : key_(key), fork_stamp_(fork_stamp) {}

ThreadRandom::ThreadRandom(const ChaChaKey& key,
                           std::span<const std::uint32_t, kChaChaBatchWords> words)
    : ThreadRandom(key) {
    std::copy(words.begin(), words.end(), buffer_);
    index_ = 0;
    bytes_until_reseed_ -= kRefillBytes;
}

void ThreadRandom::refill() {
    // Budget and fork checks run once per 256 bytes, never per draw.
    std::uintptr_t forks = fork_counter.load(std::memory_order_relaxed);
    if (bytes_until_reseed_ <= 0 || static_cast<std::intptr_t>(fork_stamp_ - forks) < 0) {
        ChaChaKey fresh;
        // A failed reseed keeps the old key and position: still a sound stream.
        if (read_key(fresh) == 0) {
            key_ = fresh;
            counter_ = 0;
        }
        fork_stamp_ = forks;
        bytes_until_reseed_ = kReseedThreshold - kRefillBytes;
        ahead_words_ = 0;  // blocks of the old key, or simply recomputed
    } else {
        bytes_until_reseed_ -= kRefillBytes;
    }
    if (ahead_words_ != 0) {
        std::memcpy(buffer_, ahead_ + (kAheadWords - ahead_words_), sizeof buffer_);
        ahead_words_ -= kChaChaBatchWords;
    } else if (std::uint32_t wide[kChaChaWideWords];
               chacha12_sixteen_blocks(key_, counter_, wide)) {
        std::memcpy(buffer_, wide, sizeof buffer_);
        std::memcpy(ahead_, wide + kChaChaBatchWords, sizeof ahead_);
        ahead_words_ = kAheadWords;
    } else {
        chacha12_four_blocks(key_, counter_, buffer_);
    }
    counter_ += 4;
}

std::uint32_t ThreadRandom::next_u32() {
    if (index_ >= kChaChaBatchWords) {
        refill();
        index_ = 0;
    }
    return buffer_[index_++];
}

std::uint64_t ThreadRandom::next_u64_across_refill() {
    if (index_ >= kChaChaBatchWords) {
        refill();
        index_ = 2;
        return static_cast<std::uint64_t>(buffer_[1]) << 32 | buffer_[0];
    }
    // One word left: it is the low half, the next buffer's first word the high.
    std::uint64_t low = buffer_[kChaChaBatchWords - 1];
    refill();
    index_ = 1;
    return static_cast<std::uint64_t>(buffer_[0]) << 32 | low;
}

ThreadRandom& ThreadRandom::create_in(std::optional<ThreadRandom>& slot) {
    ChaChaKey key;
    if (int error = read_key(key); error != 0)
        throw InternalFault(std::string("could not initialize thread_rng: ") +
                            std::strerror(error));
    register_fork_handler();
    // Stamp 0: a generator born after a fork rekeys on its first refill.
    slot.emplace(ThreadRandom(key, 0));
    return *slot;
}

ThreadRandom& thread_rng() {
    // One thread-local address lookup (a call into the dynamic linker, as
    // the module is loaded with dlopen) for both the check and the result:
    // the empty asm stops the compiler from repeating the lookup instead of
    // keeping its result.
    std::optional<ThreadRandom>* slot = &this_thread_rng;
    asm("" : "+r"(slot));
    if (slot->has_value()) [[likely]]
        return **slot;
    return ThreadRandom::create_in(*slot);
}

EntropySource set_entropy_source(EntropySource source) noexcept {
    return entropy_source.exchange(source == nullptr ? read_getentropy : source);
}

std::expected<InclusiveRange, InternalFault> prepare_inclusive(double low, double high) {
    if (!(low <= high)) return std::unexpected(InternalFault("cannot sample empty range"));
    constexpr double kMaxUnit = 1.0 - 0x1.0p-52;  // largest u below
    double scale = (high - low) / kMaxUnit;
    if (!std::isfinite(scale))
        return std::unexpected(InternalFault("Uniform::new_inclusive: range overflow"));
    // Rounding can carry the top of the range past `high`; shrink until it cannot.
    while (scale * kMaxUnit + low > high)
        scale = std::bit_cast<double>(std::bit_cast<std::uint64_t>(scale) - 1);
    return InclusiveRange{low, scale};
}

double uniform_inclusive(ThreadRandom& rng, double low, double high) {
    std::expected<InclusiveRange, InternalFault> range = prepare_inclusive(low, high);
    if (!range) throw range.error();
    return sample_inclusive(rng, *range);
}

std::uint64_t uniform_index(ThreadRandom& rng, std::uint64_t n) {
    if (n == 0) throw InternalFault("cannot sample empty range");
    __extension__ typedef unsigned __int128 Wide;
    // Conservative zone (Lemire's widening multiply without the exact modulo):
    // every accepted low word leaves the high word uniform on [0, n).
    std::uint64_t zone = (n << std::countl_zero(n)) - 1;
    for (;;) {
        Wide product = static_cast<Wide>(rng.next_u64()) * n;
        if (static_cast<std::uint64_t>(product) <= zone)
            return static_cast<std::uint64_t>(product >> 64);
    }
}

namespace {

constexpr double kLn4 = 1.3862943611198906;
constexpr double kLn5 = 1.6094379124341003;

// Cheng's BB, for min(alpha, beta) > 1. Returns w for the final ratio.
double cheng_bb(ThreadRandom& rng, double m, double big, double sum, double b, double g) {
    for (;;) {
        const double u1 = uniform_open_unit(rng);
        const double u2 = uniform_open_unit(rng);
        const double v = b * std::log(u1 / (1.0 - u1));
        const double w = m * std::exp(v);
        const double z = u1 * u1 * u2;
        const double r = g * v - kLn4;
        const double s = m + r - w;
        if ((s + 1.0) + kLn5 >= 5.0 * z) [[likely]]
            return w;
        const double t = std::log(z);
        if (s >= t) return w;
        if (!(t > r + sum * std::log(sum / (big + w)))) return w;
    }
}

// Cheng's BC, for min(alpha, beta) <= 1.
double cheng_bc(ThreadRandom& rng, double m, double big, double sum, double c, double k1,
                double k2) {
    for (;;) {
        const double u1 = uniform_open_unit(rng);
        const double u2 = uniform_open_unit(rng);
        double z;
        if (u1 < 0.5) {
            const double y = u1 * u2;
            z = u1 * y;
            if (0.25 * u2 + z - y >= k1) continue;
        } else {
            z = u1 * u1 * u2;
            if (z <= 0.25) {
                const double v = c * std::log(u1 / (1.0 - u1));
                return big * std::exp(v);
            }
            if (z >= k2) continue;
        }
        const double v = c * std::log(u1 / (1.0 - u1));
        const double w = big * std::exp(v);
        if (std::log(z) > sum * (std::log(sum / (m + w)) + v) - kLn4) continue;
        return w;
    }
}

ProxyError invalid_beta(double alpha, double beta, const char* reason) {
    std::string text = "invalid Beta(";
    append_shortest(text, alpha);
    text += ", ";
    append_shortest(text, beta);
    text += "): ";
    text += reason;
    return Sampling{std::move(text)};
}

}  // namespace

// R. C. H. Cheng, "Generating beta variates with nonintegral shape
// parameters", CACM 21 (1978): BB when both shapes exceed 1, BC otherwise.
BetaSampler::BetaSampler(double alpha, double beta) : alpha_(alpha), beta_(beta) {
    if (!(alpha > 0.0) || !(beta > 0.0)) return;  // kind_ stays Invalid
    m_ = std::min(alpha, beta);
    big_ = std::max(alpha, beta);
    sum_ = alpha + beta;
    if (m_ > 1.0) {
        kind_ = Kind::BB;
        first_ = std::sqrt((sum_ - 2.0) / ((m_ + m_) * big_ - sum_));  // b
        second_ = 1.0 / first_ + m_;                                   // g
        return;
    }
    kind_ = Kind::BC;
    first_ = 1.0 / m_;  // c
    const double d = (big_ + 1.0) - m_;
    second_ = (0.041666666666666664 * m_ + 0.013888888888888888) * d /
              (big_ * first_ - 0.7777777777777778);  // k1
    third_ = (0.25 / d + 0.5) * m_ + 0.25;           // k2
}

std::expected<double, ProxyError> BetaSampler::sample(ThreadRandom& rng) const {
    switch (kind_) {
        case Kind::BB: {
            const double w = cheng_bb(rng, m_, big_, sum_, first_, second_);
            if (beta_ <= alpha_) return alpha_ / (alpha_ + w);
            return w == std::numeric_limits<double>::infinity() ? 1.0 : w / (beta_ + w);
        }
        case Kind::BC: {
            const double w = cheng_bc(rng, m_, big_, sum_, first_, second_, third_);
            if (beta_ > alpha_) return alpha_ / (alpha_ + w);
            return w == std::numeric_limits<double>::infinity() ? 1.0 : w / (beta_ + w);
        }
        case Kind::Invalid: break;
    }
    if (!(alpha_ > 0.0))
        return std::unexpected(
            invalid_beta(alpha_, beta_, "alpha is not positive in beta distribution"));
    return std::unexpected(
        invalid_beta(alpha_, beta_, "beta is not positive in beta distribution"));
}

std::expected<double, ProxyError> beta_sample(ThreadRandom& rng, double alpha, double beta) {
    return BetaSampler(alpha, beta).sample(rng);
}

}  // namespace velmorquist
