// The server's lock count.
#include "server/server_lock.h"

#include <atomic>
#include <mutex>

namespace {
std::atomic<long> lockCount{0};
// The handler is called under this lock, so that whoever removes it knows no call is still
// running (the shutdown monitor's event is closed right after).
std::mutex handlerLock;
void (*idleHandler)() = nullptr;
}  // namespace

void serverLock() { ++lockCount; }

void serverUnlock() {
    if (--lockCount != 0) return;
    std::lock_guard<std::mutex> hold(handlerLock);
    if (idleHandler) idleHandler();
}

long serverLockCount() { return lockCount.load(); }

void setServerIdleHandler(void (*handler)()) {
    std::lock_guard<std::mutex> hold(handlerLock);
    idleHandler = handler;
}
