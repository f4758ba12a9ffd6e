// CSIOPort: opening the port with the SIO line settings, and the transfer engine.
//
// Implementation details of doOverlappedComCrud: each pass first arms the command-line
// watch (WaitCommEvent on EV_RING) if it is not armed, then issues the read or write for the
// bytes still missing if none is in flight, then waits on four events: the watch, the
// transfer, the controller's stop request and its halt. The lowest signalled index wins, so
// the command line is handled before a completed transfer. A line error aborts I/O (the
// port's abort-on-error setting) and shows as error 995; checkLineError clears it and says
// whether the transfer may be issued again.
//
// The command line's change event: the command-frame read counts any EV_RING, on either
// edge, and also takes its five bytes when the line is asserted as they complete. Other transfers sample the ring indicator when they arm the watch and again when the
// event arrives, and ignore the release of a line that was already asserted when the watch
// was armed (the tail of the command that is being answered); drivers that report both edges
// would otherwise abandon every data frame.
#include "serial/sio_port.h"

#include "platform/system_error.h"

namespace {
constexpr const char* kEngine = "CSIOPort::doOverlappedComCrud";
constexpr const char* kOpen = "CSIOPort::openPort";
}  // namespace

CSIOPort::CSIOPort(std::unique_ptr<comm::ICommDevice> device, CRunState& runState, IReporter& reporter,
                   WaitFunction wait)
    : device_(std::move(device)), runState_(runState), reporter_(reporter), wait_(wait) {}

CSIOPort::~CSIOPort() { closePort(); }

bool CSIOPort::setPort(std::uint8_t n) {
    if (n != portNumber_) openPort(n);
    return isOpen_;
}

bool CSIOPort::openPort(std::uint8_t n) {
    if (isOpen_ || device_->isOpen()) closePort();
    const char name[] = {'C', 'O', 'M', static_cast<char>(0x30 + n), '\0'};

    // Each failure reports the call that failed with the error it left, then closes.
    auto failed = [this](const char* operation) {
        reporter_.postSystemError(device_->lastError(), kOpen, operation);
        closePort();
        return false;
    };
    if (!device_->open(name)) {
        reporter_.postSystemError(device_->lastError(), kOpen, "CreateFile");
        return false;
    }
    comm::Settings s;
    s.length = 28;
    if (!device_->getState(s)) return failed("GetCommState");
    s.baudRate = 19200;
    s.byteSize = 8;
    s.parity = 0;
    s.stopBits = 0;
    // Binary, parity checking on, no flow control of any kind, DTR and RTS held off, and
    // abort on error; the error and null character settings are kept as the device had them.
    s.flags = (s.flags & 0xFFFF0000u) | (s.flags & 0xCC03u) | 0x4003u;
    s.xonChar = 0x11;
    s.xoffChar = 0x13;
    s.xonLim = 0;
    s.xoffLim = 0;
    s.evtChar = 0;
    if (!device_->setState(s)) return failed("SetCommState");
    if (!device_->setZeroTimeouts()) return failed("SetCommTimeouts");
    if (!device_->setupQueues(2048, 2048)) return failed("SetupComm");
    if (!device_->setMask(comm::kEventRing)) return failed("SetCommMask");

    waitEvent_ = platform::Event(platform::EventReset::Auto, false);
    if (!waitEvent_.valid()) reporter_.postSystemError(platform::lastError(), kOpen, "CreateEvent");
    ioEvent_ = platform::Event(platform::EventReset::Auto, false);
    if (!ioEvent_.valid()) reporter_.postSystemError(platform::lastError(), kOpen, "CreateEvent");

    speed_ = 19200;
    isOpen_ = true;
    portNumber_ = n;
    return true;
}

void CSIOPort::closePort() {
    device_->close();
    waitEvent_ = platform::Event();
    ioEvent_ = platform::Event();
    isOpen_ = false;
    portNumber_ = 0;
}

