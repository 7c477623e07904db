// Opening, checking, building and mapping a host-shared region file, and the
// locks that tell whether any live process has it attached; or the same
// layout in this process's private memory.
//
// Lock protocol (open-file-description locks: inherited across fork, dropped
// by the kernel when the last holder of the descriptor dies):
//   byte 0  every attached process holds a read lock for as long as it is
//           attached, so a write lock on it means nobody is;
//   byte 1  held for writing while one process attaches, so checking,
//           rebuilding and taking the read lock on byte 0 is one step.
// A new file is built under a temporary name and linked into place, so no
// process ever sees a region half built.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>

namespace velmorquist {

enum class RegionFault {
    NotFound,  // missing and not to be created
    System,    // an operating-system call failed; `os_error` says why
    NotOurs,   // not a region of ours (or damaged): never touched
    Refused,   // ours but not usable as it stands (in use, or create=false)
};

struct RegionError {
    RegionFault fault;
    int os_error = 0;
    std::string message;  // names the path
};

struct RegionRequest {
    std::string path;
    bool create = true;
    bool fresh = false;
    std::uint32_t provider_count = 0;
    std::uint32_t key_count = 0;
    std::uint64_t config_hash = 0;
    std::uint32_t key_check = 0;
};

// Fills the slots of a region being built (the header is written around it).
using SlotInitialiser = std::function<void(std::byte* base)>;

using RegionSecret = std::array<std::uint8_t, 32>;

// The secret beside the region (`<path>.key`, 32 random bytes, mode 0600),
// created when missing. Keys are identified in the region by a hash keyed
// with it, so the region file alone reveals nothing about them.
[[nodiscard]] std::expected<RegionSecret, RegionError> region_secret(const std::string& path,
                                                                     bool create);

// The error attaching would report for a file at `path` that is not a region
// of ours (or cannot be opened); nullopt when it looks like one of ours.
[[nodiscard]] std::optional<RegionError> foreign_region(const std::string& path);

class RegionFile {
public:
    [[nodiscard]] static std::expected<RegionFile, RegionError> attach(
        const RegionRequest& request, const SlotInitialiser& init);
    // A region in this process's own anonymous memory: no file, no locks on
    // one; `request.path` names nothing.
    [[nodiscard]] static std::expected<RegionFile, RegionError> private_memory(
        const RegionRequest& request, const SlotInitialiser& init);

    RegionFile(RegionFile&& other) noexcept;
    RegionFile& operator=(RegionFile&&) = delete;
    RegionFile(const RegionFile&) = delete;
    ~RegionFile();  // unmaps and closes, which drops this attachment's lock

    [[nodiscard]] std::byte* base() const noexcept { return base_; }
    // False once the path no longer names the mapped file (it was removed or
    // replaced, as logind's RemoveIPC=yes does): a process attaching now
    // would build another region beside this one. Always true in private
    // memory. Also notes a truncation no access has faulted on yet (damage()).
    [[nodiscard]] bool still_named() const noexcept;
    // What another process did to the mapped file, or "" while it is
    // intact: truncated under this mapping (its pages read as zeros now).
    [[nodiscard]] std::string damage() const;
    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }

private:
    RegionFile(int fd, std::byte* base, std::size_t size, std::string path = {});

    int fd_;  // -1 for private memory
    std::byte* base_;
    std::size_t size_;
    std::string path_;
    // Set by the bus-error handler (bus_guard.hpp); on the heap so that its
    // address survives a move.
    std::unique_ptr<std::atomic<std::uint32_t>> truncated_;
};

// This boot's identity (/proc/sys/kernel/random/boot_id), zero-padded.
[[nodiscard]] std::array<char, 40> current_boot_id();

}  // namespace velmorquist
