// Threads on Windows: CreateThread with an inheritable handle, as the controller creates them.
#include "platform/thread.h"

#include <utility>

#include "platform/win32/windows_api.h"

namespace platform {
namespace {

struct StartBlock {
    ThreadEntry entry;
    void* argument;
};

// CreateThread wants a WINAPI (stdcall on x86) entry; the block carries ours across.
DWORD WINAPI trampoline(LPVOID raw) {
    const StartBlock block = *static_cast<StartBlock*>(raw);
    delete static_cast<StartBlock*>(raw);
    return block.entry(block.argument);
}

}  // namespace

Thread::~Thread() {
    if (handle_) CloseHandle(handle_);
}

Thread::Thread(Thread&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

Thread& Thread::operator=(Thread&& other) noexcept {
    if (this != &other) {
        if (handle_) CloseHandle(handle_);
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

Thread Thread::start(ThreadEntry entry, void* argument) {
    auto* block = new StartBlock{entry, argument};
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = nullptr;
    sa.bInheritHandle = TRUE;
    Thread t;
    t.handle_ = CreateThread(&sa, 0, trampoline, block, 0, nullptr);
    if (!t.handle_) {
        const DWORD error = GetLastError();
        delete block;
        SetLastError(error);
    }
    return t;
}

bool Thread::hasEnded() const {
    return !handle_ || WaitForSingleObject(handle_, 0) != WAIT_TIMEOUT;
}

bool Thread::waitEnded(std::uint32_t timeoutMs) const {
    return !handle_ || WaitForSingleObject(handle_, timeoutMs) != WAIT_TIMEOUT;
}

bool Thread::setPriority(ThreadPriority priority) {
    return handle_ && SetThreadPriority(handle_, static_cast<int>(priority));
}

bool setCurrentThreadPriority(ThreadPriority priority) {
    return SetThreadPriority(GetCurrentThread(), static_cast<int>(priority));
}

bool setProcessRealtime() {
    return SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
}

void sleepMs(std::uint32_t ms) { Sleep(ms); }

}  // namespace platform