bool CSIOPort::setSpeed(std::uint32_t rate) {
    device_->clearCommError(nullptr);
    comm::Settings s;
    s.length = 28;
    if (!device_->getState(s))
        halt(device_->lastError(), "CSIOPort::setSpeed", "GetCommState");
    s.baudRate = rate;
    if (!device_->setState(s))
        halt(device_->lastError(), "CSIOPort::setSpeed", "SetCommState");
    speed_ = rate;
    return true;
}

void CSIOPort::purgeBuffers() {
    device_->purge(comm::kPurgeRxClear);
    device_->purge(comm::kPurgeTxClear);
}

bool CSIOPort::checkLineError() {
    std::uint32_t errors = 0;
    device_->clearCommError(&errors);
    reporter_.postDebug("comm error: %d", static_cast<int>(errors));
    if (errors == comm::kLineFrameError || errors == comm::kLineRxOverflow) {
        reporter_.postDebug("frame error");
        return false;
    }
    return true;
}

bool CSIOPort::ringIsOn() {
    std::uint32_t status = 0;
    return device_->getModemStatus(status) && (status & comm::kModemRingOn);
}

bool CSIOPort::isReleaseOfAnsweredLine(bool ringWhenArmed) {
    return ringWhenArmed && !ringIsOn();
}

