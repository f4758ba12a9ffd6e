// CNotifier: the notification side of the emulator. Every report is queued, never fired on
// the reporting thread; the receivers hear it when somebody delivers, one deliverer at a time.
//
// Why: a reporter may be called with the drive table's or the controller's lock held, and a
// front end's handler may call straight back into the server, on another thread, for that
// very lock. So reports only queue (the debug and error kinds also wake the pump), and
// delivery happens where no lock is held: at the end of each operation of the emulator and
// on the pump thread. One deliverer at a time keeps every sink's events in push order. A
// thread that finds a delivery in progress waits a little for the deliverer to bring its
// records (a front end expects an operation's own events before the operation returns),
// but never long: that deliverer may be inside a handler that is calling this very
// operation. Past the bound it leaves its records to the deliverer and returns.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "control/message_queue.h"
#include "control/receiver.h"
#include "platform/event.h"
#include "serial/reporter.h"

class CNotifier final : public IReporter {
public:
    explicit CNotifier(std::size_t capacity = CMessageQueue::kCapacity) : queue_(capacity) {}
    CNotifier(const CNotifier&) = delete;
    CNotifier& operator=(const CNotifier&) = delete;

    // The newest receiver hears everything from now on; see CReceiverStack.
    void attach(IReceiver* receiver) { receivers_.attach(receiver); }
    void detach(IReceiver* receiver) { receivers_.detach(receiver); }

    // Delivers every queued record on the calling thread. When another thread is delivering,
    // waits up to kDelivererWaitMs for it to deliver what was queued before this call, then
    // leaves the rest to it. Never call it with a lock held that an event handler's call could
    // need.
    void flushNotifications();
    static constexpr int kDelivererWaitMs = 250;

    // Set by the reports that want delivery soon (debug lines and errors); the pump waits on it.
    const platform::Event& deliveryRequestedEvent() const { return deliveryRequested_; }
    CMessageQueue& queue() { return queue_; }

    void postCommand(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4, std::uint8_t b5,
                     std::uint8_t disk, std::uint32_t sector, const char* name) override;
    void postUnknownCommand(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4,
                            std::uint8_t b5, std::uint8_t disk, std::uint32_t sector,
                            const char* name) override;

private:
    void reportStatus(const char* text) override;
    void reportDebug(const char* text) override;
    void reportError(std::uint32_t number, const char* location, const char* operation, const char* text,
                     bool critical) override;

    CMessageQueue queue_;
    CReceiverStack receivers_;
    std::mutex drainLock_;  // guards the deliverer's state together with each pop, so that a
                            // record pushed while the deliverer stops is never left behind
    std::condition_variable deliveredMore_;
    bool draining_ = false;
    std::thread::id deliverer_;
    std::uint64_t delivered_ = 0;
    platform::Event deliveryRequested_{platform::EventReset::Auto, false};
};
