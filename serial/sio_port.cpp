// CSIOPort: opening the port with the SIO line settings, and the transfer engine.
//
// Implementation details of doOverlappedComCrud: a transfer is a Pass (its watch, its I/O,
// its outcome) taken through named steps. Each round arms the command-line watch
// (WaitCommEvent on EV_RING) unless it is armed or can tell nothing new, issues the read or
// write for the bytes still missing unless one is in flight, then waits on four events: the
// watch, the transfer, the controller's stop request and its halt. The lowest signalled
// index wins, so the command line is taken before a completed transfer. A line error aborts
// I/O (the port's abort-on-error setting) and shows as error 995; checkLineError clears it
// and says whether the transfer may be issued again. A round that could not wait for
// anything is a spin: a few are a line error's retries, more are a broken device.
//
// The command line's change event: the command-frame read counts any EV_RING, on either
// edge, and also takes its five bytes when the line is asserted as they complete. Other
// transfers sample the ring indicator when they arm the watch and again when the event
// arrives, and ignore the release of a line that was already asserted when the watch was
// armed (the tail of the command that is being answered); drivers that report both edges
// would otherwise abandon every data frame.
//
// A computer never waits for the drive, and a driver that polls the line (Wine: a thread per
// watch, whose first look comes a millisecond or more after the watch is armed) can miss a
// short command altogether. So:
//   - a watch that has seen nothing since the line was released outlives its transfer, and
//     one is armed after each answer: the next command frame finds a watch already polling;
//   - a read looks at the line itself every millisecond while it waits (for its first quarter
//     of a second: an idle bus is left to the watch);
//   - a data read takes its first byte alone while the answered command's line has not been
//     seen released: the computer sends data only after the release, so a line asserted
//     when that byte comes is a new command;
//   - a data read that a new command cuts short keeps its last bytes (the command's first
//     ones may be among them), and the frame read that follows takes the last five bytes
//     before that command's line is released. A frame whose checksum fails is given the
//     same second look, which puts a read that stray bytes set out of step back in step.
//
// Reads land in the port's own buffer and are copied out on success, and writes go out from
// it: should a broken device not end its I/O when the transfer is over, nothing it does later
// can touch memory that is no longer the caller's.
#include "serial/sio_port.h"

#include "platform/system_error.h"

#include <cstring>

namespace {
constexpr const char* kEngine = "CSIOPort::doOverlappedComCrud";
constexpr const char* kOpen = "CSIOPort::openPort";
constexpr int kMaxSpins = 16;           // rounds of one transfer that found nothing to wait for
constexpr int kMaxIdleFailures = 16;    // transfers in a row that failed without waiting
constexpr std::uint32_t kSettleMs = 1000;  // for a pending operation to end once cancelled
constexpr std::uint32_t kSettlePollMs = 2;
constexpr std::uint32_t kReleaseWaitMs = 20;
constexpr std::uint32_t kLinePollMs = 1;  // a frame holds the line for 1.4 ms at the least
constexpr int kLinePolls = 250;           // a data frame takes 68 ms at 19200 baud  // a frame holds the line for 6 ms at the most
}  // namespace

CSIOPort::CSIOPort(std::unique_ptr<comm::ICommDevice> device, CRunState& runState, IReporter& reporter,
                   WaitFunction wait)
    : device_(std::move(device)), runState_(runState), reporter_(reporter), wait_(wait) {}

CSIOPort::~CSIOPort() { closePort(); }

bool CSIOPort::setPort(std::uint8_t n) {
    if (n != portNumber_ || broken_) openPort(n);
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
    broken_ = false;
    keptWatch_ = false;
    carried_ = 0;
    device_->close();
    waitEvent_ = platform::Event();
    ioEvent_ = platform::Event();
    isOpen_ = false;
    portNumber_ = 0;
}

