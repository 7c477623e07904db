// The key pool's insertion-ordered map: records in a vector (position 0 is the
// oldest) plus an open-addressing hash index from key text to position.
// The hash is keyed with random bytes read once per process, so key texts
// chosen by an outsider cannot force collisions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/policy/key_record.hpp"

namespace velmorquist {

struct SipKey {
    std::uint64_t k0;
    std::uint64_t k1;
};

// SipHash-1-3 of `bytes` under `key`; public so tests can check it against
// the published vectors.
[[nodiscard]] std::uint64_t siphash13(const SipKey& key, std::string_view bytes) noexcept;
// siphash13 under the process-wide random key.
[[nodiscard]] std::uint64_t key_hash(std::string_view bytes) noexcept;

class KeyMap {
public:
    [[nodiscard]] std::size_t size() const noexcept { return records_.size(); }
    [[nodiscard]] bool empty() const noexcept { return records_.empty(); }

    [[nodiscard]] std::span<KeyRecord> records() noexcept { return records_; }
    [[nodiscard]] std::span<const KeyRecord> records() const noexcept { return records_; }

    [[nodiscard]] std::optional<std::size_t> position(std::string_view key) const noexcept;
    [[nodiscard]] KeyRecord* find(std::string_view key) noexcept;

    // Appends a new key, or replaces the record of a present key where it
    // stands. Strong guarantee: on bad_alloc the map is unchanged.
    void insert_or_replace(KeyRecord record);

    // Removes the key and shifts later records down; false when absent.
    bool erase(std::string_view key);

private:
    struct Slot {
        std::uint64_t hash = 0;
        std::size_t position = kEmpty;
    };
    static constexpr std::size_t kEmpty = static_cast<std::size_t>(-1);
    static constexpr std::size_t kMinSlots = 16;

    // Index of the slot holding `key`, or of the empty slot ending its probe run.
    [[nodiscard]] std::size_t probe(std::string_view key, std::uint64_t hash) const noexcept;
    // Makes room for one more key; may throw bad_alloc, changing nothing then.
    void reserve_one_more();
    void place(std::vector<Slot>& slots, std::uint64_t hash, std::size_t position) noexcept;
    void remove_slot(std::size_t index) noexcept;

    std::vector<KeyRecord> records_;
    std::vector<Slot> slots_;  // power-of-two size, at most half full
};

}  // namespace velmorquist
