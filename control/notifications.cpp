// The reporting functions: format, build a record, queue it, and flush where the kind asks.
#include "control/notifications.h"

#include <atomic>
#include <cstdarg>

#include "control/message_queue.h"
#include "control/state_store.h"
#include "platform/format.h"

namespace {

std::atomic<CMessageQueue*> theQueue{nullptr};
thread_local bool deliveryDeferred = false;

constexpr std::size_t kBufferSize = 500;

void pushError(std::uint32_t number, const char* location, const char* operation, const char* text) {
    if (CMessageQueue* q = theQueue.load()) q->pushError(number, location, operation, text);
}

void pushCritical(std::uint32_t number, const char* location, const char* operation, const char* text) {
    pushError(number, location, operation, text);
    pushError(number, location, operation, "sio emulation has been halted due to critical error(s)");
    if (CStateStore* s = stateStore()) s->setHalted(true);
    flushNotifications();
}

}  // namespace

void setNotificationQueue(CMessageQueue* queue) { theQueue.store(queue); }
CMessageQueue* notificationQueue() { return theQueue.load(); }

void postStatus(const char* format, ...) {
    char text[kBufferSize];
    std::va_list args;
    va_start(args, format);
    platform::formatTextV(text, sizeof text, format, args);
    va_end(args);
    if (CMessageQueue* q = theQueue.load()) q->pushStatus(text);
}

void postDebug(const char* format, ...) {
    char text[kBufferSize];
    std::va_list args;
    va_start(args, format);
    platform::formatTextV(text, sizeof text, format, args);
    va_end(args);
    if (CMessageQueue* q = theQueue.load()) q->pushDebug(text);
    flushNotifications();
}

void postSystemError(std::uint32_t number, const char* location, const char* operation) {
    pushError(number, location, operation, nullptr);
    flushNotifications();
}

void postSystemError(std::uint32_t number, const char* location, const char* operation,
                     const char* format, ...) {
    char text[kBufferSize];
    std::va_list args;
    va_start(args, format);
    platform::formatTextV(text, sizeof text, format, args);
    va_end(args);
    pushError(number, location, operation, text);
    flushNotifications();
}

void postCriticalError(std::uint32_t number, const char* location, const char* operation) {
    pushCritical(number, location, operation, nullptr);
}

void postCriticalError(std::uint32_t number, const char* location, const char* operation,
                       const char* format, ...) {
    char text[kBufferSize];
    std::va_list args;
    va_start(args, format);
    platform::formatTextV(text, sizeof text, format, args);
    va_end(args);
    pushCritical(number, location, operation, text);
}

void postCommand(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4, std::uint8_t b5,
                 std::uint8_t disk, std::uint32_t sector, const char* name) {
    if (CMessageQueue* q = theQueue.load()) q->pushCommand(b1, b2, b3, b4, b5, disk, sector, name);
}

void postUnknownCommand(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4,
                        std::uint8_t b5, std::uint8_t disk, std::uint32_t sector, const char* name) {
    if (CMessageQueue* q = theQueue.load())
        q->pushUnknownCommand(b1, b2, b3, b4, b5, disk, sector, name);
}

void flushNotifications() {
    CMessageQueue* q = theQueue.load();
    if (!q) return;
    if (deliveryDeferred) {
        q->requestDelivery();
        return;
    }
    while (q->count() > 0) q->dispatchNext();
}

void setDeliveryDeferredOnThisThread(bool deferred) { deliveryDeferred = deferred; }
