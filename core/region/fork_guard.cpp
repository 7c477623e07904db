#include "core/region/fork_guard.hpp"

#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/base/error.hpp"
#include "core/base/mutex.hpp"

namespace velmorquist {

// Every live guard. Its lock is held from the prepare handler to the parent's
// or child's, so no guard comes or goes while a fork copies the list.
struct ForkGuardRegistry {
    static ForkGuardRegistry& instance() {
        // Never destroyed: a fork during static destruction still finds it.
        static ForkGuardRegistry* registry = new ForkGuardRegistry;
        return *registry;
    }

    static void before_fork() noexcept {
        ForkGuardRegistry& registry = instance();
        registry.mutex.lock();
        for (ForkGuard* guard : registry.guards) guard->handlers_.take_all();
    }
    static void after_fork_in_parent() noexcept {
        ForkGuardRegistry& registry = instance();
        for (ForkGuard* guard : registry.guards) guard->handlers_.release_all();
        registry.mutex.unlock();
    }
    static void after_fork_in_child() noexcept {
        ForkGuardRegistry& registry = instance();
        for (ForkGuard* guard : registry.guards) guard->handlers_.rebuild_all();
        // The child's only thread is the one that took it.
        registry.mutex.unlock();
    }

    CoreMutex mutex;
    std::vector<ForkGuard*> guards;
};

namespace {

void register_fork_handlers() {
    // Thread-safe static initialisation makes this once per process.
    static const int result =
        pthread_atfork(ForkGuardRegistry::before_fork, ForkGuardRegistry::after_fork_in_parent,
                       ForkGuardRegistry::after_fork_in_child);
    if (result != 0)
        throw InternalFault("libc::pthread_atfork failed with code " + std::to_string(result));
}

}  // namespace

ForkGuard::ForkGuard(ForkHandlers handlers) : handlers_(std::move(handlers)) {
    register_fork_handlers();
    ForkGuardRegistry& registry = ForkGuardRegistry::instance();
    std::lock_guard held(registry.mutex);
    registry.guards.push_back(this);
}

ForkGuard::~ForkGuard() {
    ForkGuardRegistry& registry = ForkGuardRegistry::instance();
    std::lock_guard held(registry.mutex);
    std::erase(registry.guards, this);
}

}  // namespace velmorquist
