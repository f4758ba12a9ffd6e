// CStateStore: run-state events, starting and stopping the emulation thread, and the pump.
#include "control/state_store.h"

#include <atomic>

#include "control/message_queue.h"
#include "control/notifications.h"
#include "platform/system_error.h"
#include "sio/sio_drives.h"

namespace {
std::atomic<CStateStore*> theStateStore{nullptr};
constexpr std::uint32_t kPumpIntervalMs = 100;
constexpr std::uint32_t kNoPort = 42;
}  // namespace

void setStateStore(CStateStore* store) { theStateStore.store(store); }
CStateStore* stateStore() { return theStateStore.load(); }

CStateStore::CStateStore(WithoutPump)
    : stopRequested_(platform::EventReset::Manual, false),
      halted_(platform::EventReset::Manual, false),
      pumpQuit_(platform::EventReset::Manual, false) {}

CStateStore::CStateStore() : CStateStore(WithoutPump{}) {
    pumpThread_ = platform::Thread::start(pumpThreadMain, this);
    if (pumpThread_.valid()) pumpThread_.setPriority(platform::ThreadPriority::Idle);
    else postSystemError(platform::lastError(), "CStateStore::CStateStore", "CreateThread");
}

CStateStore::~CStateStore() {
    setPumpQuit(true);
    pumpThread_.waitEnded(platform::kInfinite);
    // The process never destroys its controller; anyone else must not leave the responder
    // running on a drive table that may go next.
    {
        platform::MutexLock hold(lock_);
        setStopRequested(true);
        emulationThread_.waitEnded(platform::kInfinite);
    }
}

std::uint32_t pumpThreadMain(void* controller) {
    static_cast<CStateStore*>(controller)->pump();
    return 0;
}

void CStateStore::pump() {
    postStatus("successfully loaded Vandrel version %s", "1.1");
    for (;;) {
        if (isPumpQuit()) return;
        flushNotifications();
        // Sleeps its 100 ms, but wakes at once for the emulation thread's reports or the end.
        const CMessageQueue* queue = notificationQueue();
        if (queue) {
            const platform::Event* wake[] = {&pumpQuit_, &queue->deliveryRequestedEvent()};
            platform::waitAny(wake, 2, kPumpIntervalMs);
        } else {
            const platform::Event* wake[] = {&pumpQuit_};
            platform::waitAny(wake, 1, kPumpIntervalMs);
        }
    }
}

bool CStateStore::isStopped() const {
    platform::MutexLock hold(threadHandleLock_);
    return emulationThread_.hasEnded();
}

bool CStateStore::waitStopped(std::uint32_t timeoutMs) const {
    platform::MutexLock hold(threadHandleLock_);
    return emulationThread_.waitEnded(timeoutMs);
}

bool CStateStore::start(bool quiet) {
    if (!isStopped()) {
        if (!quiet) postStatus("sio emulation is already started");
        return true;
    }
    platform::MutexLock hold(lock_);
    // Again under the lock: a start that overlapped ours may have won.
    if (!isStopped()) {
        if (!quiet) postStatus("sio emulation is already started");
        return true;
    }
    {
        platform::MutexLock handle(threadHandleLock_);
        emulationThread_ = platform::Thread();  // one that ended on a halt
    }
    setStopRequested(false);
    setHalted(false);
    if (!drives_ || !drives_->port().isOpen()) {
        postSystemError(kNoPort, "CStateStore::start", "1", "cannot start emulation without a valid COM port");
        return false;
    }
    platform::setProcessRealtime();
    platform::setCurrentThreadPriority(platform::ThreadPriority::Idle);
    platform::Thread thread = platform::Thread::start(emulationThreadMain, drives_);
    if (!thread.valid()) {
        postSystemError(platform::lastError(), "CStateStore::start", "CreateThread");
        return false;
    }
    thread.setPriority(platform::ThreadPriority::TimeCritical);
    {
        platform::MutexLock handle(threadHandleLock_);
        emulationThread_ = std::move(thread);
    }
    if (!quiet && !isStopped()) postStatus("sio emulation started on COM%d", drives_->port().portNumber());
    return !isStopped();
}

bool CStateStore::stop(bool quiet) {
    if (isStopped()) {
        if (!quiet) postStatus("sio emulation is already stopped");
        return true;
    }
    platform::MutexLock hold(lock_);
    setStopRequested(true);
    {
        platform::MutexLock handle(threadHandleLock_);
        emulationThread_.waitEnded(platform::kInfinite);
        emulationThread_ = platform::Thread();
    }
    if (!quiet) postStatus("sio emulation stopped");
    return true;
}
