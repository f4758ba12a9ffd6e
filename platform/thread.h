// Thread: owner of one system thread, with the priority and "ended" test the controller uses.
#pragma once

#include <cstdint>

namespace platform {

enum class ThreadPriority { Idle = -15, Normal = 0, TimeCritical = 15 };

using ThreadEntry = std::uint32_t (*)(void* argument);

// Releasing a Thread closes the handle; it neither stops nor waits for the thread (a
// thread that is still running goes on and cleans up after itself).
class Thread {
public:
    Thread() noexcept = default;  // none
    ~Thread();
    Thread(Thread&& other) noexcept;
    Thread& operator=(Thread&& other) noexcept;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts entry(argument) at once. On failure the result is invalid and lastError()
    // holds the system's reason.
    static Thread start(ThreadEntry entry, void* argument);

    bool valid() const { return handle_ != nullptr; }
    // The state test on the thread: true when it has ended or there is none.
    bool hasEnded() const;
    // Waits up to timeoutMs for the end; true when it has ended.
    bool waitEnded(std::uint32_t timeoutMs) const;
    // Priorities are binding on Windows and hints elsewhere.
    bool setPriority(ThreadPriority priority);

private:
    void* handle_ = nullptr;
};

// The calling thread's priority (the controller drops the thread that starts emulation).
bool setCurrentThreadPriority(ThreadPriority priority);
// Moves the whole process to the real-time priority class where the system has one.
bool setProcessRealtime();
void sleepMs(std::uint32_t ms);

}  // namespace platform
