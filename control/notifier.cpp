// CNotifier: queueing reports, and delivering them with one deliverer at a time.
#include "control/notifier.h"

#include <chrono>

void CNotifier::reportStatus(const char* text) { queue_.pushStatus(text); }

void CNotifier::reportDebug(const char* text) {
    queue_.pushDebug(text);
    deliveryRequested_.set();
}

void CNotifier::reportError(std::uint32_t number, const char* location, const char* operation,
                            const char* text, bool critical) {
    queue_.pushError(number, location, operation, text);
    if (critical)
        queue_.pushError(number, location, operation, "sio emulation has been halted due to critical error(s)");
    deliveryRequested_.set();
}

void CNotifier::postCommand(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4,
                            std::uint8_t b5, std::uint8_t disk, std::uint32_t sector, const char* name) {
    queue_.pushCommand(b1, b2, b3, b4, b5, disk, sector, name);
}

void CNotifier::postUnknownCommand(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4,
                                   std::uint8_t b5, std::uint8_t disk, std::uint32_t sector,
                                   const char* name) {
    queue_.pushUnknownCommand(b1, b2, b3, b4, b5, disk, sector, name);
}

void CNotifier::flushNotifications() {
    {
        std::unique_lock<std::mutex> hold(drainLock_);
        if (draining_) {
            // A handler that calls back on the deliverer's own thread must not wait for itself.
            if (deliverer_ == std::this_thread::get_id()) return;
            const std::uint64_t mine = queue_.accepted();
            deliveredMore_.wait_for(hold, std::chrono::milliseconds(kDelivererWaitMs),
                                    [&] { return delivered_ >= mine || !draining_; });
            if (draining_) return;
        }
        draining_ = true;
        deliverer_ = std::this_thread::get_id();
    }
    for (;;) {
        std::optional<NotificationRecord> record;
        {
            std::lock_guard<std::mutex> hold(drainLock_);
            record = queue_.pop();
            if (!record) {
                draining_ = false;
                deliverer_ = {};
                deliveredMore_.notify_all();
                return;
            }
        }
        CMessageQueue::dispatch(*record, receivers_);
        std::lock_guard<std::mutex> hold(drainLock_);
        ++delivered_;
        deliveredMore_.notify_all();
    }
}