bool CSIOPort::doOverlappedComCrud(Mode mode, std::uint32_t count, std::uint8_t* buffer) {
    if (!isOpen_) return false;

    const bool frameMode = mode == kRead && count == 5;
    const char* transferCall = mode == kRead ? "ReadFile" : "WriteFile";
    bool done = false, success = true, watchArmed = false, inFlight = false, eventSeen = false;
    bool ringWhenArmed = false;
    std::uint32_t total = 0;
    std::uint32_t mask = 0;
    const platform::Event* handles[] = {&waitEvent_, &ioEvent_, &runState_.stopRequestEvent(),
                                        &runState_.haltEvent()};

    // Issues the transfer (or its rest); false when it failed for good (reported, or a line
    // error that ends it). reissueNow: a line error allows a retry and nothing is pending.
    bool reissueNow = false;
    auto issue = [&] {
        ioEvent_.reset();
        std::uint32_t moved = 0;
        const bool completed = mode == kRead
                                   ? device_->readFile(buffer + total, count - total, moved, ioEvent_)
                                   : device_->writeFile(buffer + total, count - total, moved, ioEvent_);
        if (completed) {
            // The completion also signals ioEvent: the wait below counts the bytes.
            inFlight = true;
            if (moved == count - total) done = true;
            return;
        }
        const std::uint32_t error = device_->lastError();
        if (error == comm::kErrorIoPending) {
            inFlight = true;
        } else if (error == comm::kErrorOperationAborted) {
            if (checkLineError()) {
                reissueNow = true;  // nothing is pending: waiting would wait for nothing
            } else {
                purgeBuffers();
                done = true;
                success = false;
            }
        } else {
            halt(error, kEngine, transferCall);
        }
    };
    // A write is issued before its watch: one that the driver completes at once (a pty under
    // Wine takes every byte at once) needs no watch, and its answer goes out without waiting
    // for one to be armed and ended, which under Wine means a thread started and stopped.
    bool issuedFirst = mode != kWrite;
    commandLineSeen_ = false;

    for (;;) {
        if (runState_.isHalted()) break;
        reissueNow = false;

        if (!issuedFirst) {
            issuedFirst = true;
            issue();
            if (runState_.isHalted()) break;
            if (done && !inFlight) break;
        }

        // Once a frame read has seen the command line, another watch could tell it nothing
        // new; not arming one spares the clean-up after the frame, where a watch that was
        // armed only just now can take milliseconds to end (Wine starts a thread for each).
        const bool watchWanted = !(frameMode && eventSeen) && !(inFlight && done);
        if (!watchArmed && watchWanted) {
            commandLineSeen_ = false;
            waitEvent_.reset();
            if (!frameMode) ringWhenArmed = ringIsOn();
            mask = 0;
            if (device_->waitCommEvent(mask, waitEvent_)) {
                // An event already pending when the watch is armed interrupts even a frame.
                if ((mask & comm::kEventRing) && !(!frameMode && isReleaseOfAnsweredLine(ringWhenArmed))) {
                    commandLineSeen_ = true;
                    done = true;
                    success = false;
                }
            } else {
                const std::uint32_t error = device_->lastError();
                if (error == comm::kErrorIoPending) watchArmed = true;
                else if (error == comm::kErrorOperationAborted) checkLineError();
                else halt(error, kEngine, "WaitCommEvent");
            }
        }

        if ((watchArmed || !watchWanted) && !inFlight && !done) issue();

        if (inFlight || (watchArmed && !done && !reissueNow)) {
            const unsigned signalled = wait_(handles, 4, platform::kInfinite);
            if (signalled == 0 && !watchArmed) {
                // The late signal of a watch that has already ended (or of one that completed
                // as it was armed): nothing to take from it.
            } else if (signalled == 0) {
                watchArmed = false;
                std::uint32_t ignored = 0;
                bool completed = device_->getOverlappedResult(comm::Operation::Watch, ignored, false);
                if (!completed) {
                    const std::uint32_t error = device_->lastError();
                    if (error == comm::kErrorIoIncomplete) {
                        // Wine may signal before its status says so (a ring that came while the
                        // watch was being armed), or late, for a watch that already ended. The
                        // mask tells them apart: events mean it completed, none means the
                        // watch is still pending and the wake-up was not ours.
                        completed = device_->completedMask() != 0;
                        watchArmed = !completed;
                    } else if (error == comm::kErrorOperationAborted) {
                        checkLineError();
                    } else {
                        halt(error, kEngine, "GetOverlappedResult");
                    }
                }
                if (completed && (device_->completedMask() & comm::kEventRing)) {
                    if (frameMode) {
                        eventSeen = true;
                    } else if (isReleaseOfAnsweredLine(ringWhenArmed)) {
                        // Ignored; the watch is armed again with the new state as baseline.
                    } else {
                        eventSeen = true;
                        commandLineSeen_ = true;
                        done = true;
                        success = false;
                    }
                }
            } else if (signalled == 1) {
                inFlight = false;
                if (frameMode && !eventSeen) {
                    // A driver may lose an edge that came before its wait began (Wine takes the
                    // lines it first sees as its baseline). A frame holds the line until well
                    // after its last byte, so the level now is a second witness. Five bytes
                    // without the command line are not a command frame.
                    if (ringIsOn()) {
                        eventSeen = true;
                    } else {
                        purgeBuffers();
                        success = false;
                        break;
                    }
                }
                std::uint32_t moved = 0;
                if (device_->getOverlappedResult(comm::Operation::Transfer, moved, false)) {
                    total += moved;
                    done = total == count;
                } else {
                    const std::uint32_t error = device_->lastError();
                    if (error == comm::kErrorOperationAborted) {
                        reporter_.postDebug("(%s!)", mode == kRead ? "r" : "w");
                        if (!checkLineError()) {
                            purgeBuffers();
                            done = true;
                            success = false;
                        }
                    } else {
                        halt(error, kEngine, "GetOverlappedResult");
                    }
                }
            } else if (signalled == 2 || signalled == 3) {
                success = false;
                break;
            } else {
                halt(platform::lastError(), kEngine, "WaitForSingleObject");
            }
        }

        if (done) break;
    }

    settle(watchArmed, inFlight);
    return success && !runState_.isHalted();
}

void CSIOPort::settle(bool watchArmed, bool inFlight) {
    device_->cancelIo();
    std::uint32_t ignored = 0;
    if (watchArmed) {
        // CancelIo does not end a pending WaitCommEvent everywhere; a new mask does.
        device_->setMask(comm::kEventRing);
        device_->getOverlappedResult(comm::Operation::Watch, ignored, true);
    }
    if (inFlight) device_->getOverlappedResult(comm::Operation::Transfer, ignored, true);
}

void CSIOPort::halt(std::uint32_t error, const char* location, const char* operation) {
    runState_.setHalted(true);
    reporter_.postCriticalError(error, location, operation);
}
