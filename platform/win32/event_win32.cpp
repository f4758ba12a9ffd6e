// Events on Windows: CreateEventA handles and WaitForMultipleObjects.
#include "platform/event.h"

#include <utility>

#include "platform/win32/windows_api.h"

namespace platform {

Event::Event(EventReset reset, bool initiallySet)
    : handle_(CreateEventA(nullptr, reset == EventReset::Manual, initiallySet, nullptr)) {}

Event::~Event() {
    if (handle_) CloseHandle(handle_);
}

Event::Event(Event&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

Event& Event::operator=(Event&& other) noexcept {
    if (this != &other) {
        if (handle_) CloseHandle(handle_);
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

bool Event::set() { return handle_ && SetEvent(handle_); }
bool Event::reset() { return handle_ && ResetEvent(handle_); }

bool Event::isSet() const {
    return !handle_ || WaitForSingleObject(handle_, 0) != WAIT_TIMEOUT;
}

unsigned waitAny(const Event* const* events, unsigned count, std::uint32_t timeoutMs) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) return kWaitFailed;
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    for (unsigned i = 0; i < count; ++i) {
        if (!events[i] || !events[i]->valid()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return kWaitFailed;
        }
        handles[i] = events[i]->get();
    }
    const DWORD r = WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
    if (r < WAIT_OBJECT_0 + count) return r - WAIT_OBJECT_0;
    if (r == WAIT_TIMEOUT) return kWaitTimeout;
    return kWaitFailed;
}

}  // namespace platform