bool CSIOPort::setSpeed(std::uint32_t rate) {
    device_->clearCommError(nullptr, nullptr);
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
    if (!device_->clearCommError(&errors, nullptr)) {
        // Nothing to learn about the line, and nothing cleared: a device that is gone.
        halt(device_->lastError(), "CSIOPort::checkLineError", "ClearCommError");
        return false;
    }
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

bool CSIOPort::isReleaseOfAnsweredLine(const Pass& p) {
    // A new command that came and went between two looks at the line would pass for it too;
    // the read's own looks (pollLine) make that rare.
    return p.ringWhenArmed && !ringIsOn();
}

bool CSIOPort::awaitsAnsweredRelease(const Pass& p) const {
    return p.mode == kRead && !p.frameMode && !p.watchless && p.ringWhenArmed && !p.answeredLineDown;
}

void CSIOPort::pollLine(Pass& p) {
    // The driver's watch may see a short line late or not at all (Wine polls the line from a
    // thread that starts with each watch): a read looks at the line itself as it waits.
    const bool on = ringIsOn();
    if (p.frameMode) {
        p.lineSeen = p.lineSeen || on;
    } else if (!on) {
        p.answeredLineDown = true;
    } else if (!p.ringWhenArmed || p.answeredLineDown) {
        endAsNewCommand(p);
    }
}

bool CSIOPort::doOverlappedComCrud(Mode mode, std::uint32_t count, std::uint8_t* buffer) {
    Pass p;
    p.mode = mode;
    p.count = count;
    p.frameMode = mode == kRead && count == 5;
    return transfer(p, buffer);
}

bool CSIOPort::transfer(Pass& p, std::uint8_t* buffer) {
    transferWaited_ = false;
    carried_ = 0;
    if (!isOpen_ || p.count > sizeof staging_) return false;
    p.call = p.mode == kRead ? "ReadFile" : "WriteFile";
    if (p.mode == kWrite) std::memcpy(staging_, buffer, p.count);
    commandLineSeen_ = false;
    if (keptWatch_ && !p.watchless) {
        keptWatch_ = false;
        p.watchArmed = true;  // armed while the line was released
    }

    // A write is issued before its watch: one that the driver completes at once (a pty under
    // Wine takes every byte at once) needs no watch, and its answer goes out without waiting
    // for one to be armed and ended, which under Wine means a thread started and stopped.
    if (p.mode == kWrite) issue(p);

    while (!runState_.isHalted() && !(p.finished && !p.inFlight)) {
        p.reissueNow = false;
        if (!p.watchArmed && watchWanted(p)) armWatch(p);
        if ((p.watchArmed || !watchWanted(p)) && !p.inFlight && !p.finished) issue(p);

        if (p.inFlight || (p.watchArmed && !p.finished && !p.reissueNow)) {
            transferWaited_ = true;
            const platform::Event* handles[] = {&waitEvent_, &ioEvent_, &runState_.stopRequestEvent(),
                                                &runState_.haltEvent()};
            // A read looks at the line while a command is likely: an idle bus is left to the
            // watch, so that a drive nobody talks to does not wake a thousand times a second.
            const bool polls = p.mode == kRead && !p.watchless && p.polls < kLinePolls;
            const unsigned signalled = wait_(handles, 4, polls ? kLinePollMs : platform::kInfinite);
            if (signalled == platform::kWaitTimeout) {
                ++p.polls;
                pollLine(p);
            } else if (signalled == 0) {
                takeWatchEvent(p);
            } else if (signalled == 1) {
                takeCompletion(p);
            } else if (signalled == 2 || signalled == 3) {
                p.end();
            } else {
                halt(platform::lastError(), kEngine, "WaitForSingleObject");
            }
        } else if (!p.finished && ++p.spins > kMaxSpins) {
            // Every round ends at once: the device fails each call as it comes.
            halt(p.lastAbort, kEngine, p.lastAbortCall);
        }
        if (p.finished) break;
    }

    settle(p);
    const bool moved = !p.failed && !runState_.isHalted();
    if (moved && p.mode == kRead) std::memcpy(buffer, staging_, p.count);
    if (moved && p.mode == kWrite) armWatchForNext();
    // A line error may end a transfer at once now and then; every one in a row is a device
    // that fails each call, and the emulation would only go round and round reporting it.
    idleFailures_ = moved || transferWaited_ ? 0 : idleFailures_ + 1;
    if (idleFailures_ > kMaxIdleFailures && !runState_.isHalted()) halt(p.lastAbort, kEngine, p.lastAbortCall);
    return moved;
}

bool CSIOPort::readCommandFrame(std::uint8_t* frame) {
    if (carried_) return readFrameTail(frame, false);
    Pass p;
    p.mode = kRead;
    p.count = 5;
    p.frameMode = true;
    // The command line that ended the previous transfer (our answer, as a new command came)
    // is this frame's: a short one may be over before its bytes are read.
    p.lineSeen = commandLineSeen_;
    return transfer(p, frame);
}

bool CSIOPort::recoverCommandFrame(std::uint8_t* frame) {
    std::memcpy(carry_, frame, sizeof carry_);
    carried_ = sizeof carry_;
    return readFrameTail(frame, true);
}

bool CSIOPort::readFrameTail(std::uint8_t* frame, bool needsMore) {
    // The command line is held until well after a frame's last byte: once it is released,
    // every byte of the frame has come, and the frame is the last five of them.
    std::uint8_t tail[sizeof carry_ * 2];
    std::uint32_t have = carried_;
    std::memcpy(tail, carry_, have);
    carried_ = 0;
    if (!awaitLineRelease()) return false;
    std::uint32_t queued = 0;
    if (!device_->clearCommError(nullptr, &queued)) {
        halt(device_->lastError(), "CSIOPort::readFrameTail", "ClearCommError");
        return false;
    }
    if (queued > 0) {
        std::uint8_t came[sizeof staging_];
        Pass p;
        p.mode = kRead;
        p.count = queued < sizeof came ? queued : static_cast<std::uint32_t>(sizeof came);
        p.watchless = true;
        if (!transfer(p, came)) return false;
        const std::uint32_t take = p.count < sizeof carry_ ? p.count : static_cast<std::uint32_t>(sizeof carry_);
        std::memcpy(tail + have, came + p.count - take, take);
        have += take;
    }
    if (have < sizeof carry_) {
        purgeBuffers();
        return false;
    }
    if (queued == 0 && needsMore) return false;  // the five bytes were all there was
    std::memcpy(frame, tail + have - sizeof carry_, sizeof carry_);
    return true;
}

bool CSIOPort::watchWanted(const Pass& p) const {
    // Once a frame read has seen the command line, another watch could tell it nothing
    // new; not arming one spares the clean-up after the frame, where a watch that was
    // armed only just now can take milliseconds to end (Wine starts a thread for each).
    return !p.watchless && !(p.frameMode && p.lineSeen) && !(p.inFlight && p.finished);
}

void CSIOPort::armWatch(Pass& p) {
    commandLineSeen_ = false;
    waitEvent_.reset();
    if (!p.frameMode) p.ringWhenArmed = ringIsOn();
    std::uint32_t mask = 0;
    if (device_->waitCommEvent(mask, waitEvent_)) {
        answered_.set();
        // An event already pending when the watch is armed interrupts even a frame.
        if ((mask & comm::kEventRing) && !(!p.frameMode && isReleaseOfAnsweredLine(p))) {
            commandLineSeen_ = true;
            p.end();
        }
        return;
    }
    const std::uint32_t error = device_->lastError();
    if (error == comm::kErrorIoPending) {
        answered_.set();
        p.watchArmed = true;
    } else if (error == comm::kErrorOperationAborted) {
        p.aborted(error, "WaitCommEvent");
        checkLineError();
    } else {
        halt(error, kEngine, "WaitCommEvent");
    }
}

void CSIOPort::issue(Pass& p) {
    ioEvent_.reset();
    std::uint32_t moved = 0;
    std::uint8_t* at = staging_ + p.moved;
    // While the line of the command being answered has not been seen released, a data read
    // takes its first byte alone: the computer sends data only once it has released the
    // line, so a line found asserted when that byte comes is a new command, even one whose
    // release and new assertion both fell between two looks at the line.
    const std::uint32_t rest = awaitsAnsweredRelease(p) && p.moved == 0 ? 1 : p.count - p.moved;
    const bool completed = p.mode == kRead ? device_->readFile(at, rest, moved, ioEvent_)
                                           : device_->writeFile(at, rest, moved, ioEvent_);
    if (completed) {
        // The completion also signals ioEvent: takeCompletion counts the bytes.
        answered_.set();
        p.inFlight = true;
        if (p.moved + moved == p.count) p.finished = true;
        return;
    }
    const std::uint32_t error = device_->lastError();
    if (error == comm::kErrorIoPending) {
        answered_.set();
        p.inFlight = true;
    } else if (error == comm::kErrorOperationAborted) {
        p.aborted(error, p.call);
        if (checkLineError()) {
            p.reissueNow = true;  // nothing is pending: waiting would wait for nothing
        } else {
            purgeBuffers();
            p.end();
        }
    } else {
        halt(error, kEngine, p.call);
    }
}

void CSIOPort::takeWatchEvent(Pass& p) {
    if (!p.watchArmed) return;  // the late signal of a watch that has already ended
    p.watchArmed = false;
    std::uint32_t ignored = 0;
    bool completed = device_->getOverlappedResult(comm::Operation::Watch, ignored, false);
    if (!completed) {
        const std::uint32_t error = device_->lastError();
        if (error == comm::kErrorIoIncomplete) {
            // Wine may signal before its status says so (a ring that came while the watch
            // was being armed), or late, for a watch that already ended. The mask tells them
            // apart: events mean it completed, none means the watch is still pending and the
            // wake-up was not ours.
            completed = device_->completedMask() != 0;
            p.watchArmed = !completed;
        } else if (error == comm::kErrorOperationAborted) {
            p.aborted(error, "GetOverlappedResult");
            checkLineError();
        } else {
            halt(error, kEngine, "GetOverlappedResult");
        }
    }
    if (!completed || !(device_->completedMask() & comm::kEventRing)) return;
    if (p.frameMode) {
        p.lineSeen = true;
    } else if (!isReleaseOfAnsweredLine(p)) {
        // The release of the line that came with the frame being answered is ignored, and
        // the watch is armed again with the new state as its baseline. Anything else is a
        // new command.
        endAsNewCommand(p);
    }
}

void CSIOPort::endAsNewCommand(Pass& p) {
    p.lineSeen = true;
    commandLineSeen_ = true;
    p.end();
}

void CSIOPort::takeCompletion(Pass& p) {
    p.inFlight = false;
    if (p.frameMode && !p.lineSeen) {
        // A driver may lose an edge that came before its wait began (Wine takes the lines it
        // first sees as its baseline). A frame holds the line until well after its last byte,
        // so the level now is a second witness. Five bytes without the command line are not
        // a command frame.
        if (!ringIsOn()) {
            purgeBuffers();
            p.end();
            return;
        }
        p.lineSeen = true;
    }
    std::uint32_t moved = 0;
    if (device_->getOverlappedResult(comm::Operation::Transfer, moved, false)) {
        const bool firstByte = awaitsAnsweredRelease(p) && p.moved == 0;
        p.moved += moved;
        p.finished = p.moved == p.count;
        if (firstByte && !p.finished) {
            if (!ringIsOn()) {
                p.answeredLineDown = true;
            } else {
                endAsNewCommand(p);
            }
        } else if (p.finished && p.mode == kRead && !p.frameMode && !p.watchless) {
            // The computer asserts the line for its next command only once this frame is
            // answered: a line up now is a command that cut the frame short, whose first
            // bytes completed the read before the drive saw the line.
            pollLine(p);
        }
        return;
    }
    const std::uint32_t error = device_->lastError();
    if (error == comm::kErrorOperationAborted) {
        p.aborted(error, "GetOverlappedResult");
        reporter_.postDebug("(%s!)", p.mode == kRead ? "r" : "w");
        if (!checkLineError()) {
            purgeBuffers();
            p.end();
        }
    } else {
        halt(error, kEngine, "GetOverlappedResult");
    }
}

bool CSIOPort::ended(comm::Operation op, const platform::Event& signal, std::uint32_t& moved) {
    for (std::uint32_t waited = 0;; waited += kSettlePollMs) {
        if (device_->getOverlappedResult(op, moved, false)) return true;
        if (device_->lastError() != comm::kErrorIoIncomplete) return true;
        if (waited >= kSettleMs) return false;
        // The signal may have been taken already: a wait that times out looks again, and
        // cancels again (Wine can lose a cancel that meets a read just as its bytes come).
        const platform::Event* e = &signal;
        if (platform::waitAny(&e, 1, kSettlePollMs) == platform::kWaitTimeout && op == comm::Operation::Transfer)
            device_->cancelIo();
    }
}

void CSIOPort::settle(Pass& p) {
    // A watch that has seen nothing since the line was released goes on watching for the
    // next transfer: under Wine each new watch is a thread that polls the line only after a
    // while, and a command that comes meanwhile would go unseen.
    if (p.watchArmed && !p.inFlight && !p.failed && !p.lineSeen && !p.ringWhenArmed &&
        !runState_.isHalted() && !ringIsOn()) {
        keptWatch_ = true;
        return;
    }
    device_->cancelIo();
    bool ok = true;
    std::uint32_t moved = 0;
    if (p.watchArmed) {
        // CancelIo does not end a pending WaitCommEvent everywhere; a new mask does.
        device_->setMask(comm::kEventRing);
        ok = ended(comm::Operation::Watch, waitEvent_, moved);
    }
    std::uint32_t partial = 0;
    if (p.inFlight) ok = ended(comm::Operation::Transfer, ioEvent_, partial) && ok;
    // A read that a new command cut short may hold that command's first bytes: the
    // command line is seen a poll of the line late, and the frame's bytes come 750 us
    // after the line at the soonest.
    const std::uint32_t got = p.moved + (p.inFlight && partial <= p.count - p.moved ? partial : 0);
    if (commandLineSeen_ && p.mode == kRead && got > 0) {
        carried_ = got < sizeof carry_ ? got : static_cast<std::uint32_t>(sizeof carry_);
        std::memcpy(carry_, staging_ + got - carried_, carried_);
    }
    // Waiting on would hang the emulation thread past every stop: the device is lost.
    if (!ok) halt(device_->lastError(), "CSIOPort::settle", p.watchArmed ? "SetCommMask" : "CancelIo");
}

void CSIOPort::armWatchForNext() {
    if (keptWatch_ || runState_.isHalted() || ringIsOn()) return;
    waitEvent_.reset();
    std::uint32_t mask = 0;
    // One that completes at once saw the line change just now: the next transfer's own watch
    // and the level take it from there. One that fails is reported by the next transfer's.
    if (!device_->waitCommEvent(mask, waitEvent_) && device_->lastError() == comm::kErrorIoPending)
        keptWatch_ = true;
}

void CSIOPort::endWatch() {
    if (!keptWatch_) return;
    keptWatch_ = false;
    Pass p;
    p.watchArmed = true;
    p.end();
    settle(p);
}

bool CSIOPort::awaitLineRelease() {
    const platform::Event* wake[] = {&runState_.stopRequestEvent(), &runState_.haltEvent()};
    for (std::uint32_t waited = 0; waited < kReleaseWaitMs && ringIsOn(); ++waited)
        if (wait_(wake, 2, 1) != platform::kWaitTimeout) return false;
    return true;
}

void CSIOPort::halt(std::uint32_t error, const char* location, const char* operation) {
    broken_ = true;
    runState_.setHalted(true);
    reporter_.postCriticalError(error, location, operation);
}
