// The re-entrant mutex on Windows: an unnamed, unowned CreateMutexA handle.
#include "platform/mutex.h"

#include "platform/win32/windows_api.h"

namespace platform {

Mutex::Mutex() : handle_(CreateMutexA(nullptr, FALSE, nullptr)) {}

Mutex::~Mutex() {
    if (handle_) CloseHandle(handle_);
}

void Mutex::lock() {
    if (handle_) WaitForSingleObject(handle_, INFINITE);
}

void Mutex::unlock() {
    if (handle_) ReleaseMutex(handle_);
}

}  // namespace platform
