#include "core/policy/key_map.hpp"

#include <bit>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace velmorquist {
namespace {

std::uint64_t mix64(std::uint64_t x) {
    // splitmix64 finaliser: spreads a weak fallback seed over all bits.
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

SipKey read_process_key() {
    std::uint64_t words[2] = {};
    if (getentropy(words, sizeof words) == 0) return {words[0], words[1]};
    // Without OS randomness the index still works; it only loses its
    // resistance to chosen colliding keys, which is no reason to refuse pools.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto stamp = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000ULL +
                       static_cast<std::uint64_t>(now.tv_nsec);
    const auto where = reinterpret_cast<std::uintptr_t>(&now);
    return {mix64(stamp ^ static_cast<std::uint64_t>(getpid())), mix64(stamp + where)};
}

const SipKey& process_key() {
    static const SipKey key = read_process_key();
    return key;
}

std::uint64_t load_le64(const char* bytes) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
    return word;
}

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
        v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
    }
    void absorb(std::uint64_t m) {
        v3 ^= m;
        round();  // SipHash-1-3: one compression round per word
        v0 ^= m;
    }
};

}  // namespace

// SipHash (Aumasson and Bernstein, 2012) with 1 compression and 3
// finalisation rounds: a keyed hash meant for exactly this kind of table.
std::uint64_t siphash13(const SipKey& key, std::string_view bytes) noexcept {
    SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
               key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
    const std::size_t whole = bytes.size() & ~std::size_t{7};
    for (std::size_t i = 0; i < whole; i += 8) s.absorb(load_le64(bytes.data() + i));
    std::uint64_t last = static_cast<std::uint64_t>(bytes.size()) << 56;
    for (std::size_t i = whole; i < bytes.size(); ++i)
        last |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[i]))
                << (8 * (i - whole));
    s.absorb(last);
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

std::uint64_t key_hash(std::string_view bytes) noexcept { return siphash13(process_key(), bytes); }

std::size_t KeyMap::probe(std::string_view key, std::uint64_t hash) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    while (slots_[i].position != kEmpty) {
        if (slots_[i].hash == hash && records_[slots_[i].position].key == key) return i;
        i = (i + 1) & mask;
    }
    return i;
}

std::optional<std::size_t> KeyMap::position(std::string_view key) const noexcept {
    if (records_.empty()) return std::nullopt;
    const std::size_t slot = probe(key, key_hash(key));
    if (slots_[slot].position == kEmpty) return std::nullopt;
    return slots_[slot].position;
}

KeyRecord* KeyMap::find(std::string_view key) noexcept {
    const std::optional<std::size_t> at = position(key);
    return at ? &records_[*at] : nullptr;
}

void KeyMap::place(std::vector<Slot>& slots, std::uint64_t hash, std::size_t position) noexcept {
    const std::size_t mask = slots.size() - 1;
    std::size_t i = hash & mask;
    while (slots[i].position != kEmpty) i = (i + 1) & mask;
    slots[i] = Slot{hash, position};
}

void KeyMap::reserve_one_more() {
    const std::size_t needed = 2 * (records_.size() + 1);
    if (slots_.size() >= needed) return;
    std::size_t count = slots_.empty() ? kMinSlots : slots_.size() * 2;
    while (count < needed) count *= 2;
    std::vector<Slot> grown(count);
    for (const Slot& slot : slots_) {
        if (slot.position != kEmpty) place(grown, slot.hash, slot.position);
    }
    slots_.swap(grown);
}

void KeyMap::insert_or_replace(KeyRecord record) {
    const std::uint64_t hash = key_hash(record.key);
    if (!records_.empty()) {
        const std::size_t slot = probe(record.key, hash);
        if (slots_[slot].position != kEmpty) {
            records_[slots_[slot].position] = std::move(record);
            return;
        }
    }
    reserve_one_more();
    records_.push_back(std::move(record));  // records move without throwing
    place(slots_, hash, records_.size() - 1);
}

void KeyMap::remove_slot(std::size_t index) noexcept {
    // Backward-shift deletion keeps every probe run unbroken without tombstones.
    const std::size_t mask = slots_.size() - 1;
    std::size_t hole = index;
    for (std::size_t j = (hole + 1) & mask; slots_[j].position != kEmpty; j = (j + 1) & mask) {
        const std::size_t home = slots_[j].hash & mask;
        const bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
        if (stays) continue;
        slots_[hole] = slots_[j];
        hole = j;
    }
    slots_[hole] = Slot{};
}

bool KeyMap::erase(std::string_view key) {
    if (records_.empty()) return false;
    const std::size_t slot = probe(key, key_hash(key));
    const std::size_t removed = slots_[slot].position;
    if (removed == kEmpty) return false;
    remove_slot(slot);
    for (Slot& other : slots_) {
        if (other.position != kEmpty && other.position > removed) --other.position;
    }
    records_.erase(records_.begin() + static_cast<std::ptrdiff_t>(removed));
    return true;
}

}  // namespace velmorquist
