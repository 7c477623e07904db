#include "core/region/robust_mutex.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "core/base/error.hpp"

namespace velmorquist {

static_assert(EOWNERDEAD == 130, "RobustMutex::kOwnerDied assumes Linux's EOWNERDEAD");
static_assert(EBUSY == 16, "RobustMutex::kBusy assumes Linux's EBUSY");

namespace {

void wait_in_place(void (*wait)(void*), void* context) { wait(context); }

std::atomic<LockWaitAround> lock_wait_around{wait_in_place};

struct Waiting {
    pthread_mutex_t* mutex;
    int result;
};

}  // namespace

void set_lock_wait_around(LockWaitAround around) noexcept {
    lock_wait_around.store(around != nullptr ? around : wait_in_place);
}

int RobustMutex::wait_for_lock() {
    Waiting waiting{&mutex_, 0};
    lock_wait_around.load()(
        [](void* context) {
            auto* w = static_cast<Waiting*>(context);
            w->result = pthread_mutex_lock(w->mutex);
        },
        &waiting);
    return waiting.result;
}

void RobustMutex::init() {
    pthread_mutexattr_t attributes;
    if (int error = pthread_mutexattr_init(&attributes); error != 0) fail(error);
    int error = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    if (error == 0) error = pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    if (error == 0) error = pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
    if (error != 0) fail(error);
}

void RobustMutex::mark_consistent() {
    if (int error = pthread_mutex_consistent(&mutex_); error != 0) fail(error);
}

void RobustMutex::unusable(int error) {
    throw DamagedState("a lock in it is unusable (" + std::string(std::strerror(error)) + ")");
}

void RobustMutex::fail(int error) {
    throw InternalFault("host state lock failed: " + std::string(std::strerror(error)));
}

}  // namespace velmorquist
