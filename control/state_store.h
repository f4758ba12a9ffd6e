// CStateStore: the emulation controller. For now its run-state events: stop-request and halt.
#pragma once

#include "platform/event.h"

class CStateStore {
public:
    CStateStore();
    virtual ~CStateStore() = default;
    CStateStore(const CStateStore&) = delete;
    CStateStore& operator=(const CStateStore&) = delete;

    // Each reads the event without waiting; an event that could not be created counts as
    // set, so a broken controller never lets the emulation run.
    bool isStopRequested() const { return stopRequested_.isSet(); }
    bool isHalted() const { return halted_.isSet(); }
    void setStopRequested(bool flag) { flag ? stopRequested_.set() : stopRequested_.reset(); }
    void setHalted(bool flag) { flag ? halted_.set() : halted_.reset(); }

    // The waitable events themselves, for the serial port's transfers.
    const platform::Event& stopRequestEvent() const { return stopRequested_; }
    const platform::Event& haltEvent() const { return halted_; }

private:
    // Manual-reset: a set state stays for every reader and waiter until start clears it.
    platform::Event stopRequested_;
    platform::Event halted_;
};

// The process's one controller; set by the driver layer when it creates it (null before).
void setStateStore(CStateStore* store);
CStateStore* stateStore();
