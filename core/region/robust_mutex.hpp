// A mutex that lives in memory shared between processes and survives the death
// of its holder: pthread's PROCESS_SHARED + ROBUST mutex. When a holder died
// mid-operation, the next locker is told so and repairs the guarded state
// before anyone else sees it (Kerrisk, "The Linux Programming Interface", 33).
#pragma once

#include <pthread.h>

namespace velmorquist {

// How a thread waits for a lock that another holder has: `around(wait,
// context)` must call `wait(context)` once. The default calls it straight
// away; a language binding passes one that lets its interpreter's other
// threads run meanwhile, since the holder may be a stopped process.
using LockWaitAround = void (*)(void (*wait)(void*), void* context);
void set_lock_wait_around(LockWaitAround around) noexcept;

class RobustMutex {
public:
    // Builds the mutex in place in fresh shared memory; throws InternalFault
    // when the platform refuses a process-shared robust mutex.
    void init();

    // Locks; when the previous holder died holding the lock, runs `repair()`
    // before marking the state consistent. Throws DamagedState when the lock
    // cannot be taken: its bytes were overwritten by another process.
    template <class Repair>
    void lock(Repair&& repair) {
        int result = pthread_mutex_trylock(&mutex_);
        if (result == kBusy) result = wait_for_lock();
        if (result == 0) [[likely]]
            return;
        if (result != kOwnerDied) [[unlikely]]
            unusable(result);
        repair();
        mark_consistent();
    }
    void unlock() noexcept { pthread_mutex_unlock(&mutex_); }

private:
    static constexpr int kOwnerDied = 130;  // EOWNERDEAD on Linux, without <cerrno> here
    static constexpr int kBusy = 16;        // EBUSY
    // pthread_mutex_lock through the wait hook; its result.
    int wait_for_lock();
    [[noreturn]] static void fail(int error);
    [[noreturn]] static void unusable(int error);
    void mark_consistent();

    pthread_mutex_t mutex_;
};

// Holds a RobustMutex for one scope, repairing with `Repair` when needed.
class RobustLock {
public:
    template <class Repair>
    RobustLock(RobustMutex& mutex, Repair&& repair) : mutex_(mutex) {
        mutex_.lock(repair);
    }
    ~RobustLock() { mutex_.unlock(); }
    RobustLock(const RobustLock&) = delete;
    RobustLock& operator=(const RobustLock&) = delete;

private:
    RobustMutex& mutex_;
};

}  // namespace velmorquist
