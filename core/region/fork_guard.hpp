// Locks that live in this process's private memory, carried safely across
// fork(). The child's memory is a copy of the parent's, including any lock a
// now-absent thread held mid-operation: the child would wait on it forever.
// So every registered set of locks is taken before the fork (no operation is
// half done in the copy), released after it in the parent and rebuilt in the
// child, where their owner's thread does not exist (glibc does the same with
// malloc's arenas).
#pragma once

#include <functional>

namespace velmorquist {

struct ForkHandlers {
    std::function<void()> take_all;     // before the fork
    std::function<void()> release_all;  // after it, in the parent
    std::function<void()> rebuild_all;  // after it, in the child: unlocked and fresh
};

// Runs its handlers around every fork for as long as it lives. The handlers
// must not fork or create or destroy a ForkGuard.
class ForkGuard {
public:
    // Throws InternalFault when the fork handler cannot be registered.
    explicit ForkGuard(ForkHandlers handlers);
    ~ForkGuard();
    ForkGuard(const ForkGuard&) = delete;
    ForkGuard& operator=(const ForkGuard&) = delete;

private:
    friend struct ForkGuardRegistry;
    ForkHandlers handlers_;
};

}  // namespace velmorquist
