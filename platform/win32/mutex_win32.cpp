// The re-entrant mutex on Windows: an unnamed, unowned CreateMutexA handle.
#include "platform/mutex.h"

#include <cstdlib>

#include "platform/win32/windows_api.h"

namespace platform {

Mutex::Mutex() : handle_(CreateMutexA(nullptr, FALSE, nullptr)) {
    // Going on without it would let two threads into what it guards: the drive table, the
    // queue. A process that cannot make a mutex cannot serve.
    if (!handle_) std::abort();
}

Mutex::~Mutex() {
    if (handle_) CloseHandle(handle_);
}

void Mutex::lock() {
    // WAIT_ABANDONED still gives us the mutex; a failed wait does not.
    if (WaitForSingleObject(handle_, INFINITE) == WAIT_FAILED) std::abort();
}

void Mutex::unlock() { ReleaseMutex(handle_); }

}  // namespace platform
