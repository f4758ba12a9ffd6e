// Threads on POSIX. Priorities are hints here: the emulator's timing does not depend on them
// in the native build, which exists for tests and sanitizers.
//
// Implementation details: the thread and its owner share a control block. The thread marks
// it ended (an Event, so waitEnded can block) as its last act; releasing the owner detaches a
// thread that still runs, and the last of the two to let go frees the block.
#include "platform/thread.h"

#include <cerrno>
#include <memory>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

#include "platform/event.h"

namespace platform {
namespace {

struct Control {
    Event ended{EventReset::Manual, false};
    std::thread thread;
};

using Shared = std::shared_ptr<Control>;

Shared* shared(void* h) { return static_cast<Shared*>(h); }

}  // namespace

Thread::~Thread() {
    if (Shared* s = shared(handle_)) {
        Control& c = **s;
        if (c.thread.joinable()) {
            if (c.ended.isSet()) c.thread.join();
            else c.thread.detach();
        }
        delete s;
    }
}

Thread::Thread(Thread&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

Thread& Thread::operator=(Thread&& other) noexcept {
    if (this != &other) {
        Thread dropped;
        dropped.handle_ = std::exchange(handle_, std::exchange(other.handle_, nullptr));
    }
    return *this;
}

Thread Thread::start(ThreadEntry entry, void* argument) {
    auto control = std::make_shared<Control>();
    Thread t;
    try {
        control->thread = std::thread([entry, argument, keep = control]() {
            entry(argument);
            keep->ended.set();
        });
    } catch (const std::system_error& e) {
        errno = e.code().value();
        return t;
    }
    t.handle_ = new Shared(std::move(control));
    return t;
}

bool Thread::hasEnded() const {
    return !handle_ || (*shared(handle_))->ended.isSet();
}

bool Thread::waitEnded(std::uint32_t timeoutMs) const {
    if (!handle_) return true;
    const Event* e = &(*shared(handle_))->ended;
    return waitAny(&e, 1, timeoutMs) == 0;
}

bool Thread::setPriority(ThreadPriority) { return handle_ != nullptr; }
bool setCurrentThreadPriority(ThreadPriority) { return true; }
bool setProcessRealtime() { return true; }

void sleepMs(std::uint32_t ms) {
    // usleep takes at most a second's worth on some systems; step through longer sleeps.
    while (ms >= 1000) {
        usleep(999999);
        ms -= 1000;
    }
    if (ms) usleep(ms * 1000u);
}

}  // namespace platform
