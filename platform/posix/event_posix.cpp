// Events on POSIX, with the semantics of Windows events.
//
// Implementation details: each event keeps its flag under its own mutex together with the
// waiters currently blocked in waitAny. A waiter registers with every event it waits on
// before it looks at any of them, so a set() that comes after the look always finds and
// wakes it. After a wake-up the waiter looks for the lowest signalled index; having found
// one, it looks below it again, because an event set before the one found may have been
// set after it was looked at (Windows sees both at once and reports the lower). An
// auto-reset event is consumed by the one waiter that takes it.
#include "platform/event.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

namespace platform {
namespace {

struct Waiter {
    std::mutex m;
    std::condition_variable cv;
    bool woken = false;
};

struct EventState {
    std::mutex m;
    bool manual = true;
    bool signalled = false;
    std::vector<Waiter*> waiters;
};

EventState* state(void* handle) { return static_cast<EventState*>(handle); }

void wake(Waiter* w) {
    std::lock_guard<std::mutex> lock(w->m);
    w->woken = true;
    w->cv.notify_one();
}

bool peek(EventState* s) {
    std::lock_guard<std::mutex> lock(s->m);
    return s->signalled;
}

// Takes the signal when it is there: the zero-time test.
bool take(EventState* s) {
    std::lock_guard<std::mutex> lock(s->m);
    if (!s->signalled) return false;
    if (!s->manual) s->signalled = false;
    return true;
}

}  // namespace

Event::Event(EventReset reset, bool initiallySet) {
    auto* s = new EventState;
    s->manual = reset == EventReset::Manual;
    s->signalled = initiallySet;
    handle_ = s;
}

Event::~Event() { delete state(handle_); }

Event::Event(Event&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

Event& Event::operator=(Event&& other) noexcept {
    if (this != &other) {
        delete state(handle_);
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

bool Event::set() {
    EventState* s = state(handle_);
    if (!s) return false;
    std::lock_guard<std::mutex> lock(s->m);
    s->signalled = true;
    for (Waiter* w : s->waiters) wake(w);
    return true;
}

bool Event::reset() {
    EventState* s = state(handle_);
    if (!s) return false;
    std::lock_guard<std::mutex> lock(s->m);
    s->signalled = false;
    return true;
}

bool Event::isSet() const { return !handle_ || take(state(handle_)); }

unsigned waitAny(const Event* const* events, unsigned count, std::uint32_t timeoutMs) {
    if (count == 0 || count > 64) return kWaitFailed;
    for (unsigned i = 0; i < count; ++i) {
        if (!events[i] || !events[i]->valid()) {
            errno = EBADF;
            return kWaitFailed;
        }
    }
    Waiter waiter;
    auto every = [&](auto&& f) {
        for (unsigned i = 0; i < count; ++i) f(state(events[i]->get()));
    };
    every([&](EventState* s) {
        std::lock_guard<std::mutex> lock(s->m);
        s->waiters.push_back(&waiter);
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    unsigned result = kWaitTimeout;
    auto at = [&](unsigned i) { return state(events[i]->get()); };
    for (;;) {
        unsigned found = count;
        for (unsigned i = 0; i < count && found == count; ++i)
            if (peek(at(i))) found = i;
        if (found < count) {
            // An event below it may have been set before it, after we looked: one set
            // earlier is visible now, so look again until nothing lower is set.
            for (bool lower = true; lower;) {
                lower = false;
                for (unsigned j = 0; j < found; ++j) {
                    if (peek(at(j))) {
                        found = j;
                        lower = true;
                        break;
                    }
                }
            }
            if (take(at(found))) {
                result = found;
                break;
            }
            continue;  // another waiter took it first
        }
        std::unique_lock<std::mutex> lock(waiter.m);
        if (timeoutMs == kInfinite) {
            waiter.cv.wait(lock, [&] { return waiter.woken; });
        } else if (!waiter.cv.wait_until(lock, deadline, [&] { return waiter.woken; })) {
            break;
        }
        waiter.woken = false;
    }
    every([&](EventState* s) {
        std::lock_guard<std::mutex> lock(s->m);
        auto& ws = s->waiters;
        ws.erase(std::find(ws.begin(), ws.end(), &waiter));
    });
    return result;
}

}  // namespace platform
