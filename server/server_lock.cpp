// The server's lock count.
#include "server/server_lock.h"

#include <atomic>

namespace {
std::atomic<long> lockCount{0};
std::atomic<void (*)()> idleHandler{nullptr};
}  // namespace

void serverLock() { ++lockCount; }

void serverUnlock() {
    if (--lockCount == 0)
        if (auto handler = idleHandler.load()) handler();
}

long serverLockCount() { return lockCount.load(); }

void setServerIdleHandler(void (*handler)()) { idleHandler.store(handler); }
