// CStateStore: the emulation controller. It owns the emulation thread, which runs the
// responder, and the pump thread, which delivers notifications, and the events that tell
// them when to end.
#pragma once

#include "platform/event.h"
#include "platform/mutex.h"
#include "platform/thread.h"

class CSIODrives;

class CStateStore {
public:
    // Starts the pump at once; its first report is the load line.
    CStateStore();
    // A controller for tests of the run-state events alone: no pump thread.
    struct WithoutPump {};
    explicit CStateStore(WithoutPump);
    virtual ~CStateStore();
    CStateStore(const CStateStore&) = delete;
    CStateStore& operator=(const CStateStore&) = delete;

    // The drive table whose responder start() runs (not owned).
    void setDriveTable(CSIODrives* drives) { drives_ = drives; }

    // True when an emulation thread runs on return. Quiet calls report only errors.
    bool start(bool quiet);
    // Ends the emulation thread and waits for it; always true.
    bool stop(bool quiet);
    // Serialises start and stop, and whoever must keep them out across several steps.
    platform::Mutex& lock() { return lock_; }

    // Each reads its event or thread without waiting; an event that could not be created
    // counts as set and a thread that does not exist as ended.
    bool isStopped() const;
    // Waits up to timeoutMs for the emulation thread to end (on a stop or a halt).
    bool waitStopped(std::uint32_t timeoutMs) const;
    bool isStopRequested() const { return stopRequested_.isSet(); }
    bool isHalted() const { return halted_.isSet(); }
    bool isPumpQuit() const { return pumpQuit_.isSet(); }
    bool isPumpEnded() const { return pumpThread_.hasEnded(); }
    void setStopRequested(bool flag) { flag ? stopRequested_.set() : stopRequested_.reset(); }
    void setHalted(bool flag) { flag ? halted_.set() : halted_.reset(); }
    void setPumpQuit(bool flag) { flag ? pumpQuit_.set() : pumpQuit_.reset(); }

    // The waitable events themselves, for the serial port's transfers.
    const platform::Event& stopRequestEvent() const { return stopRequested_; }
    const platform::Event& haltEvent() const { return halted_; }

    // The pump: the load line, then a drain whenever asked and at least every 100 ms.
    void pump();

private:
    // Manual-reset: a set state stays for every reader and waiter until start clears it.
    platform::Event stopRequested_;
    platform::Event halted_;
    platform::Event pumpQuit_;
    platform::Thread emulationThread_;
    platform::Thread pumpThread_;
    platform::Mutex lock_;
    mutable platform::Mutex threadHandleLock_;  // the emulation thread's handle is replaced by
                                                // start and stop and read by everyone
    CSIODrives* drives_ = nullptr;
};

std::uint32_t pumpThreadMain(void* controller);

// The process's one controller; set by the driver layer when it creates it (null before).
void setStateStore(CStateStore* store);
CStateStore* stateStore();
