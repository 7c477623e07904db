#include "core/region/bus_guard.hpp"

#include <array>
#include <csignal>
#include <sys/mman.h>

namespace velmorquist {
namespace {

// Read by the signal handler, so plain atomics and no locks; a slot is
// claimed by compare-exchange on its base.
struct Watch {
    std::atomic<std::byte*> base{nullptr};
    std::atomic<std::size_t> size{0};
    std::atomic<std::atomic<std::uint32_t>*> damaged{nullptr};
};

constexpr std::size_t kWatches = 64;
std::array<Watch, kWatches> watches;
struct sigaction previous_action {};

void pass_on(int signal_number, siginfo_t* info, void* context) {
    if ((previous_action.sa_flags & SA_SIGINFO) != 0 && previous_action.sa_sigaction != nullptr) {
        previous_action.sa_sigaction(signal_number, info, context);
        return;
    }
    if (previous_action.sa_handler != SIG_DFL && previous_action.sa_handler != SIG_IGN) {
        previous_action.sa_handler(signal_number);
        return;
    }
    // The default action: returning would fault again, so die of it now.
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

void on_bus_error(int signal_number, siginfo_t* info, void* context) {
    auto* address = static_cast<std::byte*>(info->si_addr);
    for (Watch& watch : watches) {
        std::byte* base = watch.base.load();
        const std::size_t size = watch.size.load();
        if (base == nullptr || address < base || address >= base + size) continue;
        // mmap is a plain system call on Linux, safe here in practice.
        if (mmap(base, size, PROT_READ | PROT_WRITE, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1,
                 0) == MAP_FAILED)
            break;
        if (std::atomic<std::uint32_t>* damaged = watch.damaged.load()) damaged->store(1);
        return;
    }
    pass_on(signal_number, info, context);
}

void install_handler() {
    struct sigaction action {};
    action.sa_sigaction = on_bus_error;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &previous_action);
}

}  // namespace

bool guard_mapping(std::byte* base, std::size_t size, std::atomic<std::uint32_t>* damaged) noexcept {
    static const bool installed = (install_handler(), true);
    (void)installed;
    for (Watch& watch : watches) {
        std::byte* empty = nullptr;
        // Claimed with its size still 0, so the handler matches nothing
        // until the watch is complete.
        if (!watch.base.compare_exchange_strong(empty, base)) continue;
        watch.damaged.store(damaged);
        watch.size.store(size);
        return true;
    }
    return false;
}

void unguard_mapping(std::byte* base) noexcept {
    for (Watch& watch : watches) {
        if (watch.base.load() != base) continue;
        watch.size.store(0);
        watch.damaged.store(nullptr);
        watch.base.store(nullptr);
        return;
    }
}

}  // namespace velmorquist
