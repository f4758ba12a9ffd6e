// CStateStore: the emulation controller. It owns the emulation thread, which runs the
// responder, and the pump thread, which delivers notifications; its first members are the
// run-state events that tell the emulation when to end.
#pragma once

#include <cstdint>

#include "platform/event.h"
#include "platform/mutex.h"
#include "platform/thread.h"
#include "serial/run_state.h"

class CNotifier;
class CSIODrives;

class CStateStore : public CRunState {
public:
    // Starts the pump at once; its first report is the load line.
    explicit CStateStore(CNotifier& notifier);
    // A controller without a pump thread: delivery happens only where somebody flushes.
    struct WithoutPump {};
    CStateStore(CNotifier& notifier, WithoutPump);
    // Stops a running emulation, then ends the pump.
    ~CStateStore() override;

    // The drive table whose responder start() runs (not owned).
    void setDriveTable(CSIODrives* drives) { drives_ = drives; }

    // True when an emulation thread runs on return. Quiet calls report only errors.
    bool start(bool quiet);
    // Ends the emulation thread and waits for it; always true. Only start and stop wait
    // behind it: the queries take no lock that it holds while it waits.
    bool stop(bool quiet);
    // Serialises start and stop, and whoever must keep them out across several steps.
    platform::Mutex& lock() { return lock_; }

    // Each reads its event or thread without waiting; an event that could not be created
    // counts as set and a thread that does not exist as ended.
    bool isStopped() const;
    // Waits up to timeoutMs for the emulation thread to end (on a stop or a halt).
    bool waitStopped(std::uint32_t timeoutMs) const;
    bool isPumpQuit() const { return pumpQuit_.isSet(); }
    bool isPumpEnded() const { return pumpThread_.hasEnded(); }
    void setPumpQuit(bool flag) { flag ? pumpQuit_.set() : pumpQuit_.reset(); }

    // The pump: the load line, then a delivery whenever asked and at least every 100 ms.
    void pump();

private:
    CNotifier& notifier_;
    platform::Event pumpQuit_;
    platform::Thread emulationThread_;  // replaced only by start and stop, under lock_
    platform::Thread pumpThread_;
    mutable platform::Mutex lock_;
    mutable platform::Mutex threadHandleLock_;  // held only to replace or test the handle
    CSIODrives* drives_ = nullptr;
};

std::uint32_t pumpThreadMain(void* controller);
