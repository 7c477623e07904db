// A mutex that lives in memory shared between processes and survives the death
// of its holder: pthread's PROCESS_SHARED + ROBUST mutex. When a holder died
// mid-operation, the next locker is told so and repairs the guarded state
// before anyone else sees it (Kerrisk, "The Linux Programming Interface", 33).
#pragma once

#include <pthread.h>

namespace velmorquist {

class RobustMutex {
public:
    // Builds the mutex in place in fresh shared memory; throws InternalFault
    // when the platform refuses a process-shared robust mutex.
    void init();

    // Locks; when the previous holder died holding the lock, runs `repair()`
    // before marking the state consistent. Throws InternalFault when the lock
    // is unrecoverable or cannot be taken.
    template <class Repair>
    void lock(Repair&& repair) {
        const int result = pthread_mutex_lock(&mutex_);
        if (result == 0) [[likely]]
            return;
        if (result != kOwnerDied) fail(result);
        repair();
        mark_consistent();
    }
    void unlock() noexcept { pthread_mutex_unlock(&mutex_); }

private:
    static constexpr int kOwnerDied = 130;  // EOWNERDEAD on Linux, without <cerrno> here
    [[noreturn]] static void fail(int error);
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
