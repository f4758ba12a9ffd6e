// Event: a waitable flag owned by one object, the building block of every wait in the emulator.
#pragma once

#include <cstdint>

namespace platform {

enum class EventReset { Manual, Auto };

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
inline constexpr unsigned kWaitTimeout = 0x102;      // returned by waitAny when time ran out
inline constexpr unsigned kWaitFailed = 0xFFFFFFFFu; // returned by waitAny when the wait itself failed

// Manual-reset: once set, every waiter and every test sees it until reset.
// Auto-reset: a successful wait (or zero-time test) consumes the signal, so one waiter wakes.
// An Event that could not be created is invalid; the state test counts it as set, so code
// that waits for "stop" or "halt" never runs on with a broken handle.
class Event {
public:
    Event() noexcept = default;  // invalid
    Event(EventReset reset, bool initiallySet);
    ~Event();
    Event(Event&& other) noexcept;
    Event& operator=(Event&& other) noexcept;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    bool valid() const { return handle_ != nullptr; }
    bool set();
    bool reset();
    // The zero-time state test: true when signalled or invalid. On an auto-reset event a
    // true answer consumes the signal, exactly like a zero-time wait.
    bool isSet() const;
    // The system handle (a HANDLE on Windows), for overlapped records and multi-waits.
    void* get() const { return handle_; }

private:
    void* handle_ = nullptr;
};

// Waits until one of the events is signalled and returns the lowest signalled index,
// consuming that event when it is auto-reset. Returns kWaitTimeout after timeoutMs, or
// kWaitFailed when an event is invalid or the system wait fails. At most 64 events.
unsigned waitAny(const Event* const* events, unsigned count, std::uint32_t timeoutMs = kInfinite);

}  // namespace platform
