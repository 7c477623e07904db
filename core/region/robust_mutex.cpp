#include "core/region/robust_mutex.hpp"

#include <cerrno>
#include <cstring>
#include <string>

#include "core/base/error.hpp"

namespace velmorquist {

static_assert(EOWNERDEAD == 130, "RobustMutex::kOwnerDied assumes Linux's EOWNERDEAD");

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

void RobustMutex::fail(int error) {
    throw InternalFault("host state lock failed: " + std::string(std::strerror(error)));
}

}  // namespace velmorquist
