// CRunState: the two events that end the emulation. The controller is one; the port and
// the responder are handed it, and put both events into every wait of a transfer.
#pragma once

#include "platform/event.h"

class CRunState {
public:
    CRunState()
        : stopRequested_(platform::EventReset::Manual, false), halted_(platform::EventReset::Manual, false) {}
    virtual ~CRunState() = default;
    CRunState(const CRunState&) = delete;
    CRunState& operator=(const CRunState&) = delete;

    // Each reads its event without waiting; an event that could not be created counts as set.
    bool isStopRequested() const { return stopRequested_.isSet(); }
    bool isHalted() const { return halted_.isSet(); }
    void setStopRequested(bool flag) { flag ? stopRequested_.set() : stopRequested_.reset(); }
    void setHalted(bool flag) { flag ? halted_.set() : halted_.reset(); }

    // The waitable events themselves, for the port's transfers.
    const platform::Event& stopRequestEvent() const { return stopRequested_; }
    const platform::Event& haltEvent() const { return halted_; }

private:
    // Manual-reset: a set state stays for every reader and waiter until start clears it.
    platform::Event stopRequested_;
    platform::Event halted_;
};
