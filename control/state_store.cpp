// CStateStore: starting and stopping the emulation thread, and the pump.
#include "control/state_store.h"

#include "control/notifier.h"
#include "platform/system_error.h"
#include "sio/sio_drives.h"

namespace {
constexpr std::uint32_t kPumpIntervalMs = 100;
constexpr std::uint32_t kNoPort = 42;
constexpr std::uint32_t kAnswerMs = 2000;  // a port that neither answers nor fails by then still runs
}  // namespace

CStateStore::CStateStore(CNotifier& notifier, WithoutPump)
    : notifier_(notifier), pumpQuit_(platform::EventReset::Manual, false) {}

CStateStore::CStateStore(CNotifier& notifier) : CStateStore(notifier, WithoutPump{}) {
    pumpThread_ = platform::Thread::start(pumpThreadMain, this);
    if (pumpThread_.valid()) pumpThread_.setPriority(platform::ThreadPriority::Idle);
    else notifier_.postSystemError(platform::lastError(), "CStateStore::CStateStore", "CreateThread");
}

CStateStore::~CStateStore() {
    // Nothing the responder uses may go while it runs.
    stop(true);
    setPumpQuit(true);
    pumpThread_.waitEnded(platform::kInfinite);
}

std::uint32_t pumpThreadMain(void* controller) {
    static_cast<CStateStore*>(controller)->pump();
    return 0;
}

void CStateStore::pump() {
    notifier_.postStatus("successfully loaded Vandrel version %s", "1.1");
    const platform::Event* wake[] = {&pumpQuit_, &notifier_.deliveryRequestedEvent()};
    for (;;) {
        if (isPumpQuit()) return;
        notifier_.flushNotifications();
        // Sleeps its 100 ms, but wakes at once for the emulation thread's reports or the end.
        platform::waitAny(wake, 2, kPumpIntervalMs);
    }
}

bool CStateStore::isStopped() const {
    platform::MutexLock hold(threadHandleLock_);
    return emulationThread_.hasEnded();
}

bool CStateStore::waitStopped(std::uint32_t timeoutMs) const {
    // Only start and stop replace the handle, and neither can while a caller that holds
    // lock_ waits here; anyone else reads a handle that stays valid for the wait.
    platform::MutexLock hold(lock_);
    return emulationThread_.waitEnded(timeoutMs);
}

bool CStateStore::start(bool quiet) {
    if (!isStopped()) {
        if (!quiet) notifier_.postStatus("sio emulation is already started");
        return true;
    }
    platform::MutexLock hold(lock_);
    // Again under the lock: a start that overlapped ours may have won.
    if (!isStopped()) {
        if (!quiet) notifier_.postStatus("sio emulation is already started");
        return true;
    }
    {
        platform::MutexLock handle(threadHandleLock_);
        emulationThread_ = platform::Thread();  // one that ended on a halt
    }
    setStopRequested(false);
    setHalted(false);
    // A port that failed under the last emulation is opened afresh: the device may be back.
    if (drives_ && drives_->port().isBroken()) drives_->port().openPort(drives_->port().portNumber());
    if (!drives_ || !drives_->port().isOpen()) {
        notifier_.postSystemError(kNoPort, "CStateStore::start", "1", "cannot start emulation without a valid COM port");
        return false;
    }
    platform::setProcessRealtime();
    platform::setCurrentThreadPriority(platform::ThreadPriority::Idle);
    drives_->port().awaitAnswer();
    platform::Thread thread = platform::Thread::start(emulationThreadMain, drives_);
    if (!thread.valid()) {
        notifier_.postSystemError(platform::lastError(), "CStateStore::start", "CreateThread");
        return false;
    }
    thread.setPriority(platform::ThreadPriority::TimeCritical);
    {
        platform::MutexLock handle(threadHandleLock_);
        emulationThread_ = std::move(thread);
    }
    // Started means serving: only once the port has taken the first watch or transfer, so
    // that a port that is gone says so instead.
    const platform::Event* outcome[] = {&drives_->port().answeredEvent(), &haltEvent()};
    platform::waitAny(outcome, 2, kAnswerMs);
    const bool running = !isHalted() && !isStopped();
    if (!quiet && running) notifier_.postStatus("sio emulation started on COM%d", drives_->port().portNumber());
    return running;
}

bool CStateStore::stop(bool quiet) {
    if (isStopped()) {
        if (!quiet) notifier_.postStatus("sio emulation is already stopped");
        return true;
    }
    platform::MutexLock hold(lock_);
    setStopRequested(true);
    // The handle stays ours while lock_ is held; isStopped reads it meanwhile.
    emulationThread_.waitEnded(platform::kInfinite);
    {
        platform::MutexLock handle(threadHandleLock_);
        emulationThread_ = platform::Thread();
    }
    if (!quiet) notifier_.postStatus("sio emulation stopped");
    return true;
}
