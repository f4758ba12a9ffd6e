// The process's receiver slot and the forwarders that call it.
//
// Implementation details: a forwarder takes the receiver and counts itself in under the
// slot's lock, calls it unlocked (a handler may report, mount or detach without waiting on
// us), then counts itself out. detachReceiver clears the slot and waits until every call
// still counted in belongs to its own thread; each count-out sets `changed` to wake it.
#include "control/receiver.h"

#include "platform/event.h"
#include "platform/mutex.h"

namespace {

struct ReceiverSlot {
    platform::Mutex lock;
    platform::Event changed{platform::EventReset::Manual, false};
    IReceiver* receiver = nullptr;
    unsigned calls = 0;  // calls in progress, all threads
};

ReceiverSlot& slot() {
    static ReceiverSlot s;
    return s;
}

thread_local unsigned callsOnThisThread = 0;

template <typename Call>
void withReceiver(Call call) {
    ReceiverSlot& s = slot();
    IReceiver* r;
    {
        platform::MutexLock hold(s.lock);
        r = s.receiver;
        if (!r) return;
        ++s.calls;
    }
    ++callsOnThisThread;
    call(*r);
    --callsOnThisThread;
    platform::MutexLock hold(s.lock);
    --s.calls;
    s.changed.set();
}

}  // namespace

void attachReceiver(IReceiver* receiver) {
    ReceiverSlot& s = slot();
    platform::MutexLock hold(s.lock);
    s.receiver = receiver;
}

void detachReceiver() {
    ReceiverSlot& s = slot();
    for (;;) {
        {
            platform::MutexLock hold(s.lock);
            s.receiver = nullptr;
            if (s.calls == callsOnThisThread) return;
            s.changed.reset();
        }
        const platform::Event* e = &s.changed;
        platform::waitAny(&e, 1);
    }
}

void fireStatus(std::string_view text) {
    withReceiver([&](IReceiver& r) { r.Status(text); });
}

void fireDebug(std::string_view text) {
    withReceiver([&](IReceiver& r) { r.Debug(text); });
}

void fireError(std::uint32_t number, std::string_view text) {
    withReceiver([&](IReceiver& r) { r.Error(number, text); });
}

void fireCommand(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4, std::uint8_t b5,
                 std::uint8_t disk, std::uint32_t sector, std::string_view name) {
    withReceiver([&](IReceiver& r) { r.Command(b1, b2, b3, b4, b5, disk, sector, name); });
}
